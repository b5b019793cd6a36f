// A MIDI song played through an instrument as a player of sampled
// instruments plays its SoundFont: a key without a sound of its own is played
// by the sound whose key range covers it (the ranges the export lays),
// resampled to the key's pitch; velocity sets the gain with the SoundFont's
// default curve; a note-off starts a linear release ramp.
//
// Threads: renderSong resamples on up to one thread per core and returns
// when all have ended; the result does not depend on the number of threads.
// The instrument must not change meanwhile.
#pragma once

#include <kivora/exchange/Export.h>
#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentModel.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivora::exchange {

// The release after a note-off, also written into exported banks so that
// their players and Kivora end notes alike.
inline constexpr double kDefaultReleaseMs = kExportReleaseMs;

class SongRenderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SongRenderOptions {
    int channel = -1; // 0..15 for that channel alone; -1 for all but percussion
    double releaseMs = kDefaultReleaseMs;
    // Scale the whole song down when its peak would clip; false: clip.
    bool normaliseWhenClipping = true;
    // Asked between blocks of the mix; true stops the rendering with SongRenderError.
    std::function<bool()> stopRequested;
};

struct SongRendering {
    std::vector<std::int16_t> values; // interleaved frames
    unsigned sampleRateHz = 44100;
    unsigned channels = 1;
    int notesPlayed = 0;
    int percussionNotesSkipped = 0;
    int notesOfOtherChannels = 0;     // with a channel chosen
    std::map<int, int> uncoveredKeys; // key → notes: no sound's range holds it
    double normalisingGain = 1.0;     // below 1 when the song was scaled down

    std::uint64_t frames() const { return channels == 0 ? 0 : values.size() / channels; }
};

// Index into roots of the sound that plays each key, -1 for none.
KIVORA_EXCHANGE_API std::array<int, 128> soundOfEachKey(const std::vector<RootKey>& roots);

// The amplitude factor of a velocity (1..127): the SoundFont 2.01 default
// modulator, velocity to initial attenuation, concave over 960 cB, which
// comes to (velocity / 127)².
KIVORA_EXCHANGE_API double velocityGain(int velocity);

// A sound's values (all its channels, gain applied) resampled so that it
// sounds at `key` and at outputRateHz; a pitched sound moves from its root
// (fine-tuned by its cents), an unpitched one only changes rate.
KIVORA_EXCHANGE_API std::vector<float> transposedValues(const pellamy::Sound& sound, const RootKey& root,
                                                        int key, unsigned outputRateHz);

// The song mixed in floating point, at the rate and channel count of the
// instrument's first sound. Throws SongRenderError when the instrument has
// no sound or stopRequested said so.
KIVORA_EXCHANGE_API SongRendering renderSong(const MidiSong& song, const pellamy::InstrumentModel& instrument,
                                             const std::vector<RootKey>& roots,
                                             const SongRenderOptions& options);

// Writes the rendering as a 16-bit WAV file under a temporary name renamed
// into place when complete; SongRenderError leaves the previous file.
KIVORA_EXCHANGE_API void writeSongWav(const SongRendering& rendering, const std::string& path);

// "3 notes on keys the instrument does not cover: 21 (2), 108 (1)", or "".
KIVORA_EXCHANGE_API std::string describeUncoveredKeys(const std::map<int, int>& uncoveredKeys);

// The instrument a melody script needs to play the song at the right
// pitches: one sound per (sound, key) the song uses, transposed to that key
// and named ALIAS_KEY (ALIAS when it plays unchanged), each on its own root
// key, so that convertMidi maps every note to it.
struct TransposedInstrument {
    pellamy::InstrumentModel instrument;
    std::vector<RootKey> roots;
    std::map<int, int> uncoveredKeys;
};
KIVORA_EXCHANGE_API TransposedInstrument transposeForSong(const MidiSong& song,
                                                          const pellamy::InstrumentModel& instrument,
                                                          const std::vector<RootKey>& roots, int channel);

} // namespace kivora::exchange
