// Thrown when the sound device cannot be opened.
#pragma once

#include <pellamy/Export.h>

#include <string>

namespace pellamy {

class PELLAMY_API InitFailedException {
public:
    explicit InitFailedException(const char* message) : message_(message) {}
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

} // namespace pellamy
