// The text of whatever the engine's calls throw. By its interface the engine
// throws a std::string, a character string or an InitFailedException; every
// caller that reports a failure decodes them here, in one place.
#pragma once

#include <kivora/base/SystemError.h>
#include <pellamy/Export.h>

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace pellamy {

// The message of `failure` without trailing line feeds (the engine's texts
// often end in one): a std::string or character string as thrown (a null
// one gives ""), an InitFailedException's message, "out of memory" for
// std::bad_alloc, what() of any other std::exception, and "Unknown failure"
// for anything else or a null pointer. Never throws; any thread.
PELLAMY_API std::string describeException(std::exception_ptr failure) noexcept;

// describeException of the exception being handled; call it in a catch block.
PELLAMY_API std::string currentExceptionMessage() noexcept;

// How much text read from a file a message quotes.
inline constexpr std::size_t kMaxQuotedCharacters = 60;

// Text from a file or another outside source, fit for a one-line message: a
// byte that is not printable (a control byte, one outside valid UTF-8) becomes
// \xNN, and beyond `maxCharacters` characters the text is cut and ends in
// "…". A binary file read as text never reaches the user raw.
PELLAMY_API std::string printableText(std::string_view text,
                                      std::size_t maxCharacters = kMaxQuotedCharacters);

// "FIXED PATH: REASON": a failure's fixed text first, then the file it
// concerns (printable, never cut: the user needs all of it) and why.
PELLAMY_API std::string fileFailureText(std::string_view fixedText, std::string_view path,
                                        std::string_view reason);

// The system's words for an errno value ("Permission denied").
using kivora::base::systemReason;

} // namespace pellamy
