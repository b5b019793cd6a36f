#include <kivora/NoteTuning.h>
#include <ostrel/BandResonance.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace kivora {

namespace {

constexpr unsigned kCoarseCount = 201; // one cent apart over +-100 cents
constexpr double kCoarseHalfWidthCents = 100.0;
constexpr unsigned kFineCount = 41; // 0.05 cent apart over +-1 cent
constexpr double kFineHalfWidthCents = 1.0;

double shiftedByCents(double hz, double cents) {
    return hz * std::exp2(cents / 1200.0);
}

bool stopped(const std::atomic<int>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed) != 0;
}

} // namespace

bool isMeasurable(double hz) {
    // Results carry two decimals: 38.005 and below, 1999.995 and above print as an edge.
    return hz > kLowestMeasurableHz + 0.005 && hz < kHighestMeasurableHz - 0.005;
}

std::string edgeOfRangeWarning(double hz) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%.2f Hz is the edge of the measurable range (%.0f-%.0f Hz): the tone lies outside it", hz,
                  kLowestMeasurableHz, kHighestMeasurableHz);
    return text;
}

bool isSilent(const std::int16_t* samples, unsigned frames, unsigned channels, unsigned toleranceSteps) {
    if (frames < 2 || channels == 0) {
        return true;
    }
    std::int32_t lowest = samples[0];
    std::int32_t highest = samples[0];
    for (unsigned frame = 1; frame < frames; ++frame) {
        const std::int32_t value = samples[static_cast<std::size_t>(frame) * channels];
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
        if (static_cast<std::uint32_t>(highest - lowest) > toleranceSteps) {
            return false;
        }
    }
    return true;
}

SilenceCause silenceCauseFor(const muntero::ModelSnapshot& snapshot) {
    if (snapshot.soundingNode < 0 || snapshot.soundingNode >= snapshot.nodeCount()) {
        return SilenceCause::none;
    }
    const muntero::ModelNode& flagged = snapshot.nodes[static_cast<std::size_t>(snapshot.soundingNode)];
    if (flagged.fixed) {
        return SilenceCause::flaggedNodeFixed;
    }
    if (flagged.connectionCount == 0) {
        return SilenceCause::flaggedNodeUnlinked;
    }
    const auto still = [](double value) { return value == 0.0; };
    if (std::all_of(snapshot.initialDisplacements.begin(), snapshot.initialDisplacements.end(), still) &&
        std::all_of(snapshot.initialVelocities.begin(), snapshot.initialVelocities.end(), still)) {
        return SilenceCause::modelAtRest;
    }
    return SilenceCause::none;
}

const char* describe(SilenceCause cause) {
    switch (cause) {
    case SilenceCause::flaggedNodeFixed:
        return "the flagged node is fixed";
    case SilenceCause::flaggedNodeUnlinked:
        return "the flagged node has no springs";
    case SilenceCause::modelAtRest:
        return "the model is at rest";
    case SilenceCause::none:
        break;
    }
    return nullptr;
}

double noteTargetHz(int note) {
    return NoteGenerator::kFirstNoteHz * std::exp2(note / 12.0);
}

double tunedPartialHz(const std::int16_t* samples, unsigned count, unsigned sampleRateHz, double targetHz) {
    return tunedPartialHz(samples, count, sampleRateHz, targetHz, nullptr);
}

double tunedPartialHz(const std::int16_t* samples, unsigned count, unsigned sampleRateHz, double targetHz,
                      const std::atomic<int>* stop) {
    if (samples == nullptr || sampleRateHz == 0 || !(targetHz > 0.0) || isSilent(samples, count)) {
        return 0.0;
    }
    const double rate = sampleRateHz;
    ostrel::OscillSet coarse(kCoarseCount);
    const int coarsePeak = ostrel::strongestResonanceInBand(
        coarse, shiftedByCents(targetHz, -kCoarseHalfWidthCents),
        shiftedByCents(targetHz, kCoarseHalfWidthCents), rate, samples, count, stop);
    if (coarsePeak < 0) {
        return 0.0;
    }
    const double coarseHz = coarse.oscillators()[coarsePeak].frequency();
    ostrel::OscillSet fine(kFineCount);
    const int finePeak = ostrel::strongestResonanceInBand(
        fine, shiftedByCents(coarseHz, -kFineHalfWidthCents), shiftedByCents(coarseHz, kFineHalfWidthCents),
        rate, samples, count, stop);
    // A fine peak on its bank's end still lies within a semitone: keep the coarse one.
    return finePeak < 0 ? coarseHz : fine.oscillators()[finePeak].frequency();
}

