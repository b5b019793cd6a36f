// A bounded, lock-free queue between two threads: the live output's events to
// the audio thread, the voices' blocks, a MIDI keyboard's notes.
//
// Thread contract: exactly one producer thread calls tryPush and exactly one
// consumer thread calls tryPop (each may be any thread, but only one at a
// time on each side); capacity() may be called from either. Neither call
// blocks, locks or allocates: all slots are allocated by the constructor, so
// both sides may run on a real-time thread. T is copied into and out of its
// slot, so it must be default-constructible and copy-assignable.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>

namespace kivora::base {

// The indices only grow; a slot is index % capacity. The producer publishes a
// written slot with a release store of `tail_`, the consumer frees a slot with
// a release store of `head_`; each side reads the other's index with acquire.
// (No lone fences: ThreadSanitizer understands only acquire/release pairs.)
template <class T>
class SpscQueue {
public:
    explicit SpscQueue(std::size_t capacity) : capacity_(capacity), slots_(std::make_unique<T[]>(capacity)) {}
    SpscQueue(const SpscQueue&) = delete;
    SpscQueue& operator=(const SpscQueue&) = delete;

    // Producer thread. False when the queue is full; nothing is written then.
    bool tryPush(const T& value) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == capacity_)
            return false;
        slots_[tail % capacity_] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer thread. Empty when nothing is waiting.
    std::optional<T> tryPop() noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire))
            return std::nullopt;
        T value = slots_[head % capacity_];
        head_.store(head + 1, std::memory_order_release);
        return value;
    }

    std::size_t capacity() const noexcept { return capacity_; }

private:
    const std::size_t capacity_;
    std::unique_ptr<T[]> slots_;
    // Apart on their own cache lines so the two threads do not share one.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

} // namespace kivora::base
