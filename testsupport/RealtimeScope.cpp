#include "RealtimeScope.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#if KIVORA_HAVE_RTSAN

extern "C" void __rtsan_init();
extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();

namespace kivora::test {
void startRealtimeWatch() {
    static std::once_flag started;
    std::call_once(started, [] { __rtsan_init(); });
}
RealtimeScope::RealtimeScope() {
    // Where the runtime does not start itself before main, the first scope
    // starts it: a scope is never left unwatched.
    startRealtimeWatch();
    __rtsan_realtime_enter();
}
RealtimeScope::~RealtimeScope() {
    __rtsan_realtime_exit();
}
std::uint64_t allocationsInScope() {
    return 0; // the runtime aborts instead
}
} // namespace kivora::test

#elif KIVORA_SANITIZER_OWNS_NEW

// ThreadSanitizer and AddressSanitizer define operator new themselves; their
// tests then watch for races and memory faults, not allocations.
namespace kivora::test {
void startRealtimeWatch() {}
RealtimeScope::RealtimeScope() = default;
RealtimeScope::~RealtimeScope() = default;
std::uint64_t allocationsInScope() {
    return 0;
}
} // namespace kivora::test

#else

namespace {
thread_local bool insideScope = false;
std::atomic<std::uint64_t> allocationCount{0};

void* countedAllocation(std::size_t size) {
    if (insideScope)
        allocationCount.fetch_add(1);
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}
} // namespace

namespace kivora::test {
void startRealtimeWatch() {}
RealtimeScope::RealtimeScope() {
    insideScope = true;
}
RealtimeScope::~RealtimeScope() {
    insideScope = false;
}
std::uint64_t allocationsInScope() {
    return allocationCount.load();
}
} // namespace kivora::test

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
