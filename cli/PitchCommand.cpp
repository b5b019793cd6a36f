#include "CommandLine.h"

#include <kivora/NoteTuning.h>
#include <kivora/exchange/Fundamental.h>
#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>
#include <pellamy/SoundFile.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace kivora::cli {

namespace {

constexpr const char* kFileReaderOnly =
    "--file reads only 16-bit PCM WAV files (format tag 1) whose \"fmt \" chunk comes first and whose RIFF "
    "size matches the file: measure without --file";

// The spectral library's own reader refuses on opening the layouts it cannot
// walk; of those it opens, it measures 16-bit values in frames of two bytes
// a channel only.
bool fileReaderReads(const std::string& path) {
    ostrel::SoundSynthesisWavReader reader;
    if (reader.openWav(path.c_str()) != 0) {
        return false;
    }
    const ostrel::WAVEFORMATEX format = reader.getWAVEFORMATEX();
    return format.nChannels > 0 && format.wBitsPerSample == 16 && format.nBlockAlign == 2 * format.nChannels;
}

std::string formatHz(double hz) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f", hz);
    return text.data();
}

} // namespace

int runPitch(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const bool fileReader = line.takeFlag("file");
    const bool fundamental = line.takeFlag("fundamental");
    line.takeFlag("buffer"); // the default now; accepted for older scripts
    const std::string path = line.takePositionals(1, 1).front();

    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw CommandFailure("cannot measure \"" + path + "\": " +
                             (std::filesystem::exists(path, error) ? "not a regular file" : "no such file"));
    }
    // Every file is read as an instrument's sound is, so a file measures as it plays.
    std::optional<pellamy::SoundFileValues> sound = pellamy::readSoundFile(path);
    if (!sound) {
        throw CommandFailure("cannot measure \"" + path + "\": " + pellamy::soundFileProblem(path));
    }
    if (fileReader && !fileReaderReads(path)) {
        throw CommandFailure("cannot measure \"" + path + "\": " + kFileReaderOnly);
    }
    const auto frames = static_cast<unsigned>(sound->values.size() / sound->channels);
    // Dither moves a silent file by one step of its own resolution either way.
    const unsigned ditherSteps = sound->bitsPerSample <= 8 ? 2 * 256 : 2;
    if (kivora::isSilent(sound->values.data(), frames, sound->channels, ditherSteps)) {
        throw CommandFailure("silent: no pitch");
    }

    std::vector<std::int16_t> firstChannel(frames);
    for (unsigned frame = 0; frame < frames; ++frame) {
        firstChannel[frame] = sound->values[static_cast<std::size_t>(frame) * sound->channels];
    }
    const exchange::FundamentalReading reading =
        exchange::measureFundamental(firstChannel.data(), firstChannel.size(), sound->sampleRate);
    if (fundamental) {
        if (!reading.pitched()) {
            throw CommandFailure("no clear pitch: noise, a drum, or a pitch outside 27.5-4186 Hz");
        }
        std::printf("%.2f\n", reading.frequencyHz);
        return 0;
    }

    double hz = 0.0;
    if (fileReader) {
        hz = ostrel::extractFrequency(path.c_str());
        if (hz <= 0) {
            throw CommandFailure("cannot measure \"" + path + "\": " + kFileReaderOnly);
        }
    } else {
        ostrel::WAVEFORMATEX format;
        format.wFormatTag = ostrel::kWaveFormatPcm;
        format.nChannels = sound->channels;
        format.nSamplesPerSec = sound->sampleRate;
        format.nBlockAlign = static_cast<std::uint16_t>(2 * sound->channels);
        format.nAvgBytesPerSec = format.nBlockAlign * sound->sampleRate;
        format.wBitsPerSample = 16;
        hz = ostrel::extractFrequency(format, sound->values.data(), frames);
    }
    std::printf("%.2f\n", hz);
    // The outermost results, 38.00 and 2000.00, stand for every tone beyond them.
    if (!kivora::isMeasurable(hz)) {
        std::fprintf(stderr, "warning: %s\n", kivora::edgeOfRangeWarning(hz).c_str());
    }
    if (!reading.pitched()) {
        std::fprintf(stderr, "warning: no clear pitch (noise?): %.2f Hz is only the strongest resonance\n",
                     hz);
    }
    if (reading.energyShareAboveDominantRange > 0.5 ||
        (reading.pitched() && reading.frequencyHz > exchange::kHighestDominantHz)) {
        std::fprintf(
            stderr,
            "warning: the sound lies mostly above %.0f Hz, beyond the measurable range: %.2f Hz is not "
            "its pitch%s\n",
            exchange::kHighestDominantHz, hz,
            reading.pitched() ? (" (its fundamental: " + formatHz(reading.frequencyHz) + " Hz)").c_str()
                              : "");
    } else if (!reading.pitched()) {
        std::fprintf(stderr, "warning: no clear pitch (noise?): %.2f Hz is only the strongest resonance\n",
                     hz);
    }
    return 0;
}

} // namespace kivora::cli
