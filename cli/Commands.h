// The kivora-cli subcommands. Each one takes its arguments (without the
// command name), does its work through the libraries and returns the exit
// status; it throws UsageError or CommandFailure for the caller to report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kivora::cli {

struct Command {
    std::string_view name;
    std::string_view usage;   // arguments after the command name
    std::string_view summary; // one line for the command list
    std::string_view details; // shown by "kivora-cli NAME --help"
    int (*run)(std::vector<std::string> arguments);
};

// The table of every subcommand, in the order --help lists them.
const std::vector<Command>& allCommands();

} // namespace kivora::cli
