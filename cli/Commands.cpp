#include "Commands.h"

namespace kivora::cli {

// Each command lives in its own file.
int runInfo(std::vector<std::string> arguments);
int runResave(std::vector<std::string> arguments);
int runRender(std::vector<std::string> arguments);
int runPitch(std::vector<std::string> arguments);
int runPlayThroughModule(std::vector<std::string> arguments); // PlayModule.cpp
int runGenerate(std::vector<std::string> arguments);
int runModes(std::vector<std::string> arguments);
int runExport(std::vector<std::string> arguments);
int runConvert(std::vector<std::string> arguments);

const std::vector<Command>& allCommands() {
    static const std::vector<Command> commands = {
        {"info", "INSTRUMENT.ins", "list the sounds of an instrument",
         "Loads the instrument and prints one line per sound in definition order:\n"
         "alias, bound key (- for none), value count, sample rate, channels, duration in seconds.\n"
         "A generated instrument's comment lines on where it came from (model, settings, tuning) come first.",
         runInfo},
        {"resave", "INSTRUMENT.ins OUT.ins [--flat]", "load an instrument and save it again",
         "Loads the instrument and saves it as OUT.ins with one WAV file per sound, in the\n"
         "numbered folders OUT/1, OUT/2, ... (12 sounds each; blanks in the folder's name become _),\n"
         "or beside OUT.ins with --flat. Keys are saved as positions: explicit keys of the loaded\n"
         "file are not kept. All or nothing: a failure or Ctrl-C leaves the previous files as they\n"
         "were. The output never replaces the instrument read or one of its sounds.",
         runResave},
        {"render",
         "SCRIPT.snc|SONG.mid [-i INSTRUMENT.ins] [-o OUT.wav] [--mix clip|normalize|none] [--channel N] "
         "[--release MS]\n"
         "   or: kivora-cli render SCRIPT.snc|SONG.mid --model MODEL.json -o OUT.wav [--rate R] [--linear X] "
         "[--square Y] "
         "[--channel N] [--threads N]",
         "render a melody script into a WAV file",
         "Plays the melody script through the instrument and writes the result as a WAV file in the\n"
         "format of the instrument's first sound. Without -i the script must start with its own\n"
         "definition block (!begin ... !end). The output defaults to the script's name with its\n"
         "last four characters replaced by .wav. It is written under a temporary name and then put\n"
         "in place: when a line of the script fails, the output holds what was written before that\n"
         "line; a script that cannot be read, one too long for a WAV file, or Ctrl-C leave an\n"
         "existing output as it was. The output never replaces the script, the instrument file or\n"
         "one of its sounds. --mix: clip (default) limits sums to 16 bits, normalize scales loud\n"
         "spans down to a peak of 28000, none writes a script's sums as silence. A MIDI file (it needs\n"
         "-i) is played as a sampler plays the bank \"export\" writes: a key without its own sound plays\n"
         "the sound whose key range covers it, resampled to the key's pitch; velocity sets the gain\n"
         "(SoundFont default curve); a note-off fades over --release MS (default 30). Channel 10\n"
         "(percussion) is skipped and counted, or --channel picks one channel. The song is scaled down\n"
         "when it would clip; --mix clip or none write it unscaled, clipped to 16 bits.\n"
         "With --model the model itself plays: every note is a voice that simulates the model retuned to\n"
         "its key exactly as \"generate\" retunes the note (same untuned measurement, --rate, --linear and\n"
         "--square; its samples are the generated note's, bit for bit, while the key is held). A script's\n"
         "aliases are note names (1C, 1C#, ... 3B; 0B and below, 4C and above play too); \"a -1\" holds a\n"
         "note for 500 ms, \"a S\" for S seconds, \"r P\" for the portion P of 500 ms; !clear releases "
         "every\n"
         "note; a definition block is skipped. MIDI key 48 is 1C; velocities scale the initial state. A\n"
         "released note fades out over 30 ms; 16 voices play at once (the oldest released note gives its\n"
         "voice first, then the oldest held one). Keys too stiff for the rate are not played and named once\n"
         "on stderr. The output is mono at the model's rate, the same bytes for every --threads (0: one\n"
         "per core).",
         runRender},
        {"pitch", "FILE.wav [--file] [--fundamental]", "measure the dominant frequency of a WAV file",
         "Prints the dominant frequency of the first channel in Hz with two decimals. The file is read as\n"
         "an instrument's sound is (chunks in any order; 8-bit, 16/24/32-bit integer or float samples,\n"
         "also extensible) and its 16-bit values measured. A silent file is refused (\"silent: no pitch\").\n"
         "The measurable range is 38-2000 Hz: a tone outside it measures at the edge (38.00 or 2000.00)\n"
         "and a warning says so; warnings also name a sound lying mostly above 2000 Hz and one without a\n"
         "clear pitch (noise). --fundamental prints the fundamental frequency instead (27.5-4186 Hz), the\n"
         "pitch root keys come from, or fails on a sound without a clear pitch.\n"
         "--file measures through the spectral library's own file reader,\n"
         "which reads 16-bit PCM files whose \"fmt \" chunk comes first, whatever chunks follow it.",
         runPitch},
        {"play",
         "FILE.wav | SCRIPT.snc [-i INSTRUMENT.ins]\n"
         "   or: kivora-cli play SCRIPT.snc|SONG.mid --model MODEL.json [--rate R] [--linear X] [--square Y] "
         "[--channel N]",
         "play a WAV file or a melody script",
         "Plays a WAV file that instruments can hold (8-, 16-, 24- or 32-bit PCM or float, plain or\n"
         "extensible) through the default sound device and returns when it has ended; Ctrl-C stops\n"
         "at once (exit status 130). A melody script is first rendered beside itself (its name with\n"
         ".wav in place of .snc) through INSTRUMENT.ins, or through its own definition block, and\n"
         "the result played. SDL_AUDIODRIVER selects the sound driver\n"
         "(dummy plays silently). The line printed names the device buffer the driver granted.\n"
         "With --model the script or MIDI file plays live through the model's voices as \"render --model\"\n"
         "renders it: the voices are computed in blocks of 128 frames just ahead of the device, which\n"
         "plays at the model's rate; a key sounds at most the device buffer plus two blocks after it is\n"
         "sent. The last line counts the blocks that were not ready in time (\"late blocks: N of M\").",
         runPlayThroughModule},
        {"generate",
         "[MODEL.json] -o OUT.ins [--octaves 0..3] [--rate 44100|22050|8000] [--duration MS] [--linear X] "
         "[--square Y] [--flat] [--report]",
         "render a model into a tuned instrument",
         "Renders the model (without MODEL.json the built-in plucked string) once untuned, measures its\n"
         "dominant frequency, retunes it to 130.81 Hz and renders 12 notes per octave a semitone apart\n"
         "(--octaves, default 2; 0 gives one untuned note \"simpleNote\"), each --duration ms long\n"
         "(1 to 60000, default 500) at --rate samples per second (default 44100), with the linear and\n"
         "square attenuations --linear (default 4.0) and --square (default 0.08; a negative one feeds the\n"
         "vibration, so the note swells). The window's dialog takes the same values. Saves the\n"
         "instrument as OUT.ins with its WAV files in numbered folders, or beside it with --flat, all or\n"
         "nothing; a place that cannot be written is refused before rendering. A model whose untuned note\n"
         "is silent is refused. Each note's tuned partial (the strongest resonance within a semitone of its\n"
         "target) is measured: --report lists target, measured frequency and error in cents for every note;\n"
         "without it notes more than 5 cents off are warned about, as are notes the model is too stiff for\n"
         "at the rate and an untuned frequency outside 38-2000 Hz. OUT.ins begins with comment lines\n"
         "naming the model file, its SHA-256, the settings and every note's tuning (\"info\" prints them).\n"
         "Progress and warnings go to stderr; the measured frequency, the report and the result to stdout.\n"
         "Ctrl-C stops the run or the save and leaves the previous files as they were.",
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
        {"export", "INSTRUMENT.ins -o OUT.sf2|OUT.sfz [--release MS]",
         "export an instrument for SoundFont or SFZ players",
         "Writes the instrument as a SoundFont 2 bank (one preset, bank 0 program 0) or as an SFZ file with\n"
         "its WAV files in a folder beside it (named after OUT, blanks as _). A generated instrument's "
         "notes\n"
         "1C ... 3B lie on MIDI keys 48 ... 83; any other sound is measured and laid on its nearest key with "
         "a\n"
         "correction in cents, or, without a usable pitch, on a free key from 36 up, untransposed. Every "
         "key\n"
         "between two sounds plays the nearer one. A note-off fades over --release MS (default 30), as\n"
         "\"render SONG.mid\" does. Nothing is replaced unless the whole export succeeds.",
         runExport},
        {"convert", "SONG.mid -i INSTRUMENT.ins -o SONG.snc [--channel 1..16]",
         "turn a MIDI file into a melody script",
         "Reads a Standard MIDI File (format 0 or 1) and writes a melody script that plays each note as the\n"
         "instrument's sound on that key (keys as \"export\" lays them), for the note's length, with waits\n"
         "exact to the sample frame. Every channel but 10 (percussion) is taken, or only --channel.\n"
         "Notes on keys without a sound are left out and counted on stderr. A melody script carries no\n"
         "velocity, release or transposition: every note plays at full level for its length, and each\n"
         "key gets a sound of its own, transposed from the sound whose key range covers it, in SONG.ins\n"
         "beside SONG.snc (written first, all or nothing), so that \"render SONG.snc -i SONG.ins\" plays\n"
         "at the right pitches.",
         runConvert},
    };
    return commands;
}

} // namespace kivora::cli
