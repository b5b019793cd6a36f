// The audio callback of live voices must not allocate, lock or call into the
// system. With the real-time sanitizer's runtime linked in, any such call
// inside a real-time scope ends the program; without it, allocations made
// inside the scope are counted.
#include <kivora/voices/LiveVoices.h>
#include <modelkit/Builders.h>
#include <muntero/ModelSnapshot.h>

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <random>
#include <thread>
#include <vector>

#if KIVORA_HAVE_RTSAN

extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();

namespace {
struct RealtimeScope {
    RealtimeScope() { __rtsan_realtime_enter(); }
    ~RealtimeScope() { __rtsan_realtime_exit(); }
};
std::uint64_t allocationsInScope() {
    return 0; // the runtime aborts instead
}
} // namespace

#elif KIVORA_SANITIZER_OWNS_NEW

namespace {
struct RealtimeScope {};
std::uint64_t allocationsInScope() {
    return 0;
}
} // namespace

#else

namespace {
thread_local bool insideScope = false;
std::atomic<std::uint64_t> allocationCount{0};

struct RealtimeScope {
    RealtimeScope() { insideScope = true; }
    ~RealtimeScope() { insideScope = false; }
};
std::uint64_t allocationsInScope() {
    return allocationCount.load();
}
void* countedAllocation(std::size_t size) {
    if (insideScope)
        allocationCount.fetch_add(1);
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

#endif

using namespace kivora::voices;

// An audio thread calls the device callback in a real-time scope while this
// thread presses and releases keys and changes the model twice.
TEST(RealtimeFill, TheCallbackNeitherAllocatesNorWaits) {
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
