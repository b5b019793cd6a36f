#include "Commands.h"

namespace kivora::cli {

// Each command lives in its own file.
int runInfo(std::vector<std::string> arguments);
int runPitch(std::vector<std::string> arguments);

const std::vector<Command>& allCommands() {
    static const std::vector<Command> commands = {
        {"info", "INSTRUMENT.ins", "list the sounds of an instrument",
         "Loads the instrument and prints one line per sound in definition order:\n"
         "alias, bound key (- for none), value count, sample rate, channels, duration in seconds.",
         runInfo},
        {"pitch", "FILE.wav [--buffer]", "measure the dominant frequency of a WAV file",
         "Prints the dominant frequency of the first channel in Hz with two decimals (40-2000 Hz range).\n"
         "--buffer reads the samples into memory first and measures the buffer instead of the file.",
         runPitch},
    };
    return commands;
}

} // namespace kivora::cli
