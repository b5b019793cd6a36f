// The text of whatever the engine's calls throw. By its interface the engine
// throws a std::string, a character string or an InitFailedException; every
// caller that reports a failure decodes them here, in one place.
#pragma once

#include <pellamy/Export.h>

#include <exception>
#include <string>

namespace pellamy {

// The message of `failure` without trailing line feeds (the engine's texts
// often end in one): a std::string or character string as thrown (a null
// one gives ""), an InitFailedException's message, "out of memory" for
// std::bad_alloc, what() of any other std::exception, and "Unknown failure"
// for anything else or a null pointer. Never throws; any thread.
PELLAMY_API std::string describeException(std::exception_ptr failure) noexcept;

// describeException of the exception being handled; call it in a catch block.
PELLAMY_API std::string currentExceptionMessage() noexcept;

} // namespace pellamy
