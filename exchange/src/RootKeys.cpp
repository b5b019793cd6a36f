#include <kivora/base/NoteNames.h>
#include <kivora/exchange/Fundamental.h>
#include <kivora/exchange/RootKeys.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string_view>
#include <thread>
#include <tuple>

namespace kivora::exchange {

namespace {

std::optional<int> generatedKey(std::string_view alias) {
    const int key = base::keyOfNoteName(alias);
    return key >= 0 ? std::optional(key) : std::nullopt;
}

double keyOf(double hz) {
    return 69.0 + 12.0 * std::log2(hz / 440.0);
}

// Readings by what was measured: the analysed values' FNV-1a hash, their
// count and rate. The window asks for root keys on every export, MIDI file
// and keyboard connection; an unchanged sound is measured once.
class ReadingCache {
public:
    using Key = std::tuple<std::uint64_t, std::size_t, unsigned>;

    static ReadingCache& shared() {
        static ReadingCache cache;
        return cache;
    }
    static Key keyOf(const std::vector<std::int16_t>& values, unsigned rateHz) {
        std::uint64_t hash = 14695981039346656037ull;
        for (const std::int16_t v : values) {
            hash = (hash ^ static_cast<std::uint16_t>(v)) * 1099511628211ull;
        }
        return {hash, values.size(), rateHz};
    }
    std::optional<FundamentalReading> find(const Key& key) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = readings_.find(key);
        return found == readings_.end() ? std::nullopt : std::optional(found->second);
    }
    void keep(const Key& key, const FundamentalReading& reading) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (readings_.size() >= kMostReadings)
            readings_.clear();
        readings_.emplace(key, reading);
    }

private:
    static constexpr std::size_t kMostReadings = 4096;
    std::mutex mutex_;
    std::map<Key, FundamentalReading> readings_;
};

// One measuring thread's buffers and estimators (one per sample rate met).
class SoundMeasurer {
public:
    FundamentalReading measure(const pellamy::Sound& sound) {
        const unsigned channels = std::max<unsigned>(1, sound.channels());
        const auto analysedFrames =
            static_cast<std::uint32_t>(kFundamentalAnalysisSeconds * sound.sampleRate()) + 1;
        const std::uint32_t wanted =
            std::min<std::uint64_t>(sound.count(), std::uint64_t{analysedFrames} * channels);
        interleaved_.resize(wanted);
        const std::uint32_t delivered = sound.peek(interleaved_.data(), wanted, 0);
        firstChannel_.clear();
        for (std::uint32_t i = 0; i < delivered; i += channels)
            firstChannel_.push_back(interleaved_[i]);
        if (std::all_of(firstChannel_.begin(), firstChannel_.end(), [](std::int16_t v) { return v == 0; }))
            return {};

        const ReadingCache::Key key = ReadingCache::keyOf(firstChannel_, sound.sampleRate());
        if (const std::optional<FundamentalReading> known = ReadingCache::shared().find(key))
            return *known;
        const FundamentalReading reading =
            estimatorFor(sound.sampleRate()).measure(firstChannel_.data(), firstChannel_.size());
        ReadingCache::shared().keep(key, reading);
        return reading;
    }

private:
    FundamentalEstimator& estimatorFor(unsigned rateHz) {
        for (const auto& estimator : estimators_)
            if (estimator->sampleRateHz() == rateHz)
                return *estimator;
        return *estimators_.emplace_back(std::make_unique<FundamentalEstimator>(rateHz));
    }

    std::vector<std::int16_t> interleaved_;
    std::vector<std::int16_t> firstChannel_;
    std::vector<std::unique_ptr<FundamentalEstimator>> estimators_;
};

