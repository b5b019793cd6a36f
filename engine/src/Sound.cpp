#include <pellamy/Sound.h>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace pellamy {

namespace {

// Truncates toward zero and keeps the low 16 bits, as a 16-bit store of an
// integer would; values beyond any integer range (or NaN) give 0 instead of
// undefined behaviour.
std::int16_t truncateToPcm16(double value) {
    const double truncated = std::trunc(value);
    if (!(std::fabs(truncated) < 9.2e18))
        return 0;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int64_t>(truncated)));
}

std::atomic<std::uint64_t> lastContentId{0};

} // namespace

Sound Sound::make(std::span<const std::int16_t> values, std::uint32_t sampleRate, std::uint8_t channels,
                  std::uint8_t bitsPerSample, float gain) {
    Sound sound;
    sound.samples_.assign(values.begin(), values.end());
    sound.gain_ = gain;
    sound.count_ = static_cast<std::uint32_t>(values.size());
    sound.sampleRate_ = sampleRate;
    sound.channels_ = channels;
    sound.bitsPerSample_ = bitsPerSample;
    sound.blockAlign_ = static_cast<std::uint16_t>((bitsPerSample / 8) * channels);
    sound.position_ = 0;
    sound.playing_ = false;
    sound.valid_ = true;
    sound.contentId_ = lastContentId.fetch_add(1, std::memory_order_relaxed) + 1;
    return sound;
}

std::uint32_t Sound::peek(std::int16_t* dst, std::uint32_t n, std::uint32_t index) const {
    if (!valid_ || index >= count_)
        return 0;
    n = std::min(n, count_ - index);
    for (std::uint32_t i = 0; i < n; ++i)
        dst[i] = truncateToPcm16(static_cast<double>(samples_[index + i]) * gain_);
    return n;
}

std::uint32_t Sound::readNext(std::int16_t* dst, std::uint32_t n) {
    if (!valid_ || position_ >= count_)
        return 0;
    n = peek(dst, n, position_);
    position_ += n;
    if (position_ >= count_)
        playing_ = false;
    return n;
}

std::uint32_t Sound::readMs(std::int16_t* dst, std::uint32_t ms) {
    if (!valid_)
        return 0;
    const double values = std::trunc(static_cast<double>(sampleRate_) * ms * 0.001);
    return readNext(dst, static_cast<std::uint32_t>(values));
}

WAVEFORMATEX Sound::waveFormat() const {
    WAVEFORMATEX format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = channels_;
    format.nSamplesPerSec = sampleRate_;
    format.nAvgBytesPerSec = static_cast<std::uint32_t>(sampleRate_) * channels_ * (bitsPerSample_ / 8);
    format.nBlockAlign = static_cast<std::uint16_t>(channels_ * (bitsPerSample_ / 8));
    format.wBitsPerSample = bitsPerSample_;
    format.cbSize = 0;
    return format;
}

} // namespace pellamy
