// The LV2 instrument's run() as a host calls it: blocks of 256 frames at
// 48 kHz with eight held voices of the 32 x 32 membrane, pressed again every
// note length (500 ms) so none decays. Arg: helper threads (the plugin's
// "helpers" control, threads made when the control changes, outside run()).
//
// The benchmark's thread asks for a real-time scheduling class, as a host's
// audio thread has (best effort; the label says whether it was granted), and
// the helpers ask for one themselves.
//
// realtime_fraction is the time run() takes per second of sound: the goal is
// 0.70 or less on this machine (two cores).
#include "PluginHost.h"

#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <pthread.h>
#include <sched.h>
#include <string>

namespace {

constexpr std::uint32_t kBlockFrames = 256;
constexpr double kRate = 48000.0;

// SCHED_FIFO for the calling thread while it lives, where the system grants it.
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

void BM_PluginRun(benchmark::State& state) {
    setenv("LV2_PATH", KIVORA_LV2_PATH, 1);
    const std::string membrane =
        (std::filesystem::temp_directory_path() / "kivora-bench-membrane-32x32.json").string();
    InstrumentKit::saveModelFile(membrane, InstrumentKit::makeMembrane(32, 32));
    kivora::test::PluginHost host(kRate);
    host.setControl("helpers", static_cast<float>(state.range(0)));
    host.setModel(0, membrane);
    host.render(kBlockFrames * 2, kBlockFrames); // loaded, and the bank swapped in
    const RealtimeClass realtime;
    const int keys[] = {48, 50, 52, 53, 55, 57, 59, 60};
    const auto noteFrames = static_cast<std::uint64_t>(kRate / 2);
    std::uint64_t sincePress = noteFrames;
    for (auto _ : state) {
        state.PauseTiming();
        if (sincePress >= noteFrames) {
            for (const int key : keys)
                host.noteOn(host.position(), key);
            sincePress = 0;
        }
        host.prepareBlock(kBlockFrames);
        state.ResumeTiming();
        host.runBlock(kBlockFrames);
        state.PauseTiming();
        benchmark::DoNotOptimize(host.finishBlock());
        host.runWorkerJobs();
        host.deliverResponses();
        sincePress += kBlockFrames;
        state.ResumeTiming();
    }
    const double audioSeconds = static_cast<double>(state.iterations()) * kBlockFrames / kRate;
    state.counters["realtime_fraction"] =
        benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel("membrane 32x32, 8 voices, 48 kHz, " + std::to_string(state.range(0)) + " helper threads" +
                   (realtime.granted() ? ", real-time class" : ""));
    std::filesystem::remove(membrane);
}
BENCHMARK(BM_PluginRun)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
