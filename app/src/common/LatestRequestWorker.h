// A background computation where only the newest request matters: the
// spectrum of the note just played, the modes of the model as drawn now.
//
// The requests run one at a time as background jobs (BackgroundJob.h). A
// request replaces one still waiting; a job already running finishes, but its
// result is dropped when a newer request has come meanwhile. Results and
// errors arrive on the thread that made the worker; an exception thrown by a
// job arrives as its text, never ending the program.
//
// Threads: construction, request and destruction on the receiver's thread;
// the handlers run there too. The receiver must outlive the worker (make the
// worker a member of it). Destruction waits for the job in flight only.
#pragma once

#include "common/BackgroundJob.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace kivora {

// The queue of one and the hand-over, free of the result's type.
class LatestRequestRunner {
public:
    // Runs on the receiver's thread with the request's id.
    using Delivery = std::function<void(std::uint64_t id)>;
    // Runs on the worker thread; returns what to deliver.
    using Job = std::function<Delivery()>;
    using ErrorHandler = std::function<void(std::uint64_t id, const QString& text)>;

    LatestRequestRunner(QObject* receiver, ErrorHandler onError);
    LatestRequestRunner(const LatestRequestRunner&) = delete;
    LatestRequestRunner& operator=(const LatestRequestRunner&) = delete;

    // Returns the request's id, one more than the previous request's. Throws
    // std::system_error only when the worker thread cannot be started.
    std::uint64_t submit(Job job);
    std::uint64_t latestRequest() const { return latestId_; }

private:
    void startWaiting();
    // A request's end: delivers it unless a newer one came, then starts the one waiting.
    void ended(std::uint64_t id, const Delivery& delivery, const QString* error);

    ErrorHandler onError_;
    std::uint64_t latestId_ = 0;
    std::optional<std::pair<std::uint64_t, Job>> waiting_;
    BackgroundJob job_; // last: stopped before the rest goes
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
