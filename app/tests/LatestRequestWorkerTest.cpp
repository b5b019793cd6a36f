#include "common/LatestRequestWorker.h"

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kivora {
namespace {

using namespace std::chrono_literals;

// A door the worker's job waits at, opened by the test (never waits forever).
class Gate {
public:
    void open() { opened_.set_value(); }
    bool waitOpen() const { return future_.wait_for(10s) == std::future_status::ready; }

private:
    std::promise<void> opened_;
    std::shared_future<void> future_ = opened_.get_future().share();
};

// Spins without running the event loop, so nothing is delivered meanwhile.
bool spinUntil(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!flag.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return flag.load();
}

struct Received {
    std::vector<std::pair<std::uint64_t, int>> results;
    std::vector<std::pair<std::uint64_t, QString>> errors;
};

std::unique_ptr<LatestRequestWorker<int>> makeWorker(QObject& receiver, Received& received) {
    return std::make_unique<LatestRequestWorker<int>>(
        &receiver, [&](std::uint64_t id, int value) { received.results.emplace_back(id, value); },
        [&](std::uint64_t id, const QString& text) { received.errors.emplace_back(id, text); });
}

TEST(LatestRequestWorker, OnlyTheNewestRequestsResultArrives) {
    QObject receiver;
    Received received;
    auto worker = makeWorker(receiver, received);
    Gate firstMayEnd;
    std::atomic<bool> firstStarted{false};
    std::atomic<int> jobsRun{0};
    EXPECT_EQ(worker->request([&] {
        ++jobsRun;
        firstStarted = true;
        firstMayEnd.waitOpen();
        return 1;
    }),
              1u);
    ASSERT_TRUE(spinUntil(firstStarted));
    // While the first runs, the second is replaced by the third before it starts.
    EXPECT_EQ(worker->request([&] { return ++jobsRun, 2; }), 2u);
    EXPECT_EQ(worker->request([&] { return ++jobsRun, 3; }), 3u);
    firstMayEnd.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !received.results.empty(); }, 10000));
    QTest::qWait(20); // anything stale would have arrived by now
    EXPECT_EQ(received.results, (std::vector<std::pair<std::uint64_t, int>>{{3, 3}}));
    EXPECT_EQ(jobsRun.load(), 2); // the replaced request never ran
    EXPECT_TRUE(received.errors.empty());

    // A result already on its way when a newer request comes is dropped too.
    std::atomic<bool> fourthDone{false};
    worker->request([&] { return fourthDone = true, 4; });
    ASSERT_TRUE(spinUntil(fourthDone));
    std::this_thread::sleep_for(20ms); // let it be posted (dropped on the worker otherwise: same outcome)
    worker->request([] { return 5; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.results.size() == 2; }, 10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(received.results.back(), (std::pair<std::uint64_t, int>{5, 5}));
    EXPECT_EQ(received.results.size(), 2u);
}

TEST(LatestRequestWorker, AThrowingJobArrivesAsItsTextAndTheWorkerGoesOn) {
    QObject receiver;
    Received received;
    auto worker = makeWorker(receiver, received);
    worker->request([]() -> int { throw std::runtime_error("no memory for resonators"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.errors.size() == 1; }, 10000));
    // The engine's own kinds are decoded as the window decodes them.
    worker->request([]() -> int { throw std::string("Can't open instrument file\n"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.errors.size() == 2; }, 10000));
    worker->request([] { return 7; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.results.size() == 1; }, 10000));
    EXPECT_EQ(received.errors, (std::vector<std::pair<std::uint64_t, QString>>{
                                   {1, "no memory for resonators"}, {2, "Can't open instrument file"}}));
    EXPECT_EQ(received.results.front(), (std::pair<std::uint64_t, int>{3, 7}));
}

TEST(LatestRequestWorker, DestructionWaitsForTheJobInFlightOnlyAndDeliversNothingAfter) {
    QObject receiver;
    Received received;
    auto worker = makeWorker(receiver, received);
    Gate mayEnd;
    std::atomic<bool> started{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> waitingRan{false};
    worker->request([&] {
        started = true;
        mayEnd.waitOpen();
        ended = true;
        return 1;
    });
    ASSERT_TRUE(spinUntil(started));
    worker->request([&] { return waitingRan = true, 2; });
    std::thread opener([&] {
        std::this_thread::sleep_for(30ms);
        mayEnd.open();
    });
    worker.reset();
    opener.join();
    EXPECT_TRUE(ended.load());       // the job in flight finished before the destructor returned
    EXPECT_FALSE(waitingRan.load()); // the waiting one never started
    QCoreApplication::processEvents();
    EXPECT_TRUE(received.results.empty());

    // A result posted but not yet delivered when the worker goes is dropped
    // (its handlers went with it).
    worker = makeWorker(receiver, received);
    std::atomic<bool> done{false};
    worker->request([&] { return done = true, 3; });
    ASSERT_TRUE(spinUntil(done));
    worker.reset(); // joins: the result is posted by now
    QCoreApplication::processEvents();
    EXPECT_TRUE(received.results.empty());
    EXPECT_TRUE(received.errors.empty());

    // A worker never asked for anything has no thread to stop.
    makeWorker(receiver, received).reset();
}

} // namespace
} // namespace kivora
