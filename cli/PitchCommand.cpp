#include "CommandLine.h"

#include <kivora/NoteTuning.h>
#include <kivora/exchange/Fundamental.h>
#include <ostrel/FrequencyExtraction.h>
#include <pellamy/SoundFile.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace kivora::cli {

namespace {

constexpr const char* kCanonicalOnly =
    "--file reads only canonical 16-bit PCM WAV files (\"fmt \" of 16 bytes first, \"data\" at byte 36, "
    "nothing after it): measure without --file";

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// The spectral library's own file reader finds the data by searching for the
// word "data", rewinds to byte 44 for its second pass and reads every byte to
// the end of the file as 16-bit samples: it measures correctly only the
// canonical layout, which is checked here before it is used.
bool hasCanonicalLayout(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return false;
    }
    const std::streamoff length = file.tellg();
    std::array<unsigned char, 44> header{};
    file.seekg(0);
    if (length < 44 || !file.read(reinterpret_cast<char*>(header.data()), header.size())) {
        return false;
    }
    const unsigned char* h = header.data();
    const std::uint16_t channels = le16(h + 22);
    return std::memcmp(h, "RIFF", 4) == 0 && le32(h + 4) + std::streamoff{8} == length &&
           std::memcmp(h + 8, "WAVEfmt ", 8) == 0 && le32(h + 16) == 16 && le16(h + 20) == 1 &&
           channels > 0 && le16(h + 32) == 2 * channels && le16(h + 34) == 16 &&
           std::memcmp(h + 36, "data", 4) == 0 && le32(h + 40) + std::streamoff{44} == length;
}

// The dominant frequency's lowest result: its fine bank reaches 2 Hz below
// the coarse bank's first resonator (40 Hz).
constexpr double kLowestResultHz = 38.0;

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
    if (fileReader && !hasCanonicalLayout(path)) {
        throw CommandFailure("cannot measure \"" + path + "\": " + kCanonicalOnly);
    }
    // Every file is read as an instrument's sound is, so a file measures as it plays.
    std::optional<pellamy::SoundFileValues> sound = pellamy::readSoundFile(path);
    if (!sound) {
        throw CommandFailure("cannot measure \"" + path +
                             "\": not a WAV file of 8-, 16-, 24- or 32-bit integer or float samples");
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
            throw CommandFailure("cannot measure \"" + path + "\": " + kCanonicalOnly);
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
    // The dominant frequency lies on a grid whose outermost results, 38.00
    // and 2000.00, stand for every tone beyond them.
    if (hz < kLowestResultHz + 0.005 || hz > exchange::kHighestDominantHz - 0.005) {
        std::fprintf(stderr,
                     "warning: %.2f Hz is the edge of the measurable range (%.0f-%.0f Hz): the tone lies "
                     "outside it\n",
                     hz, kLowestResultHz, exchange::kHighestDominantHz);
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
