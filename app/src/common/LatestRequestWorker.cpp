#include "common/LatestRequestWorker.h"

namespace kivora {

LatestRequestRunner::LatestRequestRunner(QObject* /*receiver: its thread makes the runner*/,
                                         ErrorHandler onError)
    : onError_(std::move(onError)), job_(nullptr, QString()) {
    job_.setDialogDelayMs(BackgroundJob::kNoDialog);
}

std::uint64_t LatestRequestRunner::submit(Job job) {
    const std::uint64_t id = ++latestId_;
    waiting_.emplace(id, std::move(job));
    if (!job_.isRunning())
        startWaiting();
    return id;
}

void LatestRequestRunner::startWaiting() {
    if (!waiting_)
        return;
    auto [id, job] = std::move(*waiting_);
    waiting_.reset();
    // Written by the worker, read after the job has ended.
    auto delivery = std::make_shared<Delivery>();
    job_.start([job = std::move(job), delivery](const BackgroundJob::StopCheck&) { *delivery = job(); },
               [this, id = id, delivery] { ended(id, *delivery, nullptr); },
               [this, id = id](const QString& text) { ended(id, {}, &text); });
}

void LatestRequestRunner::ended(std::uint64_t id, const Delivery& delivery, const QString* error) {
    if (id == latestId_) {
        if (error != nullptr)
            onError_(id, *error);
        else
            delivery(id);
    }
    startWaiting();
}

} // namespace kivora
