#include "AllocationLimit.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace {

std::atomic<std::size_t> failFromBytes{std::numeric_limits<std::size_t>::max()};
std::atomic<int> refusalCount{0};

} // namespace

namespace muntero::test {

LargeAllocationsFail::LargeAllocationsFail(std::size_t fromBytes) {
    failFromBytes.store(fromBytes);
}

LargeAllocationsFail::~LargeAllocationsFail() {
    failFromBytes.store(std::numeric_limits<std::size_t>::max());
}

int LargeAllocationsFail::refusals() {
    return refusalCount.load();
}

#if KIVORA_SANITIZER_OWNS_NEW
bool LargeAllocationsFail::available() {
    return false;
}
#else
bool LargeAllocationsFail::available() {
    return true;
}
#endif

} // namespace muntero::test

#if !KIVORA_SANITIZER_OWNS_NEW

namespace {
void* allocate(std::size_t size) {
    if (size >= failFromBytes.load(std::memory_order_relaxed)) {
        refusalCount.fetch_add(1);
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
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