// The readings of `sounds` (null: nothing to measure), on up to one thread
// per core; each result lands in its own slot, so threads change nothing.
std::vector<FundamentalReading> measureAll(const std::vector<const pellamy::Sound*>& sounds) {
    std::vector<FundamentalReading> readings(sounds.size());
    const auto toMeasure = static_cast<std::size_t>(
        std::count_if(sounds.begin(), sounds.end(), [](const pellamy::Sound* s) { return s != nullptr; }));
    const std::size_t threadCount =
        std::min<std::size_t>(toMeasure, std::max(1u, std::thread::hardware_concurrency()));
    if (threadCount == 0)
        return readings;
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> failures(threadCount);
    auto work = [&](std::size_t worker) {
        try {
            SoundMeasurer measurer;
            for (std::size_t i = next++; i < sounds.size(); i = next++)
                if (sounds[i] != nullptr)
                    readings[i] = measurer.measure(*sounds[i]);
        } catch (...) {
            failures[worker] = std::current_exception();
            next = sounds.size();
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t worker = 1; worker < threadCount; ++worker)
            helpers.emplace_back(work, worker);
        work(0);
    }
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    return readings;
}

} // namespace

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
    std::vector<RootKey> roots(instrument.soundCount());
    std::vector<const pellamy::Sound*> toMeasure(roots.size(), nullptr);
    for (std::size_t i = 0; i < roots.size(); ++i) {
        roots[i].alias = instrument.aliasAt(i);
        if (const auto key = generatedKey(roots[i].alias)) {
            roots[i].key = *key;
            roots[i].pitched = true;
        } else {
            toMeasure[i] = instrument.soundFor(roots[i].alias);
        }
    }
    const std::vector<FundamentalReading> readings = measureAll(toMeasure);

    // Keys are handed out nearest first (definition order among equals), so
    // of two sounds on one key the one nearer in cents keeps it. Generated
    // notes hold their keys exactly.
    std::vector<double> exactKeys(roots.size(), 0.0);
    std::vector<std::size_t> order;
    std::vector<std::size_t> displaced; // pitched, but their own keys are taken
    std::array<bool, 128> taken{};
    for (std::size_t i = 0; i < roots.size(); ++i) {
        if (roots[i].pitched) {
            if (roots[i].key >= 0 && roots[i].key <= 127) {
                if (taken[static_cast<std::size_t>(roots[i].key)]) {
                    exactKeys[i] = roots[i].key;
                    displaced.push_back(i);
                    roots[i].pitched = false;
                }
                taken[static_cast<std::size_t>(roots[i].key)] = true;
            }
        } else if (readings[i].pitched()) {
            exactKeys[i] = keyOf(readings[i].frequencyHz);
            order.push_back(i);
        }
    }
    auto distance = [&](std::size_t i) { return std::abs(exactKeys[i] - std::round(exactKeys[i])); };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return distance(a) < distance(b); });
    // The key each pitched sound is laid on: its root, or for a displaced
    // sound the free key nearest its pitch.
    std::vector<int> placedKey(roots.size(), -1);
    for (const std::size_t i : order) {
        const double exact = exactKeys[i];
        const auto nearest = static_cast<int>(std::lround(exact));
        const int other = exact >= nearest ? nearest + 1 : nearest - 1;
        bool placed = false;
        for (const int key : {nearest, other}) {
            if (key < 0 || key > 127 || taken[static_cast<std::size_t>(key)])
                continue;
            taken[static_cast<std::size_t>(key)] = true;
            roots[i].key = key;
            roots[i].centsSharp = (exact - key) * 100.0;
            roots[i].fundamentalHz = readings[i].frequencyHz;
            roots[i].pitched = true;
            placedKey[i] = key;
            placed = true;
            break;
        }
        if (!placed)
            displaced.push_back(i);
    }
    for (std::size_t i = 0; i < roots.size(); ++i)
        if (roots[i].pitched && placedKey[i] < 0)
            placedKey[i] = roots[i].key;
    // A sound whose pitch others share still sounds at its own pitch: it is
    // laid on the free key nearest that pitch and transposed from its true
    // root there, as a player transposes any key of a sound's range.
    for (const std::size_t i : displaced) {
        const double exact = exactKeys[i];
        const auto nearest = static_cast<int>(std::lround(exact));
        if (nearest < 0 || nearest > 127)
            continue;
        int best = -1;
        for (int key = 0; key <= 127; ++key)
            if (!taken[static_cast<std::size_t>(key)] &&
                (best < 0 || std::abs(key - exact) < std::abs(best - exact)))
                best = key;
        if (best < 0)
            continue;
        taken[static_cast<std::size_t>(best)] = true;
        placedKey[i] = best;
        roots[i].key = nearest;
        roots[i].centsSharp = (exact - nearest) * 100.0;
        roots[i].fundamentalHz = readings[i].pitched() ? readings[i].frequencyHz : 0.0;
        roots[i].pitched = true;
    }

    std::vector<std::size_t> pitched;
    for (std::size_t i = 0; i < roots.size(); ++i)
        if (roots[i].pitched)
            pitched.push_back(i);
    std::sort(pitched.begin(), pitched.end(),
              [&](std::size_t a, std::size_t b) { return placedKey[a] < placedKey[b]; });
    for (std::size_t p = 0; p < pitched.size(); ++p) {
        const int key = placedKey[pitched[p]];
        RootKey& root = roots[pitched[p]];
        root.lowKey = p == 0 ? key : (placedKey[pitched[p - 1]] + key) / 2 + 1;
        root.highKey = p + 1 == pitched.size() ? key : (key + placedKey[pitched[p + 1]]) / 2;
    }

    auto covered = [&](int key) {
        return std::any_of(roots.begin(), roots.end(), [&](const RootKey& r) {
            return (r.pitched || r.lowKey != 0 || r.highKey != 0) && key >= r.lowKey && key <= r.highKey;
        });
    };
    int next = kFirstUnpitchedKey;
    for (RootKey& root : roots) {
        if (root.pitched)
            continue;
        while (next <= 127 && covered(next))
            ++next;
        root.key = root.lowKey = root.highKey = std::min(next, 127);
        root.centsSharp = 0.0;
        root.fundamentalHz = 0.0;
        ++next;
    }
    return roots;
}

} // namespace kivora::exchange
