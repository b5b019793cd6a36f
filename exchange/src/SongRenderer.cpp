#include <kivora/exchange/SongRenderer.h>
#include <pellamy/ErrorText.h>
#include <pellamy/Sound.h>
#include <pellamy/WavFile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <samplerate.h>
#include <span>
#include <thread>

namespace kivora::exchange {

namespace {

bool wanted(const MidiNote& note, int channel) {
    return channel < 0 ? note.channel != kPercussionChannel : note.channel == channel;
}

// Semitones the sound moves to sound at key, at its own rate.
double semitonesTo(const RootKey& root, int key) {
    return root.pitched ? (key - root.key) - root.centsSharp / 100.0 : 0.0;
}

// One resampled sound per (root, key) the song plays, made on all cores.
class TranspositionCache {
public:
    TranspositionCache(const pellamy::InstrumentModel& instrument, const std::vector<RootKey>& roots,
                       unsigned outputRateHz)
        : instrument_(instrument), roots_(roots), outputRateHz_(outputRateHz), entries_(roots.size() * 128) {}

    void request(int rootIndex, int key) { wanted_[static_cast<std::size_t>(rootIndex) * 128 + key] = 1; }

    void makeAll() {
        std::vector<std::size_t> jobs;
        for (const auto& [index, flag] : wanted_)
            jobs.push_back(index);
        std::atomic<std::size_t> next{0};
        auto work = [&] {
            for (std::size_t j = next++; j < jobs.size(); j = next++) {
                const std::size_t index = jobs[j];
                const RootKey& root = roots_[index / 128];
                entries_[index] = transposedValues(*instrument_.soundFor(root.alias), root,
                                                   static_cast<int>(index % 128), outputRateHz_);
            }
        };
        const std::size_t threadCount =
            std::min<std::size_t>(jobs.size(), std::max(1u, std::thread::hardware_concurrency()));
        std::vector<std::thread> threads;
        for (std::size_t t = 1; t < threadCount; ++t)
            threads.emplace_back(work);
        work();
        for (std::thread& thread : threads)
            thread.join();
    }

    const std::vector<float>& values(int rootIndex, int key) const {
        return entries_[static_cast<std::size_t>(rootIndex) * 128 + key];
    }

private:
    const pellamy::InstrumentModel& instrument_;
    const std::vector<RootKey>& roots_;
    unsigned outputRateHz_;
    std::map<std::size_t, char> wanted_; // ordered: deterministic job order
    std::vector<std::vector<float>> entries_;
};

const pellamy::Sound* firstSound(const pellamy::InstrumentModel& instrument) {
    return instrument.soundCount() == 0 ? nullptr : instrument.soundFor(instrument.aliasAt(0));
}

// std::lround clamped to 16 bits, in float and int arithmetic the compiler
// can vectorise: the same value for every float (checked over all of
// them), NaN, infinities and values past the range of long giving -32768
// as lround's error value does.
std::int16_t toSample(float value) {
    const float clamped = std::clamp(std::abs(value) < 0x1p63f ? value : -32768.0f, -32768.0f, 32767.0f);
    int rounded = static_cast<int>(clamped);
    const float fraction = clamped - static_cast<float>(rounded); // exact
    rounded += (fraction >= 0.5f) - (fraction <= -0.5f);
    return static_cast<std::int16_t>(rounded);
}

void toSamples(std::span<const float> values, float scale, std::int16_t* samples) {
    for (std::size_t i = 0; i < values.size(); ++i)
        samples[i] = toSample(values[i] * scale);
}

// The largest magnitude, NaNs left out. In lanes, which the compiler can
// vectorise; the maximum is the same in any order.
float peakOf(std::span<const float> values) {
    constexpr std::size_t kLanes = 8;
    std::array<float, kLanes> peaks{};
    std::size_t i = 0;
    for (; i + kLanes <= values.size(); i += kLanes)
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            peaks[lane] = std::max(peaks[lane], std::abs(values[i + lane]));
    for (; i < values.size(); ++i)
        peaks[0] = std::max(peaks[0], std::abs(values[i]));
    return *std::max_element(peaks.begin(), peaks.end());
}

struct PlacedNote {
    const float* values; // the transposed sound, interleaved
    unsigned channels;
    std::uint64_t startFrame, holdFrames, playFrames; // holdFrames <= playFrames
    float gain;
};

constexpr std::uint64_t kBlockFrames = 16384; // 128 KiB of stereo floats: stays in cache

// The song's mix one block of frames at a time. Each block adds its notes in
// the song's order, so every value is the same sum, in the same order, as
// in a mix of the whole song at once.
class BlockMixer {
public:
    BlockMixer(const std::vector<PlacedNote>& notes, std::uint64_t endFrame, unsigned outChannels,
               std::uint64_t releaseFrames)
        : notes_(notes), endFrame_(endFrame), outChannels_(outChannels),
          releaseStep_(releaseFrames == 0 ? 1.0f : 1.0f / static_cast<float>(releaseFrames)),
          notesOfBlock_((endFrame + kBlockFrames - 1) / kBlockFrames) {
        for (std::size_t n = 0; n < notes.size(); ++n) {
            if (notes[n].playFrames == 0)
                continue;
            const std::uint64_t last = (notes[n].startFrame + notes[n].playFrames - 1) / kBlockFrames;
            for (std::uint64_t b = notes[n].startFrame / kBlockFrames; b <= last; ++b)
                notesOfBlock_[b].push_back(static_cast<std::uint32_t>(n));
        }
    }

