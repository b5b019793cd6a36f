#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kivora::cli {

CommandLine::CommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

static bool matches(const std::string& argument, std::string_view longName, std::string_view shortName) {
    return (!longName.empty() && argument == "--" + std::string(longName)) ||
           (!shortName.empty() && argument == "-" + std::string(shortName));
}

bool CommandLine::takeFlag(std::string_view longName, std::string_view shortName) {
    auto it = std::find_if(arguments_.begin(), arguments_.end(),
                           [&](const std::string& a) { return matches(a, longName, shortName); });
    if (it == arguments_.end())
        return false;
    arguments_.erase(it);
    return true;
}

std::optional<std::string> CommandLine::takeOption(std::string_view longName, std::string_view shortName) {
    const std::string withEquals = "--" + std::string(longName) + "=";
    for (auto it = arguments_.begin(); it != arguments_.end(); ++it) {
        if (it->rfind(withEquals, 0) == 0) {
            std::string value = it->substr(withEquals.size());
            arguments_.erase(it);
            return value;
        }
        if (matches(*it, longName, shortName)) {
            if (it + 1 == arguments_.end())
                throw UsageError("option " + *it + " needs a value");
            std::string value = *(it + 1);
            arguments_.erase(it, it + 2);
            return value;
        }
    }
    return std::nullopt;
}

std::vector<std::string> CommandLine::takePositionals(std::size_t minCount, std::size_t maxCount) {
    for (const std::string& a : arguments_) {
        if (a.size() > 1 && a[0] == '-')
            throw UsageError("unknown option " + a);
    }
    if (arguments_.size() < minCount)
        throw UsageError("missing argument");
    if (arguments_.size() > maxCount)
        throw UsageError("unexpected argument " + arguments_[maxCount]);
    return std::move(arguments_);
}

bool CommandLine::wantsHelp() const {
    return std::any_of(arguments_.begin(), arguments_.end(),
                       [](const std::string& a) { return a == "--help" || a == "-h"; });
}

int parseInt(std::string_view text, std::string_view what) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw UsageError(std::string(what) + " must be a whole number, not \"" + std::string(text) + "\"");
    return value;
}

double parseDouble(std::string_view text, std::string_view what) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        throw UsageError(std::string(what) + " must be a number, not \"" + std::string(text) + "\"");
    return value;
}

} // namespace kivora::cli
