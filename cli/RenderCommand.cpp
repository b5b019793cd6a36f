#include "CommandLine.h"
#include "Interrupt.h"
#include "MidiSupport.h"
#include "VoiceCommands.h"

#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiFileRendering.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

namespace kivora::cli {

namespace {

int mixModeFor(const std::string& name) {
    if (name == "clip")
        return pellamy::MixClip;
    if (name == "normalize")
        return pellamy::MixNormalize;
    if (name == "none")
        return pellamy::MixNone;
    throw UsageError("--mix must be clip, normalize or none, not \"" + name + "\"");
}

// A MIDI song played as a sampler plays the exported bank: normalised when
// it would clip unless --mix says otherwise. The song is mixed in floating
// point, so "none" (no scaling) writes it as "clip" does.
int renderMidiSong(const std::string& midiPath, const pellamy::InstrumentModel& instrument,
                   const std::string& outputPath, int channel, const std::optional<std::string>& mix,
                   double releaseMs, const InterruptScope& interrupt) {
    exchange::SongRenderOptions options;
    options.channel = channel;
    options.releaseMs = releaseMs;
    options.normaliseWhenClipping = !mix || *mix == "normalize";
    options.stopRequested = interrupt.stopCheck();
    exchange::MidiFileRendering result;
    exchange::SongRendering& rendering = result.rendering;
    try {
        result = exchange::renderMidiFile(midiPath, instrument, options);
    } catch (const exchange::MidiFileError& failure) {
        throw CommandFailure(failure.what());
    } catch (const exchange::SongRenderError& failure) {
        if (!interrupt.interrupted())
            throw CommandFailure(failure.what());
        std::fputs("Interrupted: nothing written\n", stderr);
        return interrupt.exitStatus();
    }
    try {
        if (rendering.notesPlayed == 0) {
            reportSkippedNotes(result);
            throw CommandFailure("No note of " + midiPath + " falls on a key of the instrument");
        }
        if (interrupt.interrupted())
            throw exchange::SongRenderError("interrupted");
        exchange::writeSongWav(rendering, outputPath);
    } catch (const exchange::SongRenderError& failure) {
        if (!interrupt.interrupted())
            throw CommandFailure(failure.what());
        std::fputs("Interrupted: nothing written\n", stderr);
        return interrupt.exitStatus();
    }
    reportSkippedNotes(result);
    if (rendering.normalisingGain < 1.0)
        std::printf("normalised by %.1f dB to avoid clipping\n",
                    20.0 * std::log10(rendering.normalisingGain));
    std::printf("%s: %d notes, %llu values at %u Hz, %.3f s\n", outputPath.c_str(), rendering.notesPlayed,
                static_cast<unsigned long long>(rendering.values.size()), rendering.sampleRateHz,
                static_cast<double>(rendering.frames()) / rendering.sampleRateHz);
    return 0;
}

} // namespace

int runRender(std::vector<std::string> arguments) {
    if (asksForVoices(arguments))
        return runRenderWithVoices(std::move(arguments));
    CommandLine line(std::move(arguments));
    const std::optional<std::string> instrumentPath = line.takeOption("instrument", "i");
    std::optional<std::string> outputPath = line.takeOption("output", "o");
    const std::optional<std::string> mixOption = line.takeOption("mix");
    const int mode = mixModeFor(mixOption.value_or("clip"));
    const double releaseMs = releaseOption(line.takeOption("release"));
    const int midiChannel = midiChannelOption(line.takeOption("channel"));
    std::string scriptPath = line.takePositionals(1, 1).front();
    const bool midi = exchange::isMidiFilePath(scriptPath);
    if (!outputPath) {
        // As the piano does: the script's name with its last four characters replaced.
        if (scriptPath.size() <= 4)
            throw UsageError("cannot name the output after \"" + scriptPath + "\"; give it with -o");
        outputPath = midi ? std::filesystem::path(scriptPath).replace_extension(".wav").string()
                          : scriptPath.substr(0, scriptPath.size() - 4) + ".wav";
    }

    if (midi && !instrumentPath)
        throw UsageError("a MIDI file needs an instrument: give it with -i");

    pellamy::InstrumentModel instrument;
    pellamy::MelodyRenderer renderer(mode);
    if (instrumentPath) {
        instrument.loadFromFile(*instrumentPath);
        renderer.setInstrument(&instrument);
    }
    refuseOverwritingInputs({*outputPath}, inputsOfRendering(scriptPath, instrumentPath));

    const InterruptScope interrupt;
    if (midi)
        return renderMidiSong(scriptPath, instrument, *outputPath, midiChannel, mixOption, releaseMs,
                              interrupt);
    renderer.setStopCheck(interrupt.stopCheck());
    try {
        renderer.render(scriptPath, *outputPath);
    } catch (...) {
        if (!interrupt.interrupted())
            throw;
        std::fputs("Interrupted: nothing written\n", stderr);
        return interrupt.exitStatus();
    }
    if (renderer.instrument() == nullptr)
        throw CommandFailure("No instrument to render with");

    const pellamy::WAVEFORMATEX& format = renderer.outputFormat();
    const double seconds = format.nSamplesPerSec == 0 ? 0.0
                                                      : static_cast<double>(renderer.writtenValues()) /
                                                            format.nChannels / format.nSamplesPerSec;
    std::printf("%s: %llu values at %u Hz, %.3f s\n", outputPath->c_str(),
                static_cast<unsigned long long>(renderer.writtenValues()), format.nSamplesPerSec, seconds);
    return 0;
}

} // namespace kivora::cli