std::vector<NoteTuning> measureTuning(NoteGenerator& generator, unsigned threads,
                                      const std::atomic<int>* stop,
                                      const std::function<void(int)>& measured) {
    if (!generator.allocated() || generator.settings().octaves <= 0) {
        return {};
    }
    const int notes = generator.notesFinished();
    std::vector<NoteTuning> tuning(static_cast<std::size_t>(std::max(0, notes)));
    const auto rate = static_cast<unsigned>(generator.settings().sampleRate);
    const auto count = static_cast<unsigned>(generator.samplesPerNote());

    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    const auto work = [&] {
        try {
            for (int note; !stopped(stop) && (note = next.fetch_add(1)) < notes;) {
                NoteTuning& result = tuning[static_cast<std::size_t>(note)];
                result.name = noteName(note);
                result.targetHz = noteTargetHz(note);
                result.unstable = generator.noteUnstable(note);
                result.measuredHz =
                    tunedPartialHz(generator.noteBuffer(note), count, rate, result.targetHz, stop);
                result.centsOff =
                    result.measuredHz > 0.0 ? 1200.0 * std::log2(result.measuredHz / result.targetHz) : 0.0;
                const int finished = done.fetch_add(1) + 1;
                if (measured && !stopped(stop)) {
                    measured(finished);
                }
            }
        } catch (...) {
            const std::lock_guard lock(failureMutex);
            if (!failure) {
                failure = std::current_exception();
            }
            next = notes; // the others stop at their next note
        }
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned workers =
        std::clamp(threads == 0 ? cores : threads, 1u, static_cast<unsigned>(std::max(1, notes)));
    std::vector<std::thread> helpers;
    try {
        for (unsigned w = 1; w < workers; ++w) {
            helpers.emplace_back(work);
        }
    } catch (...) {
        next = notes;
        for (std::thread& helper : helpers) {
            helper.join();
        }
        throw;
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (stopped(stop)) {
        return {};
    }
    return tuning;
}

MistunedNotes findMistunedNotes(const std::vector<NoteTuning>& tuning) {
    MistunedNotes found;
    for (const NoteTuning& note : tuning) {
        char entry[96];
        if (note.unstable) {
            // Its pitch is false anyway: named once, as too stiff.
            found.unstable.push_back(note.name);
            continue;
        }
        if (note.measuredHz <= 0.0) {
            std::snprintf(entry, sizeof entry, "%s (no resonance within a semitone)", note.name.c_str());
        } else if (std::fabs(note.centsOff) > kAudibleMistuningCents) {
            // With a point whatever the process locale: the window's is the user's.
            char cents[32];
            const auto written = std::to_chars(cents, cents + sizeof cents, std::fabs(note.centsOff),
                                               std::chars_format::fixed, 1);
            std::snprintf(entry, sizeof entry, "%s (%c%.*s cents)", note.name.c_str(),
                          note.centsOff < 0.0 ? '-' : '+', static_cast<int>(written.ptr - cents), cents);
        } else {
            continue;
        }
        found.mistuned.emplace_back(entry);
    }
    return found;
}

std::string tooStiffWarning(int sampleRate, const std::vector<std::string>& notes) {
    if (notes.empty()) {
        return {};
    }
    std::string names;
    for (const std::string& name : notes) {
        names += (names.empty() ? "" : " ") + name;
    }
    return "the model is too stiff for " + std::to_string(sampleRate) + " samples per second in the notes " +
           names + ": their integration is unstable, so they ring at a false pitch or end in silence";
}

std::string mistuningWarning(const std::vector<std::string>& entries) {
    if (entries.empty()) {
        return {};
    }
    std::string list;
    for (const std::string& entry : entries) {
        list += (list.empty() ? "" : ", ") + entry;
    }
    char threshold[32];
    std::snprintf(threshold, sizeof threshold, "%.0f", kAudibleMistuningCents);
    return "notes more than " + std::string(threshold) + " cents off their targets: " + list;
}

} // namespace kivora
