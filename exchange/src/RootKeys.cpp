#include <kivora/exchange/RootKeys.h>
#include <ostrel/FrequencyExtraction.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>

namespace kivora::exchange {

namespace {

// The generator's measurable range; a result on its edge means "outside".
constexpr double kLowestMeasurableHz = 40.0;
constexpr double kHighestMeasurableHz = 2000.0;
// A tone's resonator stands out of the bank's median many times over; white
// noise reaches about twice the median.
constexpr double kTonalProminence = 6.0;

std::optional<int> generatedKey(std::string_view alias) {
    static constexpr std::array<std::string_view, 12> names = {"C",  "C#", "D",  "D#", "E",  "F",
                                                               "F#", "G",  "G#", "A",  "A#", "B"};
    if (alias.size() < 2 || alias[0] < '1' || alias[0] > '3')
        return std::nullopt;
    for (int semitone = 0; semitone < 12; ++semitone)
        if (alias.substr(1) == names[static_cast<std::size_t>(semitone)])
            return kFirstGeneratedKey + 12 * (alias[0] - '1') + semitone;
    return std::nullopt;
}

bool measurable(double hz) {
    return hz > kLowestMeasurableHz + 0.5 && hz < kHighestMeasurableHz - 0.5;
}

double keyOf(double hz) {
    return 69.0 + 12.0 * std::log2(hz / 440.0);
}

} // namespace

PitchReading measurePitch(const std::int16_t* values, unsigned count, unsigned rate) {
    ostrel::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nChannels = 1;
    format.nSamplesPerSec = rate;
    format.nAvgBytesPerSec = 2 * rate;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    auto* buffer = const_cast<std::int16_t*>(values); // only read
    PitchReading reading;
    reading.hz = ostrel::extractFrequency(format, buffer, count);
    std::vector<ostrel::Oscill> bank = ostrel::extractFrequencySet(format, buffer, count);
    if (bank.empty())
        return reading;
    std::vector<double> sums(bank.size());
    for (std::size_t i = 0; i < bank.size(); ++i)
        sums[i] = bank[i].globAbs();
    const double strongest = *std::max_element(sums.begin(), sums.end());
    std::nth_element(sums.begin(), sums.begin() + static_cast<long>(sums.size() / 2), sums.end());
    const double median = sums[sums.size() / 2];
    reading.prominence = median > 0.0 ? strongest / median : 0.0;
    return reading;
}

std::vector<std::int16_t> channelValues(const pellamy::Sound& sound, int channel) {
    const unsigned channels = std::max<unsigned>(1, sound.channels());
    std::vector<std::int16_t> all(sound.count());
    const std::uint32_t delivered = sound.peek(all.data(), sound.count(), 0);
    std::vector<std::int16_t> values;
    values.reserve(delivered / channels);
    for (std::uint32_t i = static_cast<std::uint32_t>(channel); i < delivered; i += channels)
        values.push_back(all[i]);
    return values;
}

std::vector<RootKey> assignRootKeys(const pellamy::InstrumentModel& instrument) {
    std::vector<RootKey> roots;
    for (std::size_t i = 0; i < instrument.soundCount(); ++i) {
        RootKey root;
        root.alias = instrument.aliasAt(i);
        if (const auto key = generatedKey(root.alias)) {
            root.key = *key;
            root.pitched = true;
        } else if (const pellamy::Sound* sound = instrument.soundFor(root.alias)) {
            const std::vector<std::int16_t> values = channelValues(*sound, 0);
            const bool silent =
                std::all_of(values.begin(), values.end(), [](std::int16_t v) { return v == 0; });
            const unsigned count = static_cast<unsigned>(values.size());
            const PitchReading reading =
                silent ? PitchReading{} : measurePitch(values.data(), count, sound->sampleRate());
            if (measurable(reading.hz) && reading.prominence >= kTonalProminence) {
                const double exact = keyOf(reading.hz);
                root.key = static_cast<int>(std::lround(exact));
                root.centsSharp = (exact - root.key) * 100.0;
                root.pitched = root.key >= 0 && root.key <= 127;
            }
        }
        roots.push_back(root);
    }

    // One sound per key: of two pitched on one key the one nearer keeps it.
    std::vector<RootKey*> pitched;
    for (RootKey& root : roots) {
        if (!root.pitched)
            continue;
        auto same = std::find_if(pitched.begin(), pitched.end(),
                                 [&](RootKey* other) { return other->key == root.key; });
        if (same == pitched.end()) {
            pitched.push_back(&root);
        } else if (std::abs(root.centsSharp) < std::abs((*same)->centsSharp)) {
            (*same)->pitched = false;
            *same = &root;
        } else {
            root.pitched = false;
        }
    }
    std::sort(pitched.begin(), pitched.end(),
              [](const RootKey* a, const RootKey* b) { return a->key < b->key; });
    for (std::size_t i = 0; i < pitched.size(); ++i) {
        RootKey& root = *pitched[i];
        root.lowKey = i == 0 ? root.key : (pitched[i - 1]->key + root.key) / 2 + 1;
        root.highKey = i + 1 == pitched.size() ? root.key : (root.key + pitched[i + 1]->key) / 2;
    }

    auto taken = [&](int key) {
        return std::any_of(roots.begin(), roots.end(), [&](const RootKey& r) {
            return (r.pitched || r.lowKey != 0 || r.highKey != 0) && key >= r.lowKey && key <= r.highKey;
        });
    };
    int next = kFirstUnpitchedKey;
    for (RootKey& root : roots) {
        if (root.pitched)
            continue;
        while (next <= 127 && taken(next))
            ++next;
        root.key = root.lowKey = root.highKey = std::min(next, 127);
        root.centsSharp = 0.0;
        ++next;
    }
    return roots;
}

} // namespace kivora::exchange
