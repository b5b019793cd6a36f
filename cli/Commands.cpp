#include "Commands.h"

namespace kivora::cli {

// Each command lives in its own file.
int runInfo(std::vector<std::string> arguments);

const std::vector<Command>& allCommands() {
    static const std::vector<Command> commands = {
        {"info", "INSTRUMENT.ins", "list the sounds of an instrument",
         "Loads the instrument and prints one line per sound in definition order:\n"
         "alias, bound key (- for none), value count, sample rate, channels, duration in seconds.",
         runInfo},
    };
    return commands;
}

} // namespace kivora::cli
