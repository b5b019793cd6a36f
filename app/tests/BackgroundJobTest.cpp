// Long work on a worker thread: where it runs, the progress dialog and its
// Cancel, failures as one message each, and an interface that keeps
// handling events meanwhile.
#include "common/BackgroundJob.h"

#include "AppTestSupport.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::waitUntil;

// Work that runs until it is asked to stop or `released` is set, bounded so
// that a fault cannot hang the suite.
void waitForRelease(const BackgroundJob::StopCheck& stopRequested, const std::atomic<bool>& released) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stopRequested() && !released && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(BackgroundJob, WorksOffTheInterfaceThreadAndCompletesOnIt) {
    CapturedMessages messages;
    QWidget owner;
    BackgroundJob job(&owner, QStringLiteral("Working"));
    std::thread::id workThread;
    std::thread::id completionThread;
    std::atomic<bool> released{false};
    ASSERT_TRUE(job.start(
        [&](const BackgroundJob::StopCheck& stop) {
            workThread = std::this_thread::get_id();
            waitForRelease(stop, released);
        },
        [&] { completionThread = std::this_thread::get_id(); }));
    EXPECT_TRUE(job.isRunning());
    EXPECT_EQ(BackgroundJob::runningCount(), 1);
    // A second job waits for the first to end.
    EXPECT_FALSE(job.start([](const BackgroundJob::StopCheck&) {}));
    released = true;
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_NE(workThread, std::this_thread::get_id());
    EXPECT_NE(workThread, std::thread::id());
    EXPECT_EQ(completionThread, std::this_thread::get_id());
    EXPECT_EQ(BackgroundJob::runningCount(), 0);
    EXPECT_TRUE(messages.texts.isEmpty());
}

TEST(BackgroundJob, TheDialogAppearsForLongWorkAndCancelStopsIt) {
    CapturedMessages messages;
    QWidget owner;
    BackgroundJob job(&owner, QStringLiteral("Working"));

    // Quick work is over before the dialog's delay.
    ASSERT_TRUE(job.start([](const BackgroundJob::StopCheck&) {}));
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    QTest::qWait(BackgroundJob::kDefaultDialogDelayMs + 50);
    EXPECT_EQ(job.dialog(), nullptr);

    job.setDialogDelayMs(20);
    bool completed = false;
    std::atomic<bool> sawStop{false};
    const std::atomic<bool> never{false};
    ASSERT_TRUE(job.start(
        [&](const BackgroundJob::StopCheck& stop) {
            waitForRelease(stop, never);
            sawStop = stop();
            if (sawStop)
                throw std::string("Rendering stopped: nothing written");
        },
        [&] { completed = true; }));
    ASSERT_TRUE(waitUntil([&] { return job.dialog() != nullptr && job.dialog()->isVisible(); }));
    EXPECT_FALSE(job.dialog()->isModal());
    EXPECT_EQ(job.dialog()->statusText(), "Working");
    job.dialog()->cancelButton()->click();
    EXPECT_EQ(job.dialog()->statusText(), "Stopping...") << "the dialog stays until the work has ended";
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_TRUE(sawStop);
    EXPECT_FALSE(completed);
    EXPECT_EQ(job.dialog(), nullptr);
    EXPECT_TRUE(messages.texts.isEmpty()) << "a cancelled job says nothing";
}

TEST(BackgroundJob, AnyExceptionBecomesOneMessage) {
    CapturedMessages messages;
    QWidget owner;
    BackgroundJob job(&owner, QStringLiteral("Working"));
    bool completed = false;
    const auto run = [&](BackgroundJob::Work work) {
        ASSERT_TRUE(job.start(std::move(work), [&] { completed = true; }));
        ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    };
    run([](const BackgroundJob::StopCheck&) { throw std::runtime_error("disk full\n"); });
    run([](const BackgroundJob::StopCheck&) { throw std::string("Can't open WAV file x.wav"); });
    run([](const BackgroundJob::StopCheck&) { throw "Error creating buffer"; });
    run([](const BackgroundJob::StopCheck&) { throw 42; });
    EXPECT_EQ(messages.texts, QStringList({"disk full", "Can't open WAV file x.wav", "Error creating buffer",
                                           "Unknown failure"}));
    EXPECT_FALSE(completed);
    // A completion that throws is shown the same way.
    ASSERT_TRUE(job.start([](const BackgroundJob::StopCheck&) {}, [] { throw std::string("no device"); }));
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_EQ(messages.texts.size(), 5);
    EXPECT_EQ(messages.texts.back(), "no device");
}

TEST(BackgroundJob, TheInterfaceHandlesEventsWhileTheWorkRuns) {
    QWidget owner;
    BackgroundJob job(&owner, QStringLiteral("Working"));
    // The work ends only when a timer of the interface thread has fired a
    // few times: it would wait out its bound if the interface were blocked.
    std::atomic<int> ticks{0};
    std::atomic<bool> released{false};
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 5)
            released = true;
    });
    timer.start(10);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(job.start([&](const BackgroundJob::StopCheck& stop) { waitForRelease(stop, released); }));
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_GE(ticks, 5);
    EXPECT_LT(clock.elapsed(), 10000);

    // A job destroyed while it runs stops its work and waits for it.
    std::atomic<bool> stopped{false};
    {
        BackgroundJob doomed(&owner, QStringLiteral("Working"));
        const std::atomic<bool> never{false};
        ASSERT_TRUE(doomed.start([&](const BackgroundJob::StopCheck& stop) {
            waitForRelease(stop, never);
            stopped = stop();
        }));
    }
    EXPECT_TRUE(stopped);
    EXPECT_EQ(BackgroundJob::runningCount(), 0);
}

} // namespace
} // namespace kivora
