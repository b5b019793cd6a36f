#include <kivora/exchange/MidiMelody.h>
#include <pellamy/Sound.h>

#include <charconv>
#include <cmath>

namespace kivora::exchange {

namespace {

std::string shortest(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string fixed(double value, int digits) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
    return std::string(buffer, result.ptr);
}

// 375 as "0.375", 1000 as "1".
std::string millisecondsAsSeconds(long long ms) {
    std::string text = fixed(static_cast<double>(ms) * 0.001, 3);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace

std::string secondsForFrames(std::uint64_t frames, unsigned sampleRate) {
    auto exact = [&](const std::string& text) {
        double parsed = 0.0;
        std::from_chars(text.data(), text.data() + text.size(), parsed);
        return static_cast<std::uint64_t>(std::trunc(sampleRate * parsed)) == frames;
    };
    // Prefer a short decimal (0.25 rather than 0.25000000000000001).
    for (int digits = 1; digits <= 9; ++digits) {
        const std::string text = fixed(static_cast<double>(frames) / sampleRate, digits);
        if (exact(text))
            return text;
    }
    // Half a frame in keeps trunc() on the right frame whatever the rounding.
    return shortest((static_cast<double>(frames) + 0.5) / sampleRate);
}

MidiConversion convertMidi(const MidiSong& song, const std::vector<RootKey>& roots, unsigned sampleRate,
                           int channel, const std::string& sourceName) {
    MidiConversion conversion;
    std::string* aliasOfKey[128] = {};
    std::vector<std::string> aliases(roots.size());
    for (std::size_t i = 0; i < roots.size(); ++i) {
        aliases[i] = roots[i].alias;
        // A sound laid beside its own key (another sound holds it) does not play there.
        if (roots[i].key >= 0 && roots[i].key < 128 && aliasOfKey[roots[i].key] == nullptr &&
            roots[i].key >= roots[i].lowKey && roots[i].key <= roots[i].highKey)
            aliasOfKey[roots[i].key] = &aliases[i];
    }

    std::string& script = conversion.script;
    script = "-- converted from " + sourceName + " by Kivora\n";
    std::uint64_t writtenFrames = 0;
    std::uint64_t endFrame = 0;
    for (const MidiNote& note : song.notes) {
        const bool wanted = channel < 0 ? note.channel != kPercussionChannel : note.channel == channel;
        if (!wanted) {
            ++conversion.notesOfOtherChannels;
            continue;
        }
        if (aliasOfKey[note.key] == nullptr) {
            ++conversion.uncoveredKeys[note.key];
            continue;
        }
        const auto startFrame = static_cast<std::uint64_t>(std::llround(note.startSeconds * sampleRate));
        // A play line sounds whole milliseconds: the note's length rounded to one.
        const long long lengthMs = std::max<long long>(1, std::llround(note.durationSeconds * 1000.0));
        const auto lengthFrames = static_cast<std::uint64_t>(std::trunc(sampleRate * (lengthMs * 0.001)));
        if (startFrame > writtenFrames) {
            script += "!wait " + secondsForFrames(startFrame - writtenFrames, sampleRate) + "\n";
            writtenFrames = startFrame;
        }
        script += *aliasOfKey[note.key] + " a " + millisecondsAsSeconds(lengthMs) + "\n";
        endFrame = std::max(endFrame, startFrame + lengthFrames);
        ++conversion.notesPlayed;
    }
    // Sound still pending after the last wait is not written: let the last
    // notes end.
    if (endFrame > writtenFrames)
        script += "!wait " + secondsForFrames(endFrame - writtenFrames, sampleRate) + "\n";
    return conversion;
}

unsigned renderingSampleRate(const pellamy::InstrumentModel& instrument) {
    const pellamy::Sound* first =
        instrument.soundCount() == 0 ? nullptr : instrument.soundFor(instrument.aliasAt(0));
    return first != nullptr && first->sampleRate() > 0 ? first->sampleRate() : 44100u;
}

std::string describeUncovered(const MidiConversion& conversion) {
    if (conversion.uncoveredKeys.empty())
        return {};
    int count = 0;
    std::string keys;
    for (const auto& [key, notes] : conversion.uncoveredKeys) {
        count += notes;
        keys += (keys.empty() ? "" : ", ") + std::to_string(key) + " (" + std::to_string(notes) + ")";
    }
    return std::to_string(count) + (count == 1 ? " note" : " notes") +
           " on keys the instrument does not cover: " + keys;
}

} // namespace kivora::exchange
