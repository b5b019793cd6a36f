#include <pellamy/ErrorText.h>
#include <pellamy/InitFailedException.h>

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

} // namespace

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
