// The plugin's run() and its worker responses inside the real-time scope
// (RealtimeScope.h says how that is watched): notes, pedal, controllers,
// controls that retune the model, a model switch and its question, blocks of
// every length.
#include "PluginHost.h"
#include "RealtimeWatchCheck.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

using kivora::test::allocationsInScope;
using kivora::test::PluginHost;
using kivora::test::RealtimeScope;

// With helper threads (switched on and off here) run() also waits, on an
// atomic, for the helper's share of each block; the runtime does not count
// that wait, and without helpers there is nothing to wait for.
TEST(RealtimeRun, RunNeitherAllocatesNorLocks) {
    kivora::test::startRealtimeWatch();
    PluginHost host(48000);
    const std::string membrane = std::string(KIVORA_SOURCE_DIR) + "/examples/models/struck-membrane.json";
    std::mt19937 random(28);
#if KIVORA_SANITIZER_OWNS_NEW
    constexpr int kBlocks = 150; // watched for memory faults only, and slowly
#else
    constexpr int kBlocks = 600;
#endif
    for (int block = 0; block < kBlocks; ++block) {
        const auto frames = static_cast<std::uint32_t>(1 + random() % 2048);
        const std::uint64_t at = host.position();
        for (int e = 0; e < 4; ++e) {
            const std::uint64_t frame = at + random() % frames;
            const int key = 36 + static_cast<int>(random() % 60);
            switch (random() % 8) {
            case 0:
                host.controller(frame, 64, random() % 2 == 0 ? 0 : 127);
                break;
            case 1:
                host.noteOff(frame, key);
                break;
            case 2:
                host.controller(frame, random() % 2 == 0 ? 120 : 123, 0);
                break;
            default:
                host.noteOn(frame, key, 1 + static_cast<int>(random() % 127));
                break;
            }
        }
        if (block % 97 == 3)
            host.setModel(at, block % 2 == 0 ? membrane : "/nonexistent/model.json");
        if (block % 89 == 5)
            host.getModel(at);
        if (block % 53 == 7) {
            host.setControl("linear", 2.0f + static_cast<float>(random() % 40) / 10.0f);
            host.setControl("polyphony", static_cast<float>(1 + random() % 32));
            host.setControl("helpers", static_cast<float>(random() % 2));
        }
        host.setControl("release", static_cast<float>(5 + random() % 400));
        host.setControl("gain", -static_cast<float>(random() % 30));

        host.prepareBlock(frames);
        {
            RealtimeScope scope;
            host.runBlock(frames);
        }
        host.finishBlock();
        host.runWorkerJobs(); // the worker's thread may allocate and log
        {
            RealtimeScope scope;
            host.deliverResponses();
        }
    }
    EXPECT_EQ(allocationsInScope(), 0u);
    EXPECT_GE(host.announcedModels().size(), 3u) << "the model was switched and asked for";
}

// The scope is watched at all: an allocation inside it is caught.
TEST(RealtimeRun, AnAllocationInsideTheScopeIsCaught) {
    kivora::test::expectAnAllocationInScopeIsCaught();
}
