#include "CommandLine.h"
#include "ModalReport.h"

#include <kivora/NoteGenerator.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>
#include <ostrel/FrequencyExtraction.h>
#include <pellamy/InstrumentModel.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace kivora::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The run in progress, for the Ctrl-C handler: setting its stop flag is all a
// signal handler may do (the flag is a lock-free atomic).
std::atomic<int>* runningStopFlag = nullptr;
constexpr int kInterrupted = 2;

extern "C" void stopGenerating(int) {
    if (runningStopFlag != nullptr)
        runningStopFlag->store(kInterrupted);
}

// Ctrl-C stops the notes in flight; nothing is saved.
class InterruptGuard {
public:
    explicit InterruptGuard(std::atomic<int>& stopFlag) {
        runningStopFlag = &stopFlag;
        previous_ = std::signal(SIGINT, stopGenerating);
    }
    ~InterruptGuard() {
        std::signal(SIGINT, previous_);
        runningStopFlag = nullptr;
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    void (*previous_)(int) = SIG_DFL;
};

// One line on stderr redrawn after every note: bar, count, elapsed time and
// an estimate of the time left.
class ProgressBar {
public:
    explicit ProgressBar(int noteCount)
        : noteCount_(noteCount), start_(Clock::now()), terminal_(isatty(fileno(stderr)) != 0) {
        if (terminal_) {
            draw(0);
        }
    }

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

} // namespace

int runGenerate(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::optional<std::string> output = line.takeOption("output", "o");
    kivora::GenerationSettings settings;
    if (const auto octaves = line.takeOption("octaves")) {
        settings.octaves = parseInt(*octaves, "--octaves");
        if (settings.octaves < 0 || settings.octaves > 3) {
            throw UsageError("--octaves must be 0, 1, 2 or 3");
        }
    }
    if (const auto rate = line.takeOption("rate")) {
        settings.sampleRate = parseInt(*rate, "--rate");
        if (settings.sampleRate != 44100 && settings.sampleRate != 22050 && settings.sampleRate != 8000) {
            throw UsageError("--rate must be 44100, 22050 or 8000");
        }
    }
    if (const auto duration = line.takeOption("duration")) {
        settings.durationMs = parseInt(*duration, "--duration");
        if (settings.durationMs < 0 || settings.durationMs > 60000) {
            throw UsageError("--duration must be between 0 and 60000 ms");
        }
    }
    if (const auto linear = line.takeOption("linear")) {
        settings.linearDamping = parseDouble(*linear, "--linear");
    }
    if (const auto square = line.takeOption("square")) {
        settings.squareDamping = parseDouble(*square, "--square");
    }
    if (!std::isfinite(settings.linearDamping) || !std::isfinite(settings.squareDamping)) {
        throw UsageError("the attenuations must be finite numbers");
    }
    const bool flat = line.takeFlag("flat");
    const std::vector<std::string> positionals = line.takePositionals(0, 1);
    if (!output) {
        throw UsageError("missing -o OUT.ins");
    }

    const InstrumentKit::Representation model = positionals.empty()
                                                    ? InstrumentKit::defaultModel()
                                                    : InstrumentKit::loadModelFile(positionals.front());
    muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    if (const char* refusal = kivora::refusalFor(snapshot)) {
        throw CommandFailure(refusal);
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
    {
        InterruptGuard interrupt(generator.stopRequested);
        if (generator.run() == kInterrupted) {
            std::fputs("\nInterrupted: nothing saved\n", stderr);
            return 130;
        }
    }

    const pellamy::SoundStreamDescription* records = generator.buildDescriptions();
    std::string diverged;
    for (int note = 0; note < generator.noteCount(); ++note) {
        if (generator.noteBlewUp(note)) {
            diverged += (diverged.empty() ? "" : " ") + records[note].name;
        }
    }
    if (!diverged.empty()) {
        std::fprintf(stderr,
                     "warning: the model is too stiff for %d samples per second in the notes %s; they end in "
                     "silence (try a higher --rate or fewer --octaves)\n",
                     settings.sampleRate, diverged.c_str());
    }
    pellamy::InstrumentModel instrument;
    instrument.loadFromDescriptions(generator.noteCount(), records);
    instrument.saveToFile(*output, !flat);

    if (settings.octaves == 0) {
        ostrel::WAVEFORMATEX format;
        format.nChannels = 1;
        format.nSamplesPerSec = static_cast<std::uint32_t>(settings.sampleRate);
        format.nBlockAlign = 2;
        format.wBitsPerSample = 16;
        const double hz = ostrel::extractFrequency(format, const_cast<std::int16_t*>(generator.noteBuffer(0)),
                                                   static_cast<unsigned>(generator.samplesPerNote()));
        std::printf("Untuned note: %.2f Hz\n", hz);
    } else {
        std::printf("Base frequency: %.2f Hz, tuned to %.2f Hz\n", generator.baseFrequency(),
                    kivora::NoteGenerator::kFirstNoteHz);
    }
    std::printf("Saved %d note%s: %s\n", generator.noteCount(), generator.noteCount() == 1 ? "" : "s",
                output->c_str());
    return 0;
}

} // namespace kivora::cli
