// Parses fuzzed MIDI files and converts what parses into a melody script.
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiMelody.h>

#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const kivora::exchange::MidiSong song = kivora::exchange::parseMidi(std::span(data, size));
        std::vector<kivora::exchange::RootKey> roots(2);
        roots[0].alias = "low";
        roots[0].key = 48;
        roots[1].alias = "high";
        roots[1].key = 72;
        kivora::exchange::convertMidi(song, roots, 44100, size % 2 == 0 ? -1 : 0, "fuzz.mid");
    } catch (const kivora::exchange::MidiFileError&) {
    }
    return 0;
}
