// The device callback must not allocate, lock or call into the system
// (RealtimeScope.h says how that is watched).
#include "FrameConversion.h"
#include "LiveOutputSupport.h"
#include "RealtimeWatchCheck.h"
#include "VoiceMixer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

using namespace pellamy;

using kivora::test::allocationsInScope;
using kivora::test::RealtimeScope;

namespace {

constexpr unsigned kChannels = 2;
constexpr std::size_t kVoices = 64;

// 64 voices of 44.1 kHz tones at the device's 48 kHz, as the live output
// prepares them; an audio thread runs the device callback in a real-time
// scope while this thread sends starts, stops and stop-alls.
std::uint64_t runMixerUnderLoad(std::size_t callbacks) {
    std::vector<std::vector<std::int16_t>> frames;
    for (std::size_t v = 0; v < kVoices; ++v) {
        const auto tone = pellamy::testing::envelopedTone(110.0 + 7.0 * v, 44100, 40.0 + v, 1500);
        frames.push_back(convertToDevice(tone, 1, 44100, kChannels, 48000));
    }
    VoiceMixer mixer(kVoices, kChannels, 256);
    std::atomic<bool> finished{false};
    std::thread audio([&] {
        std::vector<std::uint8_t> buffer(256 * kChannels * sizeof(std::int16_t));
        for (std::size_t i = 0; i < callbacks; ++i) {
            RealtimeScope scope;
            VoiceMixer::fillDeviceBuffer(&mixer, buffer.data(), static_cast<int>(buffer.size()));
        }
        finished.store(true, std::memory_order_release);
    });
    std::mt19937 random(1234);
    while (!finished.load(std::memory_order_acquire)) {
        const std::size_t voice = random() % kVoices;
        switch (random() % 8) {
        case 0:
            mixer.stopAll();
            break;
        case 1:
        case 2:
            mixer.stop(voice);
            break;
        default:
            mixer.start(voice, frames[voice].data(),
                        static_cast<std::uint32_t>(frames[voice].size() / kChannels));
        }
        std::this_thread::yield();
    }
    audio.join();
    EXPECT_EQ(mixer.framesRendered(), callbacks * 256);
    return allocationsInScope();
}

} // namespace

TEST(RealtimeCallback, MixesWithoutAllocatingLockingOrCallingTheSystem) {
    kivora::test::startRealtimeWatch();
    EXPECT_EQ(runMixerUnderLoad(4000), 0u);
}

// The scope is watched at all: an allocation inside it is caught.
TEST(RealtimeCallback, AnAllocationInsideTheScopeIsCaught) {
    kivora::test::expectAnAllocationInScopeIsCaught();
}
