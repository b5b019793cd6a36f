// A background computation where only the newest request matters: the
// spectrum of the note just played, the modes of the model as drawn now.
//
// One worker thread, started by the first request. A request replaces one
// still waiting; a job already running finishes, but its result is dropped
// when a newer request has come meanwhile. Results and errors reach the
// receiver's thread as queued calls; an exception thrown by a job is caught
// on the worker and delivered as its text, never ending the program.
//
// Threads: construction, request and destruction on the receiver's thread;
// the handlers run there too. The receiver must outlive the worker (make the
// worker a member of it). Destruction waits for the job in flight only.
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace kivora {

// The thread and the hand-over, free of the result's type.
class LatestRequestRunner {
public:
    // Runs on the receiver's thread with the request's id.
    using Delivery = std::function<void(std::uint64_t id)>;
    // Runs on the worker thread; returns what to deliver.
    using Job = std::function<Delivery()>;
    using ErrorHandler = std::function<void(std::uint64_t id, const QString& text)>;

    LatestRequestRunner(QObject* receiver, ErrorHandler onError);
    ~LatestRequestRunner();
    LatestRequestRunner(const LatestRequestRunner&) = delete;
    LatestRequestRunner& operator=(const LatestRequestRunner&) = delete;

    // Returns the request's id, one more than the previous request's. Throws
    // std::system_error only when the worker thread cannot be started.
    std::uint64_t submit(Job job);
    std::uint64_t latestRequest() const { return shared_->latestId; }

private:
    // Outlives the runner in the queued calls, which check it before touching
    // the runner. Receiver's thread only.
    struct Shared {
        bool alive = true;
        std::uint64_t latestId = 0;
    };
    void run();
    void deliver(std::uint64_t id, Delivery delivery, std::optional<std::string> error);

    QObject* receiver_;
    ErrorHandler onError_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::pair<std::uint64_t, Job>> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

template <class Result>
class LatestRequestWorker {
public:
    using ResultHandler = std::function<void(std::uint64_t id, Result result)>;
    using ErrorHandler = LatestRequestRunner::ErrorHandler;

    LatestRequestWorker(QObject* receiver, ResultHandler onResult, ErrorHandler onError)
        : onResult_(std::move(onResult)), runner_(receiver, std::move(onError)) {}

    // `job` runs on the worker thread (unless a newer request replaces it
    // first); it owns whatever it needs, copied or moved in.
    std::uint64_t request(std::function<Result()> job) {
        return runner_.submit([this, job = std::move(job)]() -> LatestRequestRunner::Delivery {
            // Shared so that the delivery stays copyable for a move-only Result.
            auto result = std::make_shared<Result>(job());
            return [this, result](std::uint64_t id) { onResult_(id, std::move(*result)); };
        });
    }
    std::uint64_t latestRequest() const { return runner_.latestRequest(); }

private:
    ResultHandler onResult_;
    LatestRequestRunner runner_; // last: stopped before the handler goes
};

} // namespace kivora
