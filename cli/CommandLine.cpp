#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>

namespace kivora::cli {

CommandLine::CommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {
    const auto end = std::find(arguments_.begin(), arguments_.end(), "--");
    if (end != arguments_.end()) {
        afterOptions_.assign(std::make_move_iterator(end + 1), std::make_move_iterator(arguments_.end()));
        arguments_.erase(end, arguments_.end());
    }
}

static bool matches(const std::string& argument, std::string_view longName, std::string_view shortName) {
    return (!longName.empty() && argument == "--" + std::string(longName)) ||
           (!shortName.empty() && argument == "-" + std::string(shortName));
}

static bool startsWithEquals(const std::string& argument, std::string_view longName) {
    return argument.rfind("--" + std::string(longName) + "=", 0) == 0;
}

void CommandLine::refuseRepeat(std::string_view longName, std::string_view shortName) const {
    for (const std::string& argument : arguments_) {
        if (matches(argument, longName, shortName) || startsWithEquals(argument, longName))
            throw UsageError("option " + argument.substr(0, argument.find('=')) + " given twice");
    }
}

bool CommandLine::takeFlag(std::string_view longName, std::string_view shortName) {
    auto it = std::find_if(arguments_.begin(), arguments_.end(),
                           [&](const std::string& a) { return matches(a, longName, shortName); });
    if (it == arguments_.end())
        return false;
    arguments_.erase(it);
    refuseRepeat(longName, shortName);
    return true;
}

std::optional<std::string> CommandLine::takeOption(std::string_view longName, std::string_view shortName) {
    for (auto it = arguments_.begin(); it != arguments_.end(); ++it) {
        if (startsWithEquals(*it, longName)) {
            std::string value = it->substr(longName.size() + 3);
            arguments_.erase(it);
            refuseRepeat(longName, shortName);
            return value;
        }
        if (matches(*it, longName, shortName)) {
            if (it + 1 == arguments_.end())
                throw UsageError("option " + *it + " needs a value");
            std::string value = *(it + 1);
            arguments_.erase(it, it + 2);
            refuseRepeat(longName, shortName);
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
    arguments_.insert(arguments_.end(), std::make_move_iterator(afterOptions_.begin()),
                      std::make_move_iterator(afterOptions_.end()));
    afterOptions_.clear();
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

CommandFailure soundDeviceFailure(std::string engineMessage) {
    while (!engineMessage.empty() && engineMessage.back() == '\n')
        engineMessage.pop_back();
    return CommandFailure(engineMessage +
                          " (no sound device could be opened; SDL_AUDIODRIVER=dummy plays silently)");
}

} // namespace kivora::cli
