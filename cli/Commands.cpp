#include "Commands.h"

namespace kivora::cli {

// Each command lives in its own file.
int runInfo(std::vector<std::string> arguments);
int runResave(std::vector<std::string> arguments);
int runPitch(std::vector<std::string> arguments);

const std::vector<Command>& allCommands() {
    static const std::vector<Command> commands = {
        {"info", "INSTRUMENT.ins", "list the sounds of an instrument",
         "Loads the instrument and prints one line per sound in definition order:\n"
         "alias, bound key (- for none), value count, sample rate, channels, duration in seconds.",
         runInfo},
        {"resave", "INSTRUMENT.ins OUT.ins [--flat]", "load an instrument and save it again",
         "Loads the instrument and saves it as OUT.ins with one WAV file per sound, in the\n"
         "numbered folders OUT/1, OUT/2, ... (12 sounds each), or beside OUT.ins with --flat.\n"
         "Keys are saved as positions: explicit keys of the loaded file are not kept.",
         runResave},
        {"pitch", "FILE.wav [--buffer]", "measure the dominant frequency of a WAV file",
         "Prints the dominant frequency of the first channel in Hz with two decimals (40-2000 Hz range).\n"
         "--buffer reads the samples into memory first and measures the buffer instead of the file.",
         runPitch},
    };
    return commands;
}

} // namespace kivora::cli
