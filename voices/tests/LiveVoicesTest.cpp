// Live voices through SDL's disk driver, faster than real time: a long
// stress of key presses and model changes with no block late.
#include "LateBlocks.h"

#include <kivora/voices/LiveVoices.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/StreamOutput.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <thread>
#include <unistd.h>

using namespace kivora::voices;

namespace {

std::shared_ptr<const VoiceModel> bundledModel(const std::string& name) {
    return std::make_shared<const VoiceModel>(
        muntero::takeSnapshot(InstrumentKit::loadModelFile(std::string(KIVORA_SOURCE_DIR) +
                                                           "/examples/models/" + name + ".json")),
        VoiceSettings{});
}

// The disk driver writes the device's frames to a file of this test's own;
// SDL_DISKAUDIODELAY is the wait per device buffer in milliseconds.
class DiskDevice {
public:
    DiskDevice(const std::string& name, const std::string& delayMs)
        : path_(std::filesystem::temp_directory_path() /
                ("kivora-voices-" + name + "-" + std::to_string(::getpid()) + ".raw")) {
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        ::setenv("SDL_DISKAUDIOFILE", path_.c_str(), 1);
        ::setenv("SDL_DISKAUDIODELAY", delayMs.c_str(), 1);
    }
    ~DiskDevice() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::vector<std::int16_t> values() const {
        std::ifstream in(path_, std::ios::binary);
        std::vector<std::int16_t> values(std::filesystem::file_size(path_) / 2);
        in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * 2));
        return values;
    }

private:
    std::filesystem::path path_;
};

} // namespace

