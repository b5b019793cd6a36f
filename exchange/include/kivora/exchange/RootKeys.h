// Where each sound of an instrument lies on a MIDI keyboard, for players of
// sampled instruments (SoundFont 2, SFZ) and for MIDI files played through
// the instrument.
//
// Threads: any thread, as long as the instrument is not changed meanwhile.
// assignRootKeys measures the sounds that need it on up to one thread per
// core (each with its own estimator and buffers) and returns only when all
// have ended; the result does not depend on the number of threads. Readings
// are kept per sound content, so measuring an unchanged sound again is a
// look-up.
#pragma once

#include <kivora/base/NoteNames.h>
#include <kivora/exchange/Export.h>
#include <pellamy/InstrumentModel.h>

#include <string>
#include <vector>

namespace kivora::exchange {

// MIDI key 48 is C3 = 130.81 Hz, the generator's first note "1C".
inline constexpr int kFirstGeneratedKey = base::kFirstNoteKey;
// Sounds without a usable pitch are laid on free keys counted up from here.
inline constexpr int kFirstUnpitchedKey = 36;

struct RootKey {
    std::string alias;
    int key = 0;             // the key at which the sound plays unchanged (its root)
    double centsSharp = 0.0; // how far the sound lies above that key's pitch
    bool pitched = false;    // false: silence, noise or outside the measurable range
    // The keys that play this sound (transposed when pitched). They hold the
    // root unless another sound holds it.
    int lowKey = 0;
    int highKey = 0;
    double fundamentalHz = 0.0; // the measured fundamental; 0 for generated notes and unpitched sounds
};

// One entry per sound, in definition order. A generated note's alias (a note
// name, kivora/base/NoteNames.h) gives its key (1C is 48) without measuring; any other sound is
// measured: its fundamental frequency (see Fundamental.h), not its strongest
// partial, gives the nearest key plus the remainder in cents. A sound is
// unpitched when it is silent or has no clear pitch (noise, drums). Of two
// sounds on one key the one nearer in cents keeps it; the other moves to
// the key on the other side of its pitch when that is free (less than a
// semitone away, corrected in cents), else it keeps its root and is laid on
// the free key nearest its pitch, where it plays transposed from that root
// (a second generated note of one name likewise). Pitched sounds reach
// halfway to their pitched neighbours' keys; unpitched ones (silence, noise)
// take one key each, the lowest free ones from 36.
KIVORA_EXCHANGE_API std::vector<RootKey> assignRootKeys(const pellamy::InstrumentModel& instrument);

// Values of channel `channel` of a sound as it plays (gain applied).
KIVORA_EXCHANGE_API std::vector<std::int16_t> channelValues(const pellamy::Sound& sound, int channel);

} // namespace kivora::exchange
