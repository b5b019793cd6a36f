// Where each sound of an instrument lies on a MIDI keyboard, for players of
// sampled instruments (SoundFont 2, SFZ) and for MIDI files played through
// the instrument.
//
// Threads: pure functions; any thread, as long as the instrument is not
// changed meanwhile. assignRootKeys measures every sound that needs it
// (allocating one buffer per sound while it does).
#pragma once

#include <kivora/exchange/Export.h>
#include <pellamy/InstrumentModel.h>

#include <string>
#include <vector>

namespace kivora::exchange {

// MIDI key 48 is C3 = 130.81 Hz, the generator's first note "1C".
inline constexpr int kFirstGeneratedKey = 48;
// Sounds without a usable pitch are laid on free keys counted up from here.
inline constexpr int kFirstUnpitchedKey = 36;

struct RootKey {
    std::string alias;
    int key = 0;             // the key at which the sound plays unchanged
    double centsSharp = 0.0; // how far the sound lies above that key's pitch
    bool pitched = false;    // false: silence, noise or outside the measurable range
    int lowKey = 0;          // the keys that play this sound (transposed when pitched)
    int highKey = 0;
};

// The spectral library's resonator-bank measurement of count values of one
// channel: the dominant frequency in Hz, and how far its resonator stands out
// from the median of the bank (a tone stands far out, noise hardly).
struct PitchReading {
    double hz = 0.0;
    double prominence = 0.0;
};
KIVORA_EXCHANGE_API PitchReading measurePitch(const std::int16_t* values, unsigned count, unsigned rate);

// One entry per sound, in definition order. A generated note's alias ("1C" …
// "3B") gives its key (1C is 48) without measuring; any other sound is
// measured: the nearest key, plus the remainder in cents. A sound is
// unpitched when it is silent, when its pitch lies on the edge of the
// measurable range (40-2000 Hz) or does not stand out of the spectrum
// (noise), and when a sound nearer to its key already took it. Pitched sounds reach halfway to their pitched
// neighbours; unpitched ones take one key each, the lowest free ones from 36.
KIVORA_EXCHANGE_API std::vector<RootKey> assignRootKeys(const pellamy::InstrumentModel& instrument);

// Values of channel `channel` of a sound as it plays (gain applied).
KIVORA_EXCHANGE_API std::vector<std::int16_t> channelValues(const pellamy::Sound& sound, int channel);

} // namespace kivora::exchange
