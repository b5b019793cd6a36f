#include "common/LatestRequestWorker.h"

#include <pellamy/ErrorText.h>

namespace kivora {

LatestRequestRunner::LatestRequestRunner(QObject* receiver, ErrorHandler onError)
    : receiver_(receiver), onError_(std::move(onError)) {}

LatestRequestRunner::~LatestRequestRunner() {
    shared_->alive = false; // calls already queued find the runner gone
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.reset();
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

std::uint64_t LatestRequestRunner::submit(Job job) {
    const std::uint64_t id = ++shared_->latestId;
    std::optional<std::pair<std::uint64_t, Job>> replaced;
    {
        const std::lock_guard lock(mutex_);
        // The replaced request's data is freed outside the lock.
        replaced = std::exchange(pending_, std::make_pair(id, std::move(job)));
    }
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    wake_.notify_one();
    return id;
}

void LatestRequestRunner::run() {
    for (;;) {
        std::pair<std::uint64_t, Job> request;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
            if (stopping_)
                return;
            request = std::move(*pending_);
            pending_.reset();
        }
        Delivery delivery;
        std::optional<std::string> error;
        try {
            delivery = request.second();
        } catch (...) {
            // Decoding never throws; the text becomes a QString on the
            // receiver's thread.
            error = pellamy::currentExceptionMessage();
        }
        request.second = nullptr;
        {
            const std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (pending_)
                continue; // a newer request waits: this result is stale already
        }
        deliver(request.first, std::move(delivery), std::move(error));
    }
}

void LatestRequestRunner::deliver(std::uint64_t id, Delivery delivery, std::optional<std::string> error) {
    // Queued to the receiver, which outlives the runner: its pending calls go
    // with it. The runner may be gone by the time the call runs; `shared`
    // says so.
    QMetaObject::invokeMethod(
        receiver_,
        [this, shared = shared_, id, delivery = std::move(delivery), error = std::move(error)] {
            if (!shared->alive || id != shared->latestId)
                return;
            if (error)
                onError_(id, QString::fromLocal8Bit(*error));
            else
                delivery(id);
        },
        Qt::QueuedConnection);
}

} // namespace kivora
