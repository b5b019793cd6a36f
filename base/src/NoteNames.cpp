#include <kivora/base/NoteNames.h>

#include <array>
#include <charconv>

namespace kivora::base {

namespace {

constexpr std::array<std::string_view, 12> kPitchNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                          "F#", "G",  "G#", "A",  "A#", "B"};

int floorDivide(int value, int divisor) {
    return value >= 0 ? value / divisor : -((-value + divisor - 1) / divisor);
}

} // namespace

std::string noteNameOfKey(int key) {
    const int note = key - kFirstNoteKey;
    const int octave = floorDivide(note, 12);
    return std::to_string(octave + 1) += kPitchNames[static_cast<std::size_t>(note - octave * 12)];
}

int keyOfNoteName(std::string_view name) {
    std::size_t digitsEnd = name.starts_with('-') ? 1 : 0;
    const std::size_t digitsBegin = digitsEnd;
    while (digitsEnd < name.size() && name[digitsEnd] >= '0' && name[digitsEnd] <= '9' &&
           digitsEnd - digitsBegin < 3)
        ++digitsEnd;
    if (digitsEnd == digitsBegin)
        return -1;
    int octave = 0;
    std::from_chars(name.data(), name.data() + digitsEnd, octave);
    const std::string_view pitch = name.substr(digitsEnd);
    for (std::size_t n = 0; n < kPitchNames.size(); ++n) {
        if (pitch == kPitchNames[n]) {
            const int key = kFirstNoteKey + (octave - 1) * 12 + static_cast<int>(n);
            return key >= 0 && key < kMidiKeyCount ? key : -1;
        }
    }
    return -1;
}

} // namespace kivora::base
