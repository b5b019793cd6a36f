#include "VoiceCommands.h"

#include "CommandLine.h"
#include "Interrupt.h"
#include "MidiSupport.h"

#include <kivora/GenerationRules.h>
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiFileRendering.h>
#include <kivora/voices/LiveVoices.h>
#include <kivora/voices/ScriptSong.h>
#include <kivora/voices/VoiceBank.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/ErrorText.h>
#include <pellamy/StreamOutput.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace kivora::cli {

namespace {

using voices::KeyEvent;

using voices::Song;

struct VoiceOptions {
    std::string modelPath;
    std::string songPath;
    std::optional<std::string> outputPath;
    voices::VoiceSettings settings;
    int midiChannel = -1;
    unsigned threads = 0;
};

VoiceOptions readOptions(CommandLine& line, bool withOutput) {
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

void putLittleEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int b = 0; b < bytes; ++b)
        out.push_back(static_cast<char>((value >> (8 * b)) & 0xFF));
}

// A canonical 16-bit mono WAV file, written under a temporary name and
// renamed into place only when complete.
void writeMonoWav(const std::string& path, const std::vector<std::int16_t>& samples, int rate) {
    if (samples.size() * 2 > 0xFFFFFFFFull - 36)
        throw CommandFailure(pellamy::fileFailureText(
            "Can't write to wav file", path, "the rendering would be longer than a WAV file may hold"));
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::string header = "RIFF";
    putLittleEndian(header, 36 + dataBytes, 4);
    header += "WAVEfmt ";
    putLittleEndian(header, 16, 4);
    putLittleEndian(header, 1, 2); // PCM
    putLittleEndian(header, 1, 2); // mono
    putLittleEndian(header, static_cast<std::uint32_t>(rate), 4);
    putLittleEndian(header, static_cast<std::uint32_t>(rate) * 2, 4);
    putLittleEndian(header, 2, 2);
    putLittleEndian(header, 16, 2);
    header += "data";
    putLittleEndian(header, dataBytes, 4);
    std::string body;
    body.reserve(samples.size() * 2);
    for (std::int16_t sample : samples)
        putLittleEndian(body, static_cast<std::uint16_t>(sample), 2);
    writeTextFile(path, header + body);
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
    const VoiceOptions options = readOptions(line, true);
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

int runPlayWithVoices(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const VoiceOptions options = readOptions(line, false);
    const auto model = loadVoiceModel(options);
    const Song song = songOf(options, *model);

    voices::LiveSettings settings;
    settings.renderThreads = options.threads;
    voices::LiveVoices live(model, settings);
    constexpr unsigned kChannels = 2;
    live.setDeviceChannels(kChannels);
    if (!live.waitUntilReady(std::chrono::seconds(10)))
        throw CommandFailure("The voices could not be computed in time");
    // Ctrl-C (or SIGTERM) ends live playing at once.
    const InterruptScope interrupt;

    std::optional<pellamy::StreamOutput> output;
    try {
        output.emplace(model->sampleRate(), kChannels, 256, &voices::LiveVoices::fillDeviceBuffer, &live);
    } catch (const pellamy::InitFailedException& failure) {
        throw soundDeviceFailure(failure.message());
    }
    const double seconds = static_cast<double>(song.lengthInFrames) / model->sampleRate();
    std::printf("%s: %.3f s through the voices of %s at %d Hz, a device buffer of %u frames (%.1f ms) and "
                "blocks of %zu frames\n",
                options.songPath.c_str(), seconds, options.modelPath.c_str(), model->sampleRate(),
                output->deviceBufferFrames(), output->deviceBufferMs(), live.blockFrames());
    std::fflush(stdout);

    // Each event is sent as early as its sound can still start on time: the
    // device buffer and two blocks ahead of the frame being played.
    const std::uint64_t lead = output->deviceBufferFrames() + 2 * live.blockFrames();
    std::size_t next = 0;
    const auto poll = std::chrono::milliseconds(1);
    while (!interrupt.interrupted() && live.framesPlayed() < song.lengthInFrames + lead) {
        const std::uint64_t played = live.framesPlayed();
        for (; next < song.events.size() && song.events[next].frame <= played + lead; ++next) {
            const KeyEvent& event = song.events[next];
            const bool sent = event.kind == KeyEvent::Kind::noteOn    ? live.noteOn(event.key, event.velocity)
                              : event.kind == KeyEvent::Kind::noteOff ? live.noteOff(event.key)
                                                                      : live.allNotesOff();
            if (!sent) {
                break; // the queue is full: again at the next poll
            }
        }
        std::this_thread::sleep_for(poll);
    }
    output.reset();
    warnAboutRefusedKeys(live.refusedKeys());
    if (interrupt.interrupted()) {
        std::fputs("stopped\n", stderr);
        return interrupt.exitStatus();
    }
    std::printf("late blocks: %llu of %llu\n", static_cast<unsigned long long>(live.lateBlocks()),
                static_cast<unsigned long long>(live.blocksRendered()));
    return 0;
}

} // namespace kivora::cli
