// Fuzzed bytes as a live MIDI keyboard's messages and as sequencer port
// names: decoded notes stay in range, and names only ever lose their end.
#include "midi/MidiInput.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivora::MidiEventQueue queue;
    for (std::size_t at = 0; at < size; ++at) {
        const std::optional<kivora::MidiNoteEvent> note = kivora::decodeNoteMessage(data + at, size - at);
        if (!note)
            continue;
        if (note->channel > 15 || note->key > 127 || note->velocity > 127 || (note->on && note->velocity == 0))
            std::abort();
        queue.push(*note);
    }
    while (queue.pop()) {
    }
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::string stripped = kivora::portNameWithoutAddress(name);
    if (name.compare(0, stripped.size(), stripped) != 0)
        std::abort();
    return 0;
}
