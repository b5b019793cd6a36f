// The audio callback of live voices must not allocate, lock or call into the
// system (RealtimeScope.h says how that is watched).
#include "RealtimeWatchCheck.h"

#include <kivora/voices/LiveVoices.h>
#include <kivora/voices/VoiceBank.h>
#include <modelkit/Builders.h>
#include <muntero/ModelSnapshot.h>

#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

using kivora::test::allocationsInScope;
using kivora::test::RealtimeScope;

using namespace kivora::voices;

// An audio thread calls the device callback in a real-time scope while this
// thread presses and releases keys and changes the model twice.
TEST(RealtimeFill, TheCallbackNeitherAllocatesNorWaits) {
    kivora::test::startRealtimeWatch();
    kivora::GenerationSettings settings;
    settings.durationMs = 100;
    const auto string = std::make_shared<const VoiceModel>(
        muntero::takeSnapshot(InstrumentKit::defaultModel()), VoiceSettings{settings, {}});
    const auto membrane = std::make_shared<const VoiceModel>(
        muntero::takeSnapshot(InstrumentKit::makeMembrane(8, 8)), VoiceSettings{settings, {}});
    LiveVoices live(string);
    live.setDeviceChannels(2);
    ASSERT_TRUE(live.waitUntilReady(std::chrono::seconds(10)));

    std::atomic<bool> finished{false};
    std::thread audio([&] {
        std::vector<std::uint8_t> buffer(256 * 2 * sizeof(std::int16_t));
        for (int i = 0; i < 3000; ++i) {
            {
                RealtimeScope scope;
                LiveVoices::fillDeviceBuffer(&live, buffer.data(), static_cast<int>(buffer.size()));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        finished.store(true);
    });
    std::mt19937 random(99);
    int changes = 0;
    while (!finished.load()) {
        const int key = 48 + static_cast<int>(random() % 24);
        live.noteOn(key, 1 + static_cast<int>(random() % 127));
        if (random() % 3 == 0)
            live.noteOff(key);
        if (random() % 400 == 0 && changes < 2)
            live.setModel(changes++ % 2 == 0 ? membrane : string);
        live.refusedKeys(); // frees retired voice sets here
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    audio.join();
    EXPECT_EQ(allocationsInScope(), 0u);
    EXPECT_GE(live.framesPlayed(), 3000u * 256);
}

// The render thread's part: notes, steals, releases and a change to a larger
// voice set of another model, whose voices fade beside the new ones, render
// with no allocation (the sets made and freed outside, as LiveVoices does).
// One render thread: the helpers' wake-ups are system calls by design.
TEST(RealtimeFill, TheBankRendersWithoutAllocating) {
    kivora::GenerationSettings settings;
    settings.durationMs = 100;
    const auto string = std::make_shared<const VoiceModel>(
        muntero::takeSnapshot(InstrumentKit::defaultModel()), VoiceSettings{settings, {}});
    const auto membrane = std::make_shared<const VoiceModel>(
        muntero::takeSnapshot(InstrumentKit::makeMembrane(8, 8)), VoiceSettings{settings, {}});
    VoiceBank bank(std::make_unique<VoiceSet>(string, 4), 1);
    auto larger = std::make_unique<VoiceSet>(membrane, 24);
    std::vector<double> mix(VoiceBank::kMaxBlockFrames);
    std::mt19937 random(3);
    for (int block = 0; block < 400; ++block) {
        RealtimeScope scope;
        const int key = 48 + static_cast<int>(random() % 24);
        bank.noteOn(key, 1 + static_cast<int>(random() % 127));
        if (block % 3 == 0)
            bank.noteOff(key);
        if (block == 50)
            bank.replaceSet(std::move(larger));
        bank.render(mix.data(), 128 + static_cast<std::size_t>(random() % 800));
    }
    EXPECT_EQ(allocationsInScope(), 0u);
    EXPECT_NE(bank.takeRetiredSet(), nullptr);
}

// The scope is watched at all: an allocation inside it is caught.
TEST(RealtimeFill, AnAllocationInsideTheScopeIsCaught) {
    kivora::test::expectAnAllocationInScopeIsCaught();
}
