// The bounded queue between two threads.
#include <kivora/base/SpscQueue.h>

#include <gtest/gtest.h>
#include <thread>

using kivora::base::SpscQueue;

TEST(SpscQueue, KeepsOrderAcrossTheWrapAndRefusesWhenFull) {
    SpscQueue<int> queue(3);
    int next = 0;
    int expected = 0;
    for (int round = 0; round < 5; ++round) {
        while (queue.tryPush(next))
            ++next;
        EXPECT_EQ(next - expected, 3) << "a full queue took another value";
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(queue.tryPop(), expected++);
    }
    while (const auto value = queue.tryPop())
        EXPECT_EQ(*value, expected++);
    EXPECT_EQ(expected, next);
}

// One producer and one consumer thread at once (the contract the header
// states): every value arrives once, in order, with no slot read before it is
// written. Under ThreadSanitizer this also checks the acquire/release pairs.
TEST(SpscQueue, CarriesValuesInOrderBetweenTwoThreads) {
    constexpr int kValues = 200000;
    SpscQueue<int> queue(16);
    std::thread producer([&] {
        for (int value = 1; value <= kValues; ++value)
            while (!queue.tryPush(value))
                std::this_thread::yield();
    });
    // Drain all of them even after a fault, so the producer ends.
    int popped = 0;
    int outOfOrder = 0;
    while (popped < kValues) {
        if (const auto value = queue.tryPop()) {
            ++popped;
            outOfOrder += *value != popped;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_FALSE(queue.tryPop().has_value());
}
