#include "VoiceCommands.h"

#include "CommandLine.h"
#include "Interrupt.h"
#include "MidiSupport.h"

#include <kivora/GenerationRules.h>
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiFileRendering.h>
#include <kivora/voices/ScriptSong.h>
#include <kivora/voices/VoiceBank.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/ErrorText.h>
#include <pellamy/WavFile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <unistd.h>

namespace kivora::cli {

namespace {

using voices::KeyEvent;

using voices::Song;

} // namespace

VoiceOptions readVoiceOptions(CommandLine& line, bool withOutput) {
    VoiceOptions options;
    options.modelPath = *line.takeOption("model");
    if (withOutput)
        options.outputPath = line.takeOption("output", "o");
    kivora::GenerationSettings& generation = options.settings.generation;
    if (const auto rate = line.takeOption("rate")) {
        generation.sampleRate = parseInt(*rate, "--rate");
        if (const std::string refusal = kivora::sampleRateRefusal(generation.sampleRate); !refusal.empty())
            throw UsageError("--rate: " + refusal);
    }
    if (const auto linear = line.takeOption("linear"))
        generation.linearDamping = parseDouble(*linear, "--linear");
    if (const auto square = line.takeOption("square"))
        generation.squareDamping = parseDouble(*square, "--square");
    if (const std::string refusal = kivora::attenuationRefusal(generation); !refusal.empty())
        throw UsageError("--linear: " + refusal);
    options.midiChannel = midiChannelOption(line.takeOption("channel"));
    if (const auto threads = line.takeOption("threads")) {
        const int count = parseInt(*threads, "--threads");
        if (count < 0 || count > 64)
            throw UsageError("--threads must be between 0 (one per core) and 64");
        options.threads = static_cast<unsigned>(count);
    }
    options.songPath = line.takePositionals(1, 1).front();
    return options;
}

std::shared_ptr<const voices::VoiceModel> loadVoiceModel(const VoiceOptions& options) {
    muntero::ModelSnapshot snapshot;
    try {
        snapshot = muntero::takeSnapshot(InstrumentKit::loadModelFile(options.modelPath));
    } catch (const std::exception& failure) {
        throw CommandFailure(failure.what());
    }
    try {
        return std::make_shared<const voices::VoiceModel>(std::move(snapshot), options.settings);
    } catch (const std::invalid_argument& refusal) {
        throw CommandFailure(options.modelPath + ": " + refusal.what());
    }
}

namespace {

std::uint64_t framesOf(double seconds, int rate) {
    return static_cast<std::uint64_t>(std::trunc(seconds * rate));
}

void sortByFrame(std::vector<KeyEvent>& events) {
    std::stable_sort(events.begin(), events.end(),
                     [](const KeyEvent& a, const KeyEvent& b) { return a.frame < b.frame; });
}

// Every note of the chosen channels (all but 10 by default); the song ends
// when the last release has faded.
Song songOfMidi(const std::string& path, int channel, const voices::VoiceModel& model) {
    exchange::MidiSong midi;
    try {
        midi = exchange::readMidiFile(path);
    } catch (const exchange::MidiFileError& failure) {
        throw CommandFailure(failure.what());
    }
    Song song;
    for (const exchange::MidiNote& note : midi.notes) {
        if (channel >= 0 ? note.channel != channel : note.channel == 9)
            continue;
        const std::uint64_t on = framesOf(note.startSeconds, model.sampleRate());
        const std::uint64_t off =
            std::max(on + 1, framesOf(note.startSeconds + note.durationSeconds, model.sampleRate()));
        song.events.push_back({on, KeyEvent::Kind::noteOn, note.key, note.velocity});
        song.events.push_back({off, KeyEvent::Kind::noteOff, note.key, 0});
        song.lengthInFrames = std::max(song.lengthInFrames, off);
    }
    if (song.events.empty())
        throw CommandFailure("No note of " + path + " to play");
    sortByFrame(song.events);
    song.lengthInFrames += framesOf(voices::Voice::kReleaseMs * 0.001, model.sampleRate()) + 1;
    return song;
}

// A melody script as the renderer reads it (see ScriptSong.h).
Song songOfScript(const std::string& path, const voices::VoiceModel& model) {
    try {
        return voices::readScriptSong(path, model);
    } catch (const std::runtime_error& failure) {
        throw CommandFailure(failure.what());
    }
}

} // namespace

Song songOf(const VoiceOptions& options, const voices::VoiceModel& model) {
    return exchange::isMidiFilePath(options.songPath)
               ? songOfMidi(options.songPath, options.midiChannel, model)
               : songOfScript(options.songPath, model);
}

void warnAboutRefusedKeys(const std::vector<int>& keys) {
    for (int key : keys)
        std::fprintf(stderr, "warning: key %d (%s) is too stiff for the rate and was not played\n", key,
                     voices::noteNameOfKey(key).c_str());
}

namespace {

// A 16-bit mono WAV file, written under a temporary name and renamed into
// place only when complete.
void writeMonoWav(const std::string& path, const std::vector<std::int16_t>& samples, int rate) {
    if (samples.size() * 2 > 0xFFFFFFFFull - 64)
        throw CommandFailure(pellamy::fileFailureText(
            "Can't write to wav file", path, "the rendering would be longer than a WAV file may hold"));
    pellamy::WAVEFORMATEX format{};
    format.wFormatTag = pellamy::kWaveFormatPcm;
    format.nChannels = 1;
    format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
    format.nAvgBytesPerSec = static_cast<std::uint32_t>(rate) * 2;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size() * 2);
    if (const int error = pellamy::writeWavFile(path, format, bytes); error != 0)
        throw CommandFailure(
            pellamy::fileFailureText("Can't write to wav file", path, pellamy::systemReason(error)));
}

} // namespace

bool asksForVoices(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--")
            return false;
        if (argument == "--model" || argument.rfind("--model=", 0) == 0)
            return true;
    }
    return false;
}

int runRenderWithVoices(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const VoiceOptions options = readVoiceOptions(line, true);
    if (!options.outputPath)
        throw UsageError("rendering through a model's voices needs the output: give it with -o");
    refuseOverwritingInputs({*options.outputPath},
                            {{options.songPath, "the song"}, {options.modelPath, "the model file"}});
    const auto model = loadVoiceModel(options);
    const Song song = songOf(options, *model);
    const InterruptScope interrupt;
    const voices::OfflineRendering rendering = voices::renderOffline(
        model, song.events, song.lengthInFrames, voices::VoiceBank::kDefaultVoiceCount, options.threads);
    if (interrupt.interrupted()) {
        std::fputs("Interrupted: nothing written\n", stderr);
        return interrupt.exitStatus();
    }
    warnAboutRefusedKeys(rendering.refusedKeys);
    writeMonoWav(*options.outputPath, rendering.samples, model->sampleRate());
    std::printf("%s: %zu values at %d Hz, %.3f s, through the model's voices (1C at %.2f Hz from %.2f Hz)\n",
                options.outputPath->c_str(), rendering.samples.size(), model->sampleRate(),
                static_cast<double>(rendering.samples.size()) / model->sampleRate(),
                kivora::NoteGenerator::kFirstNoteHz, model->baseFrequency());
    return 0;
}

} // namespace kivora::cli
