#include "CommandLine.h"
#include "Interrupt.h"
#include "VoiceCommands.h"

#include <kivora/voices/LiveVoices.h>
#include <pellamy/ErrorText.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/SoundFile.h>
#include <pellamy/SoundOutput.h>
#include <pellamy/StreamOutput.h>
#include <pellamy/WavFile.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <thread>

namespace kivora::cli {

namespace {

std::atomic<bool> interrupted{false};

extern "C" void stopPlaying(int) {
    interrupted.store(true);
}

// Ctrl-C ends the playing at once instead of the process.
class InterruptGuard {
public:
    InterruptGuard() : previous_(std::signal(SIGINT, stopPlaying)) {}
    ~InterruptGuard() { std::signal(SIGINT, previous_); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    void (*previous_)(int);
};

bool endsWithScriptExtension(const std::string& path) {
    if (path.size() < 4)
        return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".snc";
}

// As the piano does: the script rendered into its own path ending in .wav.
// Empty, with `interruptedStatus` set, when Ctrl-C or SIGTERM stopped it.
std::string renderBesideItself(const std::string& scriptPath,
                               const std::optional<std::string>& instrumentPath, int& interruptedStatus) {
    const std::string wavPath = scriptPath.substr(0, scriptPath.size() - 4) + ".wav";
    pellamy::InstrumentModel instrument;
    pellamy::MelodyRenderer renderer(pellamy::MixClip);
    if (instrumentPath) {
        instrument.loadFromFile(*instrumentPath);
        renderer.setInstrument(&instrument);
    }
    refuseOverwritingInputs({wavPath}, inputsOfRendering(scriptPath, instrumentPath));
    const InterruptScope interrupt;
    renderer.setStopCheck(interrupt.stopCheck());
    try {
        renderer.render(scriptPath, wavPath);
    } catch (...) {
        if (!interrupt.interrupted())
            throw;
        std::fputs("Interrupted: nothing written\n", stderr);
        interruptedStatus = interrupt.exitStatus();
        return {};
    }
    if (renderer.instrument() == nullptr)
        throw CommandFailure("No instrument to render with");
    return wavPath;
}

// The WAV file as the one sound of an instrument, read as instruments read
// their sounds.
void loadWav(const std::string& path, pellamy::InstrumentModel& instrument) {
    std::unique_ptr<pellamy::WavFile> file;
    errno = 0;
    if (pellamy::openWavForRead(path, file) != pellamy::kWavOk)
        throw CommandFailure(pellamy::soundFileFailureText(path));
    file.reset();
    const std::optional<pellamy::SoundFileValues> sound = pellamy::readSoundFile(path);
    if (const std::string compressed = sound ? std::string() : pellamy::compressedFormatRefusal(path);
        !compressed.empty())
        throw CommandFailure(path + ": " + compressed);
    if (!sound || sound->channels > 255)
        throw CommandFailure(path + ": only PCM WAV files of 8, 16, 24 or 32 bits and float WAV files, "
                                    "plain or extensible, with 1 to 255 channels play");
    instrument.addSound("melody", pellamy::Sound::make(sound->values, sound->sampleRate,
                                                       static_cast<std::uint8_t>(sound->channels), 16, 1.0f));
}

// The model's voices computed live just ahead of the device.
int runPlayWithVoices(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const VoiceOptions options = readVoiceOptions(line, false);
    const auto model = loadVoiceModel(options);
    const voices::Song song = songOf(options, *model);

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
            const voices::KeyEvent& event = song.events[next];
            const bool sent = event.kind == voices::KeyEvent::Kind::noteOn
                                  ? live.noteOn(event.key, event.velocity)
                              : event.kind == voices::KeyEvent::Kind::noteOff ? live.noteOff(event.key)
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

} // namespace

int runPlay(std::vector<std::string> arguments) {
    if (asksForVoices(arguments))
        return runPlayWithVoices(std::move(arguments));
    CommandLine line(std::move(arguments));
    const std::optional<std::string> instrumentPath = line.takeOption("instrument", "i");
    const std::string path = line.takePositionals(1, 1).front();
    const bool isScript = endsWithScriptExtension(path);
    if (instrumentPath && !isScript)
        throw UsageError("-i applies to melody scripts (.snc) only");

    int interruptedStatus = 0;
    const std::string wavPath = isScript ? renderBesideItself(path, instrumentPath, interruptedStatus) : path;
    if (interruptedStatus != 0)
        return interruptedStatus;
    pellamy::InstrumentModel instrument;
    loadWav(wavPath, instrument);
    const pellamy::Sound& sound = *instrument.soundFor("melody");
    const double seconds = static_cast<double>(sound.count()) / sound.channels() / sound.sampleRate();

    const InterruptGuard interruptGuard;
    std::optional<pellamy::SoundOutput> output;
    try {
        output.emplace(&instrument, 48000, 2, 16);
    } catch (const pellamy::InitFailedException& failure) {
        throw soundDeviceFailure(failure.message());
    }
    std::printf("%s: %.3f s at %u Hz through a device buffer of %u frames (%.1f ms)\n", wavPath.c_str(),
                seconds, sound.sampleRate(), output->deviceBufferFrames(), output->deviceBufferMs());
    std::fflush(stdout);

    output->Start("melody");
    const auto poll = std::chrono::milliseconds(5);
    while (!output->isSilent() && !interrupted.load())
        std::this_thread::sleep_for(poll);
    if (interrupted.load()) {
        output->StopAll();
        std::fputs("stopped\n", stderr);
        return 130;
    }
    // The device still plays its last buffers after the mixer fell silent.
    const auto drain = std::chrono::duration<double, std::milli>(2.0 * output->deviceBufferMs()) + poll;
    std::this_thread::sleep_for(drain);
    return 0;
}

} // namespace kivora::cli

// The module's one entry, which the tool looks up by name.
extern "C" __attribute__((visibility("default"))) int kivoraCliRunPlay(std::vector<std::string>* arguments) {
    return kivora::cli::runPlay(std::move(*arguments));
}
