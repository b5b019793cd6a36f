#include "CommandLine.h"
#include "ModalReport.h"

#include <kivora/GenerationRules.h>
#include <kivora/ModalAnalysis.h>
#include <kivora/NoteGenerator.h>
#include <kivora/NoteTuning.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <cmath>
#include <cstdio>

namespace kivora::cli {

std::string describeNotes(const std::vector<int>& notes, int octaves) {
    std::string names;
    for (int note : notes)
        names += (names.empty() ? "" : " ") + kivora::soundName(note, octaves);
    return names;
}

void warnAboutModes(const kivora::ModalPreview& preview, const kivora::GenerationSettings& settings,
                    double baseFrequencyHz, std::FILE* out) {
    for (int mode : preview.nodalModes) {
        std::fprintf(
            out,
            "warning: the sounding node lies on a nodal line of mode %d (%.2f Hz): that mode is hardly "
            "heard there, so the note may sound weak or at an unexpected partial (flag another node)\n",
            mode + 1, preview.modes[static_cast<std::size_t>(mode)].frequencyHz);
    }
    if (preview.highestFrequencyHz <= 0.0 || baseFrequencyHz <= 0.0)
        return;
    const kivora::StabilityForecast forecast =
        kivora::forecastStability(preview.highestFrequencyHz, baseFrequencyHz, settings);
    if (!forecast.unstableNotes.empty()) {
        std::fprintf(
            out,
            "warning: at %d samples per second the stiffest mode (%.2f Hz before tuning) exceeds the "
            "Runge-Kutta stability limit in the notes %s; they would blow up (try a higher --rate or "
            "fewer --octaves)\n",
            settings.sampleRate, preview.highestFrequencyHz,
            describeNotes(forecast.unstableNotes, settings.octaves).c_str());
    }
}

int runModes(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    kivora::GenerationSettings settings;
    if (const auto octaves = line.takeOption("octaves")) {
        settings.octaves = parseInt(*octaves, "--octaves");
        if (const std::string refusal = kivora::octavesRefusal(settings.octaves); !refusal.empty())
            throw UsageError("--octaves: " + refusal);
    }
    if (const auto rate = line.takeOption("rate")) {
        settings.sampleRate = parseInt(*rate, "--rate");
        if (const std::string refusal = kivora::sampleRateRefusal(settings.sampleRate); !refusal.empty())
            throw UsageError("--rate: " + refusal);
    }
    int count = kivora::ModalPreview::kDefaultModeCount;
    if (const auto modes = line.takeOption("count")) {
        count = parseInt(*modes, "--count");
        if (count < 1 || count > 64)
            throw UsageError("--count must be between 1 and 64");
    }
    const std::vector<std::string> positionals = line.takePositionals(0, 1);
    const InstrumentKit::Representation model = positionals.empty()
                                                    ? InstrumentKit::defaultModel()
                                                    : InstrumentKit::loadModelFile(positionals.front());
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    const kivora::ModalPreview preview = kivora::analyseModes(snapshot, count);
    if (!preview.unavailable.empty())
        throw CommandFailure("No modes: " + preview.unavailable);

    std::printf("%-5s %12s %8s %8s\n", "mode", "frequency", "shape", "heard");
    for (std::size_t r = 0; r < preview.modes.size(); ++r) {
        const kivora::NormalMode& mode = preview.modes[r];
        std::printf("%-5zu %9.2f Hz %8.3f %8.3f%s\n", r + 1, mode.frequencyHz, mode.shapeAtSound,
                    mode.loudness,
                    static_cast<int>(r) == preview.loudestMode ? "  <- loudest: the untuned note" : "");
    }
    std::printf("Highest mode: %.2f Hz\n", preview.highestFrequencyHz);
    if (!preview.symmetric)
        std::printf("Some springs act on one end only: the modes are approximate.\n");
    if (preview.loudestMode < 0) {
        std::printf("Nothing is heard at the sounding node: it is fixed, not flagged, or the model starts at "
                    "rest.\n");
        return 0;
    }
    const double baseHz = preview.modes[static_cast<std::size_t>(preview.loudestMode)].frequencyHz;
    const kivora::StabilityForecast forecast =
        kivora::forecastStability(preview.highestFrequencyHz, baseHz, settings);
    if (settings.octaves == 0) {
        std::printf("Untuned note at %d samples per second: %s\n", settings.sampleRate,
                    forecast.unstableNotes.empty() ? "stable" : "unstable");
    } else {
        std::printf("Tuned from %.2f Hz to %.2f Hz, %d notes at %d samples per second: %s%s\n", baseHz,
                    kivora::NoteGenerator::kFirstNoteHz, 12 * settings.octaves, settings.sampleRate,
                    forecast.unstableNotes.empty() ? "all stable" : "unstable: ",
                    describeNotes(forecast.unstableNotes, settings.octaves).c_str());
    }
    std::fflush(stdout);
    warnAboutModes(preview, settings, baseHz, stderr);
    return 0;
}

} // namespace kivora::cli
