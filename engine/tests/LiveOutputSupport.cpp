#include "LiveOutputSupport.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <thread>
#include <unistd.h>

namespace pellamy::testing {

namespace {

// Tests never reach a real sound card: SDL does not fall back to a silent
// driver by itself, so every test program starts on the dummy driver and
// single tests switch to the disk driver.
[[maybe_unused]] const bool dummyDriverSelected = [] {
    return ::setenv("SDL_AUDIODRIVER", "dummy", 1) == 0;
}();

} // namespace

std::filesystem::path scratchDirectory(const std::string& name) {
    const auto directory = std::filesystem::temp_directory_path() /
                           ("pellamy-" + name + "-" + std::to_string(static_cast<long>(::getpid())));
    std::filesystem::create_directories(directory);
    return directory;
}

DiskCapture::DiskCapture(const std::string& name, const std::string& delayMs)
    : path_(scratchDirectory(name) / "capture.raw") {
    std::filesystem::remove(path_);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", path_.c_str(), 1);
    if (delayMs.empty())
        ::unsetenv("SDL_DISKAUDIODELAY");
    else
        ::setenv("SDL_DISKAUDIODELAY", delayMs.c_str(), 1);
}

DiskCapture::~DiskCapture() {
    std::error_code ignored;
    std::filesystem::remove_all(path_.parent_path(), ignored);
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
}

std::vector<std::int16_t> DiskCapture::values() const {
    std::ifstream in(path_, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> values(bytes.size() / 2);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                              (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    return values;
}

DummyDriver::DummyDriver() {
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
}
DummyDriver::~DummyDriver() = default;

bool waitUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ADD_FAILURE() << "the audio device stalled";
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

std::vector<std::int16_t> envelopedTone(double frequencyHz, unsigned rateHz, double durationMs,
                                        double amplitude) {
    const auto count = static_cast<std::size_t>(rateHz * durationMs / 1000.0);
    std::vector<std::int16_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Half a sample into the envelope, so the first value is not 0 and
        // the tone's onset can be found in a capture.
        const double envelope =
            std::sin(std::numbers::pi * (static_cast<double>(i) + 0.5) / static_cast<double>(count));
        const double phase = 2.0 * std::numbers::pi * frequencyHz * static_cast<double>(i) / rateHz;
        values[i] = static_cast<std::int16_t>(std::lround(amplitude * envelope * std::cos(phase)));
    }
    return values;
}

std::vector<std::int16_t> steadyTone(double frequencyHz, unsigned rateHz, double durationMs,
                                     double amplitude) {
    const auto count = static_cast<std::size_t>(rateHz * durationMs / 1000.0);
    std::vector<std::int16_t> values(count);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = static_cast<std::int16_t>(std::lround(
            amplitude * std::cos(2.0 * std::numbers::pi * frequencyHz * static_cast<double>(i) / rateHz)));
    return values;
}

Sound monoSound(const std::vector<std::int16_t>& values, unsigned rateHz) {
    return Sound::make(values, static_cast<std::uint16_t>(rateHz), 1, 16, 1.0f);
}

std::vector<std::size_t> jumps(const std::vector<std::int16_t>& values, unsigned channels, int threshold) {
    std::vector<std::size_t> found;
    const std::size_t frames = values.size() / channels;
    for (std::size_t frame = 1; frame < frames; ++frame)
        for (unsigned c = 0; c < channels; ++c)
            if (std::abs(values[frame * channels + c] - values[(frame - 1) * channels + c]) > threshold) {
                found.push_back(frame);
                break;
            }
    return found;
}

std::size_t firstSoundingFrame(const std::vector<std::int16_t>& values, unsigned channels, std::size_t from) {
    const std::size_t frames = values.size() / channels;
    for (std::size_t frame = from; frame < frames; ++frame)
        for (unsigned c = 0; c < channels; ++c)
            if (values[frame * channels + c] != 0)
                return frame;
    return std::string::npos;
}

double zeroCrossingFrequency(const std::vector<std::int16_t>& values, unsigned channels, unsigned channel,
                             std::size_t begin, std::size_t end, double rateHz) {
    double first = -1.0;
    double last = -1.0;
    std::size_t crossings = 0;
    for (std::size_t frame = begin + 1; frame < end; ++frame) {
        const double a = values[(frame - 1) * channels + channel];
        const double b = values[frame * channels + channel];
        if (a < 0.0 && b >= 0.0) { // rising crossings only: one per period
            const double at = static_cast<double>(frame - 1) + (-a) / (b - a);
            if (first < 0.0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0.0;
    return static_cast<double>(crossings - 1) * rateHz / (last - first);
}

} // namespace pellamy::testing
