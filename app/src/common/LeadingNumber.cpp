#include "common/LeadingNumber.h"

#include <charconv>

namespace kivora {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skips leading blanks and a plus sign; a minus sign is left to from_chars,
// which does not take a plus. Nothing when a second sign follows the plus.
std::optional<std::string_view> numberStart(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    text.remove_prefix(at);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    return text;
}

} // namespace

std::optional<double> leadingDouble(std::string_view text) {
    const std::optional<std::string_view> start = numberStart(text);
    if (!start) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(start->data(), start->data() + start->size(), value);
    // A number beyond a double's range counts as no number: the field keeps its value.
    if (error != std::errc{} || end == start->data()) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> leadingInt(std::string_view text) {
    const std::optional<std::string_view> start = numberStart(text);
    if (!start) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(start->data(), start->data() + start->size(), value);
    if (error != std::errc{} || end == start->data()) {
        return std::nullopt;
    }
    return value;
}

} // namespace kivora