    std::size_t blockCount() const { return notesOfBlock_.size(); }

    // Block b of the mix, in the first values of buffer (kBlockFrames frames).
    std::span<const float> mix(std::size_t b, std::vector<float>& buffer) const {
        const std::uint64_t first = b * kBlockFrames;
        const std::uint64_t frames = std::min(kBlockFrames, endFrame_ - first);
        std::fill_n(buffer.begin(), frames * outChannels_, 0.0f);
        for (const std::uint32_t n : notesOfBlock_[b]) {
            const PlacedNote& note = notes_[n];
            // The note's frames that fall in this block, counted from its start.
            const std::uint64_t from = std::max(first, note.startFrame) - note.startFrame;
            const std::uint64_t to =
                std::min(first + frames, note.startFrame + note.playFrames) - note.startFrame;
            const std::uint64_t holdEnd = std::clamp(note.holdFrames, from, to);
            const float* in = note.values + from * note.channels;
            float* out = buffer.data() + (note.startFrame + from - first) * outChannels_;
            if (note.channels == outChannels_) { // most notes: one loop the compiler vectorises
                const std::uint64_t count = (holdEnd - from) * outChannels_;
                for (std::uint64_t i = 0; i < count; ++i)
                    out[i] += note.gain * in[i];
            } else {
                for (std::uint64_t frame = from; frame < holdEnd; ++frame)
                    add(note, note.gain, in + (frame - from) * note.channels,
                        out + (frame - from) * outChannels_);
            }
            for (std::uint64_t frame = holdEnd; frame < to; ++frame)
                add(note,
                    note.gain *
                        std::max(0.0f, 1.0f - static_cast<float>(frame - note.holdFrames) * releaseStep_),
                    in + (frame - from) * note.channels, out + (frame - from) * outChannels_);
        }
        return {buffer.data(), frames * outChannels_};
    }

private:
    // One frame f of the note added into o.
    void add(const PlacedNote& note, float gain, const float* f, float* o) const {
        if (note.channels == outChannels_) {
            for (unsigned c = 0; c < outChannels_; ++c)
                o[c] += gain * f[c];
        } else if (outChannels_ == 2) { // a mono sound into stereo
            o[0] += gain * f[0];
            o[1] += gain * f[0];
        } else { // a stereo sound into mono
            o[0] += gain * 0.5f * (f[0] + f[1]);
        }
    }

