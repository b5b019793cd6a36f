#include "CommandLine.h"
#include "Interrupt.h"
#include "VoiceCommands.h"

#include <pellamy/ErrorText.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/SoundFile.h>
#include <pellamy/SoundOutput.h>
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
