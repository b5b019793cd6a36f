// Small argument reader shared by the kivora-cli subcommands.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kivora::cli {

// Bad command-line usage: reported with the command's usage line, exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure while doing the work: reported as one line, exit status 1.
class CommandFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The engine's words when no sound device opens, and what to do about it.
CommandFailure soundDeviceFailure(std::string engineMessage);

// Takes options out of the argument list as a command asks for them; what is
// left must be positional arguments. A "--" ends the options: every argument
// after it is positional, even one that begins with '-'.
class CommandLine {
public:
    explicit CommandLine(std::vector<std::string> arguments);

    // True when --name (or -s) is present; removes it. Throws UsageError when
    // it is given twice.
    bool takeFlag(std::string_view longName, std::string_view shortName = {});
    // The value of "--name VALUE", "--name=VALUE" or "-s VALUE"; removes both.
    // Throws UsageError when the value is missing or the option is given twice.
    std::optional<std::string> takeOption(std::string_view longName, std::string_view shortName = {});
    // The remaining arguments, checked to be positional and between min and max in number.
    std::vector<std::string> takePositionals(std::size_t minCount, std::size_t maxCount);

    bool wantsHelp() const;

private:
    void refuseRepeat(std::string_view longName, std::string_view shortName) const;

    std::vector<std::string> arguments_; // before "--"
    std::vector<std::string> afterOptions_;
};

// Parses a whole number or a decimal number written with '.', whatever the locale.
int parseInt(std::string_view text, std::string_view what);
double parseDouble(std::string_view text, std::string_view what);

} // namespace kivora::cli