    const std::vector<PlacedNote>& notes_;
    std::uint64_t endFrame_;
    unsigned outChannels_;
    float releaseStep_;
    std::vector<std::vector<std::uint32_t>> notesOfBlock_; // in the song's order
};

} // namespace

std::array<int, 128> soundOfEachKey(const std::vector<RootKey>& roots) {
    std::array<int, 128> sounds;
    sounds.fill(-1);
    // A sound's own key first, then the ranges, so overlapping ranges never
    // take a key from the sound sampled on it. A sound laid beside its own
    // key (another sound holds it) plays only its range.
    for (std::size_t i = 0; i < roots.size(); ++i)
        if (roots[i].key >= 0 && roots[i].key < 128 && sounds[roots[i].key] < 0 &&
            roots[i].key >= roots[i].lowKey && roots[i].key <= roots[i].highKey)
            sounds[roots[i].key] = static_cast<int>(i);
    for (std::size_t i = 0; i < roots.size(); ++i)
        for (int key = std::max(0, roots[i].lowKey); key <= std::min(127, roots[i].highKey); ++key)
            if (sounds[key] < 0)
                sounds[key] = static_cast<int>(i);
    return sounds;
}

double velocityGain(int velocity) {
    const double v = std::clamp(velocity, 0, 127) / 127.0;
    return v * v;
}

std::vector<float> transposedValues(const pellamy::Sound& sound, const RootKey& root, int key,
                                    unsigned outputRateHz) {
    const int channels = std::max<int>(1, sound.channels());
    const std::span<const std::int16_t> samples = sound.samples();
    const auto frames = static_cast<long>(std::min<std::size_t>(sound.count(), samples.size()) / channels);
    std::vector<float> input(static_cast<std::size_t>(frames) * channels);
    const double scale = sound.gain() / 32768.0;
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<float>(static_cast<double>(samples[i]) * scale);

    const double ratio = static_cast<double>(outputRateHz) / std::max(1u, sound.sampleRate()) /
                         std::exp2(semitonesTo(root, key) / 12.0);
    if (std::abs(ratio - 1.0) < 1e-9 || frames == 0)
        return input;
    std::vector<float> output((static_cast<std::size_t>(std::ceil(frames * ratio)) + 16) * channels);
    SRC_DATA data{};
    data.data_in = input.data();
    data.input_frames = frames;
    data.data_out = output.data();
    data.output_frames = static_cast<long>(output.size() / channels);
    data.src_ratio = ratio;
    if (const int error = src_simple(&data, SRC_SINC_FASTEST, channels); error != 0)
        throw SongRenderError(std::string("Can't transpose ") + root.alias + ": " + src_strerror(error));
    output.resize(static_cast<std::size_t>(data.output_frames_gen) * channels);
    return output;
}

SongRendering renderSong(const MidiSong& song, const pellamy::InstrumentModel& instrument,
                         const std::vector<RootKey>& roots, const SongRenderOptions& options) {
    const pellamy::Sound* first = firstSound(instrument);
    if (first == nullptr || !first->isValid())
        throw SongRenderError("No instrument to render with");
    SongRendering rendering;
    rendering.sampleRateHz = first->sampleRate() > 0 ? first->sampleRate() : 44100u;
    rendering.channels = std::clamp<unsigned>(first->channels(), 1, 2);
    const double rate = rendering.sampleRateHz;
    const unsigned outChannels = rendering.channels;

    const std::array<int, 128> soundOfKey = soundOfEachKey(roots);
    TranspositionCache cache(instrument, roots, rendering.sampleRateHz);
    std::vector<const MidiNote*> notes;
    notes.reserve(song.notes.size());
    for (const MidiNote& note : song.notes) {
        if (!wanted(note, options.channel)) {
            ++(note.channel == kPercussionChannel && options.channel < 0 ? rendering.percussionNotesSkipped
                                                                         : rendering.notesOfOtherChannels);
            continue;
        }
        const int rootIndex = note.key >= 0 && note.key < 128 ? soundOfKey[note.key] : -1;
        if (rootIndex < 0 || instrument.soundFor(roots[rootIndex].alias) == nullptr) {
            ++rendering.uncoveredKeys[note.key];
            continue;
        }
        cache.request(rootIndex, note.key);
        notes.push_back(&note);
    }
    cache.makeAll();

    const auto releaseFrames =
        static_cast<std::uint64_t>(std::llround(std::max(0.0, options.releaseMs) * rate / 1000.0));
    std::vector<PlacedNote> placed;
    placed.reserve(notes.size());
    std::uint64_t endFrame = 0;
    for (const MidiNote* note : notes) {
        const int rootIndex = soundOfKey[note->key];
        const pellamy::Sound& sound = *instrument.soundFor(roots[rootIndex].alias);
        const std::vector<float>& values = cache.values(rootIndex, note->key);
        const unsigned channels = std::max<unsigned>(1, sound.channels());
        const auto startFrame = static_cast<std::uint64_t>(std::llround(note->startSeconds * rate));
        const auto holdFrames = static_cast<std::uint64_t>(std::llround(note->durationSeconds * rate));
        const std::uint64_t playFrames =
            std::min<std::uint64_t>(values.size() / channels, holdFrames + releaseFrames);
        placed.push_back({values.data(), channels, startFrame, std::min(holdFrames, playFrames), playFrames,
                          static_cast<float>(velocityGain(note->velocity))});
        endFrame = std::max(endFrame, startFrame + playFrames);
    }
    rendering.notesPlayed = static_cast<int>(placed.size());

    // Mixed block by block, twice when normalising (once for the peak, once
    // for the values), rather than into a float copy of the whole song: its
    // pages cost more to map than the second mix costs to compute.
    const BlockMixer mixer(placed, endFrame, outChannels, releaseFrames);
    auto checkStop = [&] {
        if (options.stopRequested && options.stopRequested())
            throw SongRenderError("Rendering stopped: nothing written");
    };
    std::vector<float> block(kBlockFrames * outChannels);
    const float fullScale = 32767.0f / 32768.0f;
    float scale = 32768.0f;
    if (options.normaliseWhenClipping) {
        float peak = 0.0f;
        for (std::size_t b = 0; b < mixer.blockCount(); ++b) {
            checkStop();
            peak = std::max(peak, peakOf(mixer.mix(b, block)));
        }
        if (peak > fullScale) {
            rendering.normalisingGain = fullScale / peak;
            scale *= static_cast<float>(rendering.normalisingGain);
        }
    }
    rendering.values.reserve(endFrame * outChannels);
    std::vector<std::int16_t> pcm(block.size());
    for (std::size_t b = 0; b < mixer.blockCount(); ++b) {
        checkStop();
        const std::span<const float> mixed = mixer.mix(b, block);
        toSamples(mixed, scale, pcm.data());
        rendering.values.insert(rendering.values.end(), pcm.begin(), pcm.begin() + mixed.size());
    }
    return rendering;
}

void writeSongWav(const SongRendering& rendering, const std::string& path) {
    pellamy::WAVEFORMATEX format{};
    format.wFormatTag = pellamy::kWaveFormatPcm;
    format.nChannels = static_cast<std::uint16_t>(rendering.channels);
    format.nSamplesPerSec = rendering.sampleRateHz;
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<std::uint16_t>(2 * rendering.channels);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    const std::size_t size = rendering.values.size() * 2;
    if (size > 0xFFFFFF00u)
        throw SongRenderError("Can't write " + path + ": the song is too long for a WAV file");
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(rendering.values.data()), size);
    if (const int error = pellamy::writeWavFile(path, format, bytes); error != 0)
        throw SongRenderError(
            pellamy::fileFailureText("Can't write wav file", path, pellamy::systemReason(error)));
}

