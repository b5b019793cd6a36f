// Helpers for tests that play through SDL's disk driver and read back what
// the device received.
#pragma once

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundStreamDescription.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace pellamy::testing {

// Selects SDL's disk driver for the devices opened while it lives, writing
// raw device frames to a file of its own. delayMs "0" runs faster than real
// time; an empty delay leaves the driver's real-time pace.
class DiskCapture {
public:
    explicit DiskCapture(const std::string& name, const std::string& delayMs = "0");
    ~DiskCapture();
    DiskCapture(const DiskCapture&) = delete;
    DiskCapture& operator=(const DiskCapture&) = delete;

    // The 16-bit values written so far (read after the device is closed).
    std::vector<std::int16_t> values() const;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Selects SDL's silent dummy driver while it lives.
class DummyDriver {
public:
    DummyDriver();
    ~DummyDriver();
};

// Spins (yielding) until `done` holds; fails the test after a generous
// bound so a stalled device cannot hang the suite.
bool waitUntil(const std::function<bool()>& done);

// A tone that rises from about 0 and falls back to about 0 under a sine
// envelope, so starting and ending it makes no jump:
// amplitude × sin(π(i + ½)/count) × cos(2πft). Its first value is not 0.
std::vector<std::int16_t> envelopedTone(double frequencyHz, unsigned rateHz, double durationMs,
                                        double amplitude);
// A tone of constant amplitude starting at its peak: amplitude × cos(2πft).
std::vector<std::int16_t> steadyTone(double frequencyHz, unsigned rateHz, double durationMs,
                                     double amplitude);

Sound monoSound(const std::vector<std::int16_t>& values, unsigned rateHz);

// Indices n (in frames of `channels` values) where any channel jumps by more
// than `threshold` from frame n - 1.
std::vector<std::size_t> jumps(const std::vector<std::int16_t>& values, unsigned channels, int threshold);

// First frame at or after `from` whose values are not all zero; npos if none.
std::size_t firstSoundingFrame(const std::vector<std::int16_t>& values, unsigned channels,
                               std::size_t from = 0);

// Frequency of a roughly sinusoidal channel by zero crossings interpolated
// between samples, over frames [begin, end).
double zeroCrossingFrequency(const std::vector<std::int16_t>& values, unsigned channels, unsigned channel,
                             std::size_t begin, std::size_t end, double rateHz);

std::filesystem::path scratchDirectory(const std::string& name);

// A 16-bit mono stream record over `values`, which must outlive it.
inline SoundStreamDescription monoDescription(std::string name, const std::vector<std::int16_t>& values,
                                              std::uint32_t rateHz) {
    SoundStreamDescription description;
    description.name = std::move(name);
    description.format.wFormatTag = kWaveFormatPcm;
    description.format.nChannels = 1;
    description.format.nSamplesPerSec = rateHz;
    description.format.wBitsPerSample = 16;
    description.dataBytes = static_cast<std::uint32_t>(values.size() * 2);
    description.data = values.data();
    return description;
}

} // namespace pellamy::testing