// Sixteen voices of the 32 x 32 membrane (1024 nodes) at real time: 64
// presses a second for 60 s, each held 100 ms at a random velocity, so that
// every voice sounds and the oldest are stolen. The device takes a buffer of
// 1024 frames every 23 ms, as a sound card does; eight blocks are kept ready.
// It needs most of two idle cores, so it runs only when asked for
// (--gtest_also_run_disabled_tests) on a machine doing nothing else.
TEST(LiveVoicesStress, DISABLED_SixteenVoicesOfTheLargeMembraneInRealTimeWithoutALateBlock) {
    const auto membrane = std::make_shared<const VoiceModel>(
        muntero::takeSnapshot(InstrumentKit::makeMembrane(32, 32)), VoiceSettings{});
    const int rate = membrane->sampleRate();
    const std::uint64_t totalFrames = 60ull * rate;
    const std::uint64_t pressEvery = static_cast<std::uint64_t>(rate) / 64;
    const std::uint64_t holdFrames = static_cast<std::uint64_t>(rate) / 10;
    LiveSettings settings;
    settings.voiceCount = 16;
    settings.blockFrames = 512;
    settings.leadBlocks = 8;
    settings.renderThreads = 2;
    LiveVoices live(membrane, settings);
    live.setDeviceChannels(1);
    ASSERT_TRUE(live.waitUntilReady(std::chrono::seconds(10)));
    const DiskDevice disk("membrane", "23");
    std::mt19937 random(16);
    std::vector<std::pair<std::uint64_t, int>> releases; // frame, key
    int mostSounding = 0;
    {
        pellamy::StreamOutput output(rate, 1, 1024, &LiveVoices::fillDeviceBuffer, &live);
        const std::uint64_t lead = output.deviceBufferFrames() + settings.leadBlocks * settings.blockFrames;
        std::uint64_t nextPress = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (live.framesPlayed() < totalFrames && std::chrono::steady_clock::now() < deadline) {
            const std::uint64_t due = live.framesPlayed() + lead;
            for (; nextPress <= due && nextPress < totalFrames; nextPress += pressEvery) {
                const int key = kFirstNoteKey + static_cast<int>(random() % 36);
                ASSERT_TRUE(live.noteOn(key, 1 + static_cast<int>(random() % 127)));
                releases.emplace_back(nextPress + holdFrames, key);
            }
            while (!releases.empty() && releases.front().first <= due) {
                ASSERT_TRUE(live.noteOff(releases.front().second));
                releases.erase(releases.begin());
            }
            mostSounding = std::max(mostSounding, live.soundingVoiceCount());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    EXPECT_GE(live.framesPlayed(), totalFrames);
    EXPECT_EQ(mostSounding, 16);
#if !KIVORA_SANITIZED_TIMING
    EXPECT_TRUE(kivora::testing::fewLateBlocks(live.lateBlocks(), live.blocksRendered()))
        << live.lateBlocks() << " late of " << live.blocksRendered();
#endif
    std::printf("late blocks %llu of %llu rendered; real-time class %s\n",
                static_cast<unsigned long long>(live.lateBlocks()),
                static_cast<unsigned long long>(live.blocksRendered()),
                live.realtimeScheduling() ? "yes" : "no");
    const std::vector<std::int16_t> values = disk.values();
    ASSERT_GE(values.size(), totalFrames);
    EXPECT_GT(*std::max_element(values.begin(), values.end()), 1000);
}

// 64 presses a second for 60 s of sound, each held 100 ms at a random
// velocity, the bundled models taking turns every 15 s (changed while keys
// sound). The device takes a buffer of 1024 frames (23 ms) every 3 ms, 7.7
// times real time (every 12 ms without a real-time class); two buffers are
// kept ready.
TEST(LiveVoicesStress, SixtySecondsOfKeysAndModelChangesWithoutALateBlock) {
    const std::vector<std::string> names = {"plucked-string", "struck-membrane", "free-bar",
                                            "string-on-board"};
    std::vector<std::shared_ptr<const VoiceModel>> models;
    for (const std::string& name : names)
        models.push_back(bundledModel(name));
    const int rate = models.front()->sampleRate();
    const std::uint64_t totalFrames = 60ull * rate;
    const std::uint64_t framesPerModel = totalFrames / models.size();
    const std::uint64_t pressEvery = static_cast<std::uint64_t>(rate) / 64;
    const std::uint64_t holdFrames = static_cast<std::uint64_t>(rate) / 10;

    LiveSettings settings;
    settings.blockFrames = 512;
    settings.leadBlocks = 8; // four device buffers: the test runs several times faster than real time
    LiveVoices live(models.front(), settings);
    live.setDeviceChannels(1);
    ASSERT_TRUE(live.waitUntilReady(std::chrono::seconds(10)));
    // The device takes a buffer of 23 ms every 6 ms, four times real time:
    // the bundled membrane's bursts of voices still fit with room to spare.
    // Without a real-time class a busy machine may hold the render thread
    // up for several milliseconds: the device is slowed down further then.
    const DiskDevice disk("stress", live.realtimeScheduling() ? "6" : "12");
    std::mt19937 random(64);
    std::vector<std::pair<std::uint64_t, int>> releases; // frame, key
    {
        pellamy::StreamOutput output(rate, 1, 1024, &LiveVoices::fillDeviceBuffer, &live);
        ASSERT_EQ(output.deviceBufferFrames(), 1024u);
        const std::uint64_t lead = output.deviceBufferFrames() + settings.leadBlocks * settings.blockFrames;
        std::uint64_t nextPress = 0;
        std::size_t modelInUse = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (live.framesPlayed() < totalFrames && std::chrono::steady_clock::now() < deadline) {
            const std::uint64_t due = live.framesPlayed() + lead;
            if (nextPress / framesPerModel != modelInUse && nextPress <= due) {
                modelInUse = static_cast<std::size_t>(nextPress / framesPerModel);
                if (modelInUse < models.size()) {
                    ASSERT_TRUE(live.setModel(models[modelInUse]));
                }
            }
            for (; nextPress <= due && nextPress < totalFrames; nextPress += pressEvery) {
                const int key = kFirstNoteKey + static_cast<int>(random() % 36);
                ASSERT_TRUE(live.noteOn(key, 1 + static_cast<int>(random() % 127)));
                releases.emplace_back(nextPress + holdFrames, key);
            }
            while (!releases.empty() && releases.front().first <= due) {
                ASSERT_TRUE(live.noteOff(releases.front().second));
                releases.erase(releases.begin());
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }
    EXPECT_GE(live.framesPlayed(), totalFrames);
#if !KIVORA_SANITIZED_TIMING
    EXPECT_TRUE(kivora::testing::fewLateBlocks(live.lateBlocks(), live.blocksRendered()))
        << live.lateBlocks() << " late of " << live.blocksRendered();
#endif
    // Every model's quarter sounded.
    const std::vector<std::int16_t> values = disk.values();
    ASSERT_GE(values.size(), totalFrames);
    for (std::size_t quarter = 0; quarter < models.size(); ++quarter) {
        int peak = 0;
        for (std::size_t f = quarter * framesPerModel + rate; f < (quarter + 1) * framesPerModel; ++f)
            peak = std::max(peak, std::abs(static_cast<int>(values[f])));
        EXPECT_GT(peak, 1000) << names[quarter];
    }
}

// A key too stiff for the rate is named once, however often it is pressed.
TEST(LiveVoicesStress, RefusedKeysAreReportedOnce) {
    const auto model = bundledModel("plucked-string");
    LiveVoices live(model);
    ASSERT_TRUE(live.waitUntilReady(std::chrono::seconds(10)));
    live.noteOn(127, 100);
    live.noteOn(127, 100);
    live.noteOn(48, 100);
    std::vector<int> refused;
    for (int attempt = 0; attempt < 2000 && refused.empty(); ++attempt) {
        std::vector<std::int16_t> buffer(256);
        live.fill(buffer.data(), 256, 1); // the audio thread's part, here
        refused = live.refusedKeys();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(refused, std::vector<int>{127});
}

namespace {

double processCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

} // namespace

// While nothing sounds, live playing costs next to nothing: the device
// (here the test, at real-time pace) takes silent blocks, before any key and
// after a note has rung out, and a key pressed then still sounds.
TEST(LiveVoicesStress, SilenceCostsAFewPercentOfACoreAtMost) {
    const auto model = bundledModel("plucked-string");
    LiveVoices live(model);
    ASSERT_TRUE(live.waitUntilReady(std::chrono::seconds(10)));
    const int rate = live.sampleRate();
    constexpr std::size_t kDeviceFrames = 256;
    std::vector<std::int16_t> buffer(kDeviceFrames);
    auto play = [&](std::chrono::milliseconds duration) {
        int peak = 0;
        const auto period = std::chrono::nanoseconds(1'000'000'000LL * kDeviceFrames / rate);
        auto next = std::chrono::steady_clock::now();
        for (const auto end = next + duration; next < end; next += period) {
            std::this_thread::sleep_until(next);
            live.fill(buffer.data(), kDeviceFrames, 1);
            for (std::int16_t value : buffer)
                peak = std::max(peak, std::abs(static_cast<int>(value)));
        }
        return peak;
    };
    auto idleCpuShare = [&] {
        play(std::chrono::milliseconds(200));
        const double startCpu = processCpuSeconds();
        const auto startWall = std::chrono::steady_clock::now();
        EXPECT_EQ(play(std::chrono::milliseconds(2000)), 0);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - startWall;
        return (processCpuSeconds() - startCpu) / wall.count();
    };
    const double beforeAnyKey = idleCpuShare();
    ASSERT_TRUE(live.noteOn(kFirstNoteKey, 100));
    EXPECT_GT(play(std::chrono::milliseconds(300)), 1000);
    ASSERT_TRUE(live.noteOff(kFirstNoteKey));
    for (int wait = 0; wait < 100 && live.soundingVoiceCount() > 0; ++wait)
        play(std::chrono::milliseconds(100));
    ASSERT_EQ(live.soundingVoiceCount(), 0);
    const double afterANote = idleCpuShare();
#if !KIVORA_SANITIZED_TIMING
    // About 1 % of a core on an idle machine; a render thread that keeps
    // stepping silent voices costs ten times that.
    constexpr double kMostCpuShare = 0.03;
    EXPECT_LT(beforeAnyKey, kMostCpuShare);
    EXPECT_LT(afterANote, kMostCpuShare);
#endif
    std::cout << "idle CPU: " << 100.0 * beforeAnyKey << " % before any key, " << 100.0 * afterANote
              << " % after a note\n";
}