std::string describeUncoveredKeys(const std::map<int, int>& uncoveredKeys) {
    if (uncoveredKeys.empty())
        return {};
    int count = 0;
    std::string keys;
    for (const auto& [key, notes] : uncoveredKeys) {
        count += notes;
        keys += (keys.empty() ? "" : ", ") + std::to_string(key) + " (" + std::to_string(notes) + ")";
    }
    return std::to_string(count) + (count == 1 ? " note" : " notes") +
           " on keys the instrument does not cover: " + keys;
}

TransposedInstrument transposeForSong(const MidiSong& song, const pellamy::InstrumentModel& instrument,
                                      const std::vector<RootKey>& roots, int channel) {
    TransposedInstrument result;
    const std::array<int, 128> soundOfKey = soundOfEachKey(roots);
    std::map<int, char> keys; // by key: the script's instrument plays each key once
    for (const MidiNote& note : song.notes) {
        if (!wanted(note, channel))
            continue;
        if (note.key < 0 || note.key > 127 || soundOfKey[note.key] < 0)
            ++result.uncoveredKeys[note.key];
        else
            keys[note.key] = 1;
    }
    for (const auto& [key, flag] : keys) {
        const RootKey& root = roots[soundOfKey[key]];
        const pellamy::Sound* sound = instrument.soundFor(root.alias);
        if (sound == nullptr)
            continue;
        const unsigned channels = std::max<unsigned>(1, sound->channels());
        const std::vector<float> values = transposedValues(*sound, root, key, sound->sampleRate());
        std::vector<std::int16_t> pcm(values.size());
        for (std::size_t i = 0; i < values.size(); ++i)
            pcm[i] =
                static_cast<std::int16_t>(std::clamp(std::lround(values[i] * 32768.0f), -32768L, 32767L));
        const bool unchanged = root.key == key && std::abs(semitonesTo(root, key)) < 1e-9;
        const std::string alias = unchanged ? root.alias : root.alias + "_" + std::to_string(key);
        result.instrument.addSound(
            alias,
            pellamy::Sound::make(pcm, sound->sampleRate(), static_cast<std::uint8_t>(channels), 16, 1.0f));
        RootKey placed;
        placed.alias = alias;
        placed.key = placed.lowKey = placed.highKey = key;
        placed.pitched = root.pitched;
        result.roots.push_back(placed);
    }
    return result;
}

} // namespace kivora::exchange
