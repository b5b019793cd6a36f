#include "CommandLine.h"
#include "Interrupt.h"
#include "ModalReport.h"

#include <kivora/GenerationReport.h>
#include <kivora/GenerationRules.h>
#include <kivora/NoteGenerator.h>
#include <kivora/NoteTuning.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/InstrumentModel.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace kivora::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The generator's stop value for Ctrl-C and SIGTERM.
constexpr int kInterrupted = 2;

// What a generated instrument names as its model without MODEL.json.
constexpr const char* kBuiltInModel = "the built-in plucked string";

// One line on stderr at the start and redrawn after every note: bar, count,
// elapsed time and an estimate of the time left.
class ProgressBar {
public:
    explicit ProgressBar(int noteCount)
        : noteCount_(noteCount), start_(Clock::now()), terminal_(isatty(fileno(stderr)) != 0) {}

    void draw(int notesDone) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        constexpr int kWidth = 24;
        char bar[kWidth + 1];
        const int filled = noteCount_ > 0 ? notesDone * kWidth / noteCount_ : kWidth;
        for (int i = 0; i < kWidth; ++i) {
            bar[i] = i < filled ? '#' : '.';
        }
        bar[kWidth] = '\0';
        // Redrawn in place on a terminal, one line per note elsewhere.
        std::fputs(terminal_ ? "\r" : "", stderr);
        std::fprintf(stderr, "[%s] %d/%d notes, %.1f s elapsed", bar, notesDone, noteCount_, elapsed);
        if (notesDone > 0 && notesDone < noteCount_) {
            std::fprintf(stderr, ", about %.1f s left ", elapsed / notesDone * (noteCount_ - notesDone));
        } else {
            std::fputs(terminal_ ? "                  " : "", stderr);
        }
        if (notesDone == noteCount_ || !terminal_) {
            std::fputc('\n', stderr);
        }
        std::fflush(stderr);
    }

private:
    int noteCount_;
    Clock::time_point start_;
    bool terminal_;
};

// What the tool adds to the refusals of a model: what to do in its terms.
std::string refusalWithHint(const char* refusal) {
    const std::string text = refusal;
    if (text == "Put FLAG, to specify dot, which SOUNDs") {
        return text + " (the model file names no sounding node: set \"flag\")";
    }
    if (text == "Draw something first...") {
        return text + " (the model file has no nodes: add an element with \"nodes\")";
    }
    return text;
}

std::string silenceHint(kivora::SilenceCause cause) {
    switch (cause) {
    case kivora::SilenceCause::flaggedNodeFixed:
        return " (set \"flag\" to a node that is not \"fixed\")";
    case kivora::SilenceCause::flaggedNodeUnlinked:
        return " (give it \"links\" to the model, or set \"flag\" to a linked node)";
    case kivora::SilenceCause::modelAtRest:
        return " (give some node an initial displacement \"x0\" or velocity \"v0\")";
    case kivora::SilenceCause::none:
        break;
    }
    return {};
}

// The instrument is saved only after every note is rendered: a place it
// cannot be saved in is refused before that work.
void checkOutputCanBeWritten(const std::string& output, bool withFolders) {
    namespace fs = std::filesystem;
    const fs::path target(output);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const auto refuse = [](const std::string& why) {
        throw CommandFailure("Can't open file for saving instrument (" + why + ")");
    };
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        refuse("the folder \"" + folder.string() + "\" does not exist: create it first");
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        refuse("the folder \"" + folder.string() + "\" is not writable");
    }
    if (fs::is_directory(target, error)) {
        refuse("\"" + output + "\" is a folder: name the .ins file to write");
    }
    if (fs::exists(target, error) && ::access(target.c_str(), W_OK) != 0) {
        refuse("\"" + output + "\" is read-only");
    }
    if (withFolders) {
        const fs::path soundFolder = fs::path(target).replace_extension();
        if (fs::exists(soundFolder, error) && !fs::is_directory(soundFolder, error)) {
            refuse("\"" + soundFolder.string() + "\", where the notes' folders go, is a file: use --flat");
        }
    }
}

