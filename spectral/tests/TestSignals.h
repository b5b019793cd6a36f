// Signals and WAV files made for the spectral tests.
#pragma once

#include <ostrel/WaveFormat.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace ostrel::test {

inline constexpr double kPi = 3.14159265358979323846;

inline std::vector<std::int16_t> tone(double frequencyHz, unsigned sampleRate, double seconds,
                                      double amplitude) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(std::lround(sampleRate * seconds)));
    for (std::size_t k = 0; k < samples.size(); ++k) {
        samples[k] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * kPi * frequencyHz * k / sampleRate)));
    }
    return samples;
}

// A linear sweep from startHz to endHz.
inline std::vector<std::int16_t> chirp(double startHz, double endHz, unsigned sampleRate, double seconds,
                                       double amplitude) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(std::lround(sampleRate * seconds)));
    const double rate = (endHz - startHz) / seconds;
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const double t = static_cast<double>(k) / sampleRate;
        samples[k] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * kPi * (startHz * t + 0.5 * rate * t * t))));
    }
    return samples;
}

inline std::vector<std::int16_t> noise(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> distribution(-32768, 32767);
    std::vector<std::int16_t> samples(count);
    for (auto& sample : samples) {
        sample = static_cast<std::int16_t>(distribution(generator));
    }
    return samples;
}

// Frames of `channels` samples with `first` in channel 0 and `other` in the rest.
inline std::vector<std::int16_t> interleave(const std::vector<std::int16_t>& first,
                                            const std::vector<std::int16_t>& other, unsigned channels) {
    std::vector<std::int16_t> frames(first.size() * channels);
    for (std::size_t k = 0; k < first.size(); ++k) {
        frames[k * channels] = first[k];
        for (unsigned c = 1; c < channels; ++c) {
            frames[k * channels + c] = other[k];
        }
    }
    return frames;
}

inline WAVEFORMATEX pcmFormat(unsigned sampleRate, unsigned channels, unsigned bits = 16) {
    WAVEFORMATEX format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = static_cast<std::uint16_t>(channels);
    format.nSamplesPerSec = sampleRate;
    format.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = sampleRate * format.nBlockAlign;
    format.wBitsPerSample = static_cast<std::uint16_t>(bits);
    return format;
}

// Little-endian byte assembly for hand-made files.
class Bytes {
public:
    Bytes& text(const std::string& value) {
        data += value;
        return *this;
    }
    Bytes& u16(unsigned value) {
        data.push_back(static_cast<char>(value & 0xFF));
        data.push_back(static_cast<char>((value >> 8) & 0xFF));
        return *this;
    }
    Bytes& u32(std::uint32_t value) {
        u16(value & 0xFFFF);
        return u16(value >> 16);
    }
    Bytes& zeros(std::size_t count) {
        data.append(count, '\0');
        return *this;
    }
    Bytes& samples(const std::vector<std::int16_t>& values) {
        for (const std::int16_t value : values) {
            u16(static_cast<std::uint16_t>(value));
        }
        return *this;
    }
    Bytes& fmtBody(const WAVEFORMATEX& format) {
        return u16(format.wFormatTag)
            .u16(format.nChannels)
            .u32(format.nSamplesPerSec)
            .u32(format.nAvgBytesPerSec)
            .u16(format.nBlockAlign)
            .u16(format.wBitsPerSample);
    }
    std::string data;
};

// A canonical 44-byte-header WAV image of `sampleData` (bytes of sample data).
inline Bytes wavImage(const WAVEFORMATEX& format, const Bytes& sampleData) {
    Bytes image;
    image.text("RIFF").u32(static_cast<std::uint32_t>(36 + sampleData.data.size())).text("WAVEfmt ").u32(16);
    image.fmtBody(format).text("data").u32(static_cast<std::uint32_t>(sampleData.data.size()));
    image.data += sampleData.data;
    return image;
}

// A directory of its own under the system's temporary directory, removed at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const Bytes& bytes) const {
        const std::string path = file(name);
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data.data(), static_cast<std::streamsize>(bytes.data.size()));
        return path;
    }

private:
    std::filesystem::path path_;
};

} // namespace ostrel::test
