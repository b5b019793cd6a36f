#include "Commands.h"

namespace kivora::cli {

// Each command lives in its own file.
int runInfo(std::vector<std::string> arguments);
int runResave(std::vector<std::string> arguments);
int runRender(std::vector<std::string> arguments);
int runPitch(std::vector<std::string> arguments);
int runPlay(std::vector<std::string> arguments);
int runGenerate(std::vector<std::string> arguments);
int runModes(std::vector<std::string> arguments);

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
        {"render", "SCRIPT.snc [-i INSTRUMENT.ins] [-o OUT.wav] [--mix clip|normalize|none]",
         "render a melody script into a WAV file",
         "Plays the melody script through the instrument and writes the result as a WAV file in the\n"
         "format of the instrument's first sound. Without -i the script must start with its own\n"
         "definition block (!begin ... !end). The output defaults to the script's name with its\n"
         "last four characters replaced by .wav; an existing file is replaced only when the\n"
         "rendering succeeds. --mix: clip (default) limits sums to 16 bits, normalize scales loud\n"
         "spans down to a peak of 28000, none writes silence.",
         runRender},
        {"pitch", "FILE.wav [--buffer]", "measure the dominant frequency of a WAV file",
         "Prints the dominant frequency of the first channel in Hz with two decimals (40-2000 Hz range).\n"
         "--buffer reads the samples into memory first and measures the buffer instead of the file.",
         runPitch},
        {"play", "FILE.wav | SCRIPT.snc [-i INSTRUMENT.ins]", "play a WAV file or a melody script",
         "Plays an 8- or 16-bit PCM WAV file through the default sound device and returns when it\n"
         "has ended; Ctrl-C stops at once (exit status 130). A melody script is first rendered beside\n"
         "itself (its name with .wav in place of .snc) through INSTRUMENT.ins, or through its own\n"
         "definition block, and the result played. SDL_AUDIODRIVER selects the sound driver\n"
         "(dummy plays silently). The line printed names the device buffer the driver granted.",
         runPlay},
        {"generate",
         "[MODEL.json] -o OUT.ins [--octaves 0..3] [--rate 44100|22050|8000] [--duration MS] [--linear X] "
         "[--square Y] [--flat]",
         "render a model into a tuned instrument",
         "Renders the model (without MODEL.json the built-in plucked string) once untuned, measures its\n"
         "dominant frequency, retunes it to 130.81 Hz and renders 12 notes per octave a semitone apart\n"
         "(--octaves, default 2; 0 gives one untuned note \"simpleNote\"), each --duration ms long\n"
         "(default 500) at --rate samples per second (default 44100), with the linear and square\n"
         "attenuations --linear (default 4.0) and --square (default 0.08). Saves the instrument as\n"
         "OUT.ins with its WAV files in numbered folders, or beside it with --flat. Progress goes to\n"
         "stderr; the measured frequency and the result to stdout.",
         runGenerate},
        {"modes", "[MODEL.json] [--rate 44100|22050|8000] [--octaves 0..3] [--count N]",
         "preview a model's normal modes and the notes that would blow up",
         "Solves the model's normal modes (without MODEL.json the built-in plucked string) and prints the\n"
         "lowest --count (default 8): frequency in Hz, the mode's shape at the sounding node (0 on a nodal\n"
         "line, 1 where it moves most) and how loudly it is heard there from the initial state (1 for the\n"
         "loudest, the expected untuned note). Then predicts, for a run of --octaves (default 2) at --rate\n"
         "(default 44100) tuned from that note, which notes exceed the Runge-Kutta stability limit.\n"
         "Warnings go to stderr.",
         runModes},
    };
    return commands;
}

} // namespace kivora::cli
