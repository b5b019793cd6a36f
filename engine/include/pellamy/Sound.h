// One sampled sound of an instrument.
#pragma once

#include <pellamy/Export.h>
#include <pellamy/WaveFormat.h>

#include <cstdint>
#include <span>
#include <vector>

namespace pellamy {

// Values are signed 16-bit PCM, held as they were made (two bytes each: a
// generated instrument's sounds cost what its notes do); several channels
// stay interleaved. Time spans convert to value counts with the sample rate
// alone (channels are not taken into account).
//
// Thread: interface thread only; not safe to share while playing.
class PELLAMY_API Sound {
public:
    // An invalid sound: every read delivers 0 values.
    Sound() = default;

    // Copies `values`; whoever makes a sound passes 16-bit values, whatever
    // bitsPerSample says.
    static Sound make(std::span<const std::int16_t> values, std::uint32_t sampleRate, std::uint8_t channels,
                      std::uint8_t bitsPerSample, float gain);

    // Delivers up to n values from the cursor (value × gain, truncated toward
    // zero, low 16 bits kept) and advances it; reaching the end clears playing.
    std::uint32_t readNext(std::int16_t* dst, std::uint32_t n);
    // readNext of trunc(sampleRate × ms × 0.001) values; 0 when not valid.
    std::uint32_t readMs(std::int16_t* dst, std::uint32_t ms);
    // Like readNext from `index`, leaving the cursor and the playing flag alone.
    std::uint32_t peek(std::int16_t* dst, std::uint32_t n, std::uint32_t index) const;

    // PCM format record: tag 1, this sound's rate, channels and bits.
    WAVEFORMATEX waveFormat() const;

    std::span<const std::int16_t> samples() const { return samples_; }
    double gain() const { return gain_; }
    // Equal for a sound and its copies, different for every sound made: its
    // values, gain and format are what make set, so equal ids mean equal
    // output. 0 for an invalid sound.
    std::uint64_t contentId() const { return contentId_; }
    std::uint32_t count() const { return count_; }
    std::uint32_t position() const { return position_; }
    void setPosition(std::uint32_t position) { position_ = position; }
    bool isValid() const { return valid_; }
    bool isPlaying() const { return playing_; }
    void setPlaying(bool playing) { playing_ = playing; }
    std::uint32_t sampleRate() const { return sampleRate_; }
    std::uint8_t channels() const { return channels_; }
    std::uint8_t bitsPerSample() const { return bitsPerSample_; }
    std::uint16_t blockAlign() const { return blockAlign_; }

private:
    std::vector<std::int16_t> samples_;
    double gain_ = 1.0;
    std::uint64_t contentId_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t position_ = 0;
    bool valid_ = false;
    bool playing_ = false;
    std::uint32_t sampleRate_ = 0;
    std::uint8_t channels_ = 0;
    std::uint8_t bitsPerSample_ = 0;
    std::uint16_t blockAlign_ = 0;
};

} // namespace pellamy
