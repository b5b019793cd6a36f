#include <pellamy/ErrorText.h>
#include <pellamy/InitFailedException.h>

#include <cstdio>
#include <limits>
#include <new>

namespace pellamy {

namespace {

std::string withoutTrailingLineFeeds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string decode(std::exception_ptr failure) {
    if (!failure)
        return "Unknown failure";
    try {
        std::rethrow_exception(failure);
    } catch (const std::string& message) {
        return withoutTrailingLineFeeds(message);
    } catch (const char* message) {
        return withoutTrailingLineFeeds(message != nullptr ? message : "");
    } catch (const InitFailedException& deviceFailure) {
        return withoutTrailingLineFeeds(deviceFailure.message());
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& error) {
        return withoutTrailingLineFeeds(error.what());
    } catch (...) {
        return "Unknown failure";
    }
}

// The length of the valid UTF-8 sequence of a non-ASCII character at
// text[at], 0 when there is none (a stray, overlong or surrogate encoding).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
            return 0;
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
        return 0;
    // U+0080..U+009F are control characters too.
    if (lead == 0xC2 && second < 0xA0)
        return 0;
    return length;
}

void appendEscaped(std::string& shown, unsigned char byte) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    shown += escaped;
}

} // namespace

std::string printableText(std::string_view text, std::size_t maxCharacters) {
    std::string shown;
    std::size_t characters = 0;
    for (std::size_t at = 0; at < text.size(); ++characters) {
        if (characters == maxCharacters)
            return shown + "\xE2\x80\xA6"; // "…"
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += text[at++];
        } else if (const std::size_t length = byte >= 0x80 ? utf8SequenceLength(text, at) : 0; length > 0) {
            shown.append(text.substr(at, length));
            at += length;
        } else {
            appendEscaped(shown, byte);
            ++at;
        }
    }
    return shown;
}

std::string fileFailureText(std::string_view fixedText, std::string_view path, std::string_view reason) {
    std::string message(fixedText);
    message += ' ';
    message += printableText(path, std::numeric_limits<std::size_t>::max());
    if (!reason.empty()) {
        message += ": ";
        message += reason;
    }
    return message;
}

std::string describeException(std::exception_ptr failure) noexcept {
    try {
        return decode(std::move(failure));
    } catch (...) {
        // Copying the text itself ran out of memory; this one fits the
        // small-string buffer.
        return "out of memory";
    }
}

std::string currentExceptionMessage() noexcept {
    return describeException(std::current_exception());
}

} // namespace pellamy
