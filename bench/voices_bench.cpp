// Live voices against real time: a bank of voices of a model stepped in
// blocks of 128 frames, as the live renderer does, and beside it the same
// notes rendered through the note generator. Every voice is pressed again
// each note length (500 ms) so none decays and is freed.
//
// audio_s/s is seconds of sound (all voices together) per wall-clock second,
// so above 1 a bank keeps up with the device; voices_per_core is the number
// of voices one core keeps in real time (voices × audio_s/s on one thread).
// Each case runs four times: every voice stepped alone by its own kernel,
// the voices stepped together in batches of four and of eight, and the
// set's own choice.
// The goal: sixteen voices of the 32 x 32 membrane on two cores at audio_s/s
// 1.43 or more (30 % of the time to spare); 32 voices is the moonshot.
#include <kivora/NoteGenerator.h>
#include <kivora/voices/VoiceBank.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <benchmark/benchmark.h>
#include <map>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlockFrames = 128;

const char* const kModelNames[] = {"free-bar",        "plucked-string", "string-on-board",
                                   "struck-membrane", "membrane 32x32", "membrane 100x100"};

InstrumentKit::Representation representationOf(int model) {
    if (model == 4)
        return InstrumentKit::makeMembrane(32, 32);
    if (model == 5)
        return InstrumentKit::makeMembrane(100, 100);
    return InstrumentKit::loadModelFile(std::string(KIVORA_SOURCE_DIR) + "/examples/models/" +
                                        kModelNames[model] + ".json");
}

// Measuring the untuned note takes a while for the large membrane: once per model.
std::shared_ptr<const kivora::voices::VoiceModel> modelOf(int model) {
    static std::map<int, std::shared_ptr<const kivora::voices::VoiceModel>> made;
    auto& entry = made[model];
    if (!entry)
        entry = std::make_shared<const kivora::voices::VoiceModel>(
            muntero::takeSnapshot(representationOf(model)), kivora::voices::VoiceSettings{});
    return entry;
}

// Keys from 1C up, a semitone apart, that the model plays.
std::vector<int> keysFor(const kivora::voices::VoiceModel& model, int count) {
    std::vector<int> keys;
    for (int key = kivora::voices::kFirstNoteKey; static_cast<int>(keys.size()) < count && key < 128;
         key += 1)
        if (model.keySounds(key))
            keys.push_back(key);
    return keys;
}

// The live renderer's scheduling for the calling thread while it lives: a
// real-time class where the system grants it (best effort, as LiveVoices).
class RealtimeClass {
public:
    RealtimeClass() {
        pthread_getschedparam(pthread_self(), &policy_, &previous_);
        sched_param wanted{};
        wanted.sched_priority = 10;
        granted_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &wanted) == 0;
    }
    ~RealtimeClass() {
        if (granted_)
            pthread_setschedparam(pthread_self(), policy_, &previous_);
    }
    bool granted() const { return granted_; }

private:
    int policy_ = SCHED_OTHER;
    sched_param previous_{};
    bool granted_ = false;
};

// Args: model, voices, threads, voices per batch (1: each alone; 4; 8; 0:
// the set's choice); with several threads all run as the live renderer's do (a
// real-time class where granted).
void BM_LiveVoices(benchmark::State& state) {
    const auto model = modelOf(static_cast<int>(state.range(0)));
    const int voiceCount = static_cast<int>(state.range(1));
    const auto threads = static_cast<unsigned>(state.range(2));
    const int lanesPerBatch = static_cast<int>(state.range(3));
    std::optional<RealtimeClass> realtime;
    if (threads > 1)
        realtime.emplace();
    auto set = std::make_unique<kivora::voices::VoiceSet>(model, voiceCount, lanesPerBatch);
    const int lanes = set->lanesPerBatch();
    kivora::voices::VoiceBank bank(std::move(set), threads, threads > 1);
    const std::vector<int> keys = keysFor(*model, voiceCount);
    std::vector<double> mix(kBlockFrames);
    std::size_t framesSincePress = 0;
    for (int key : keys)
        bank.noteOn(key, 127);
    for (auto _ : state) {
        if (framesSincePress >= static_cast<std::size_t>(model->noteLengthInFrames())) {
            for (int key : keys)
                bank.noteOn(key, 127);
            framesSincePress = 0;
        }
        bank.render(mix.data(), kBlockFrames);
        framesSincePress += kBlockFrames;
        benchmark::DoNotOptimize(mix.data());
    }
    const double audioSeconds = static_cast<double>(state.iterations()) * kBlockFrames / model->sampleRate();
    state.counters["audio_s/s"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.counters["voices"] = static_cast<double>(keys.size());
    if (threads == 1)
        state.counters["voices_per_core"] =
            benchmark::Counter(audioSeconds * static_cast<double>(keys.size()), benchmark::Counter::kIsRate);
    state.SetLabel(std::string(kModelNames[state.range(0)]) + ", " + std::to_string(keys.size()) +
                   " voices, " + std::to_string(threads) + " thread" + (threads == 1 ? "" : "s") +
                   (lanes == 1 ? ", each alone" : ", batches of " + std::to_string(lanes)) +
                   (realtime && realtime->granted() ? ", real-time class" : ""));
}
// Voices per core of every model, the 100 x 100 membrane included; then 8,
// the goal of 16 and the moonshot of 32 voices of the 32 x 32 membrane on
// both cores.
BENCHMARK(BM_LiveVoices)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {8}, {1}, {1, 4, 8, 0}})
    ->ArgsProduct({{4}, {8, 16, 32}, {2}, {1, 4, 8, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same membrane through the generator: an octave of 500 ms notes and the
// untuned render before them, on one thread or on two.
void BM_GeneratorNotes(benchmark::State& state) {
    const auto model = modelOf(4);
    kivora::GenerationSettings settings;
    settings.octaves = 1;
    kivora::NoteGenerator generator;
    generator.setWorkerCount(static_cast<unsigned>(state.range(0)));
    for (auto _ : state) {
        generator.configure(settings, model->snapshot());
        // Measuring the untuned note is the generator's cost too: 13 renders.
        generator.run();
    }
    const double audioSeconds = static_cast<double>(state.iterations()) * 13 * 0.5;
    state.counters["audio_s/s"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.SetLabel("membrane 32x32 through the generator, an octave (13 renders), " +
                   std::to_string(state.range(0)) + " thread(s)");
}
BENCHMARK(BM_GeneratorNotes)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