void printTuningReport(const std::vector<kivora::NoteTuning>& tuning) {
    std::printf("note  target Hz  measured Hz  error cents\n");
    for (const kivora::NoteTuning& note : tuning) {
        if (note.measuredHz > 0.0) {
            std::printf("%-4s %10.2f %12.2f %+12.2f%s\n", note.name.c_str(), note.targetHz, note.measuredHz,
                        note.centsOff, note.unstable ? "  unstable" : "");
        } else {
            std::printf("%-4s %10.2f %12s %12s  no resonance within a semitone%s\n", note.name.c_str(),
                        note.targetHz, "-", "-", note.unstable ? ", unstable" : "");
        }
    }
}

void warnAboutMistunedNotes(const std::vector<std::string>& mistuned) {
    // The unstable notes were named before the measuring.
    const std::string warning = kivora::mistuningWarning(mistuned);
    if (!warning.empty()) {
        std::fprintf(stderr, "warning: %s (--report lists every note)\n", warning.c_str());
    }
}

} // namespace

// The generator's rule for a setting, as a usage error naming the option.
void applyRule(const std::string& refusal, const char* option) {
    if (!refusal.empty()) {
        throw UsageError(std::string(option) + ": " + refusal);
    }
}

int runGenerate(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::optional<std::string> output = line.takeOption("output", "o");
    kivora::GenerationSettings settings;
    if (const auto octaves = line.takeOption("octaves")) {
        settings.octaves = parseInt(*octaves, "--octaves");
        applyRule(kivora::octavesRefusal(settings.octaves), "--octaves");
    }
    if (const auto rate = line.takeOption("rate")) {
        settings.sampleRate = parseInt(*rate, "--rate");
        applyRule(kivora::sampleRateRefusal(settings.sampleRate), "--rate");
    }
    if (const auto duration = line.takeOption("duration")) {
        settings.durationMs = parseInt(*duration, "--duration");
        applyRule(kivora::durationRefusal(settings.durationMs), "--duration");
    }
    if (const auto linear = line.takeOption("linear")) {
        settings.linearDamping = parseDouble(*linear, "--linear");
    }
    if (const auto square = line.takeOption("square")) {
        settings.squareDamping = parseDouble(*square, "--square");
    }
    applyRule(kivora::attenuationRefusal(settings), "--linear");
    const bool flat = line.takeFlag("flat");
    const bool report = line.takeFlag("report");
    const std::vector<std::string> positionals = line.takePositionals(0, 1);
    if (!output) {
        throw UsageError("missing -o OUT.ins");
    }
    checkOutputCanBeWritten(*output, !flat);

    if (!positionals.empty())
        refuseOverwritingInputs({*output}, {{positionals.front(), "the model file"}});
    const InstrumentKit::Representation model = positionals.empty()
                                                    ? InstrumentKit::defaultModel()
                                                    : InstrumentKit::loadModelFile(positionals.front());
    muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    if (const char* refusal = kivora::refusalFor(snapshot)) {
        throw CommandFailure(refusalWithHint(refusal));
    }
    if (const kivora::SilenceCause cause = kivora::silenceCauseFor(snapshot);
        cause != kivora::SilenceCause::none) {
        throw CommandFailure(std::string("The untuned note would be silent: ") + kivora::describe(cause) +
                             silenceHint(cause));
    }

    // Warn before the long part: the prediction tunes from the loudest mode.
    const kivora::ModalPreview preview = kivora::analyseModes(snapshot);
    if (preview.loudestMode >= 0) {
        warnAboutModes(preview, settings,
                       preview.modes[static_cast<std::size_t>(preview.loudestMode)].frequencyHz, stderr);
    }

    kivora::NoteGenerator generator;
    generator.configure(settings, std::move(snapshot));
    ProgressBar progress(generator.noteCount());
    generator.setNoteDoneCallback([&](int note) { progress.draw(note + 1); });
    // Ctrl-C and SIGTERM stop the notes in flight or the save; nothing is saved.
    const InterruptScope interrupt(&generator.stopRequested, kInterrupted);
    // The first line appears once Ctrl-C is caught.
    progress.draw(0);
    int stopped = 0;
    try {
        stopped = generator.run();
    } catch (const kivora::UntunableModel& refusal) {
        std::fputc('\n', stderr);
        throw CommandFailure(refusal.what());
    }
    if (stopped == kInterrupted) {
        std::fputs("\nInterrupted: nothing saved\n", stderr);
        return interrupt.exitStatus();
    }

    const bool tuned = settings.octaves > 0;
    std::vector<kivora::NoteTuning> tuning;
    if (tuned && generator.baseFrequency() > 0.0) {
        // A note at the edge of the measurable range was refused by the run.
        tuning = kivora::measureTuning(generator);
    }
    const kivora::GenerationReport outcome = kivora::reportOf(generator, std::move(tuning));
    if (const std::string silence = kivora::silenceMessage(outcome); !silence.empty()) {
        throw CommandFailure(
            silence.substr(0, silence.find_last_not_of('.') + 1) +
            " (set \"flag\" to a node that the displaced or moving part of the model pulls)");
    }
    if (!outcome.unstableNotes.empty()) {
        std::fprintf(stderr, "warning: %s (try a higher --rate or fewer --octaves)\n",
                     kivora::tooStiffWarning(settings.sampleRate, outcome.unstableNotes).c_str());
    }
    if (!report) {
        warnAboutMistunedNotes(outcome.mistunedNotes);
    }

    const pellamy::SoundStreamDescription* records = generator.buildDescriptions();
    pellamy::InstrumentModel instrument;
    instrument.loadFromDescriptions(generator.noteCount(), records);
    // The instrument says where it came from.
    instrument.setComments(positionals.empty() ? kivora::provenanceComments(kBuiltInModel, {}, outcome)
                                               : kivora::provenanceComments(
                                                     positionals.front(),
                                                     kivora::sha256HexOfFile(positionals.front()), outcome));
    if (!positionals.empty())
        refuseOverwritingInputs(instrument.filesSavedTo(*output, !flat),
                                {{positionals.front(), "the model file"}});
    try {
        instrument.saveToFile(*output, !flat, interrupt.stopCheck());
    } catch (...) {
        if (!interrupt.interrupted())
            throw;
        std::fputs("Interrupted: nothing saved\n", stderr);
        return interrupt.exitStatus();
    }

    if (!tuned) {
        std::printf("Untuned note: %.2f Hz\n", outcome.untunedHz);
        if (!kivora::isMeasurable(outcome.untunedHz)) {
            std::fprintf(stderr, "warning: %s\n", kivora::edgeOfRangeWarning(outcome.untunedHz).c_str());
        }
    } else {
        const double scale = outcome.stiffnessScale;
        if (scale != 1.0) {
            // The model's own pitch lies outside what the resonators measure.
            std::printf(
                "Base frequency: %.2f Hz (measured as %.2f Hz with every spring scaled by %.6g), tuned "
                "to %.2f Hz\n",
                outcome.untunedHz / std::sqrt(scale), outcome.untunedHz, scale,
                kivora::NoteGenerator::kFirstNoteHz);
        } else {
            std::printf("Base frequency: %.2f Hz, tuned to %.2f Hz\n", outcome.untunedHz,
                        kivora::NoteGenerator::kFirstNoteHz);
        }
        if (report) {
            printTuningReport(outcome.notes);
        }
    }
    std::printf("Saved %d note%s: %s\n", generator.noteCount(), generator.noteCount() == 1 ? "" : "s",
                output->c_str());
    return 0;
}

} // namespace kivora::cli
