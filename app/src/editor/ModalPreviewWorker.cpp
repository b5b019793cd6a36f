#include "editor/ModalPreviewWorker.h"

#include <QCoreApplication>

namespace kivora {

ModalPreviewWorker::ModalPreviewWorker(QObject* receiver) : receiver_(receiver), thread_([this] { run(); }) {}

ModalPreviewWorker::~ModalPreviewWorker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.reset();
    }
    wake_.notify_one();
    thread_.join();
}

std::uint64_t ModalPreviewWorker::request(muntero::ModelSnapshot snapshot) {
    std::uint64_t sequence = 0;
    {
        const std::lock_guard lock(mutex_);
        sequence = ++lastSequence_;
        pending_ = std::move(snapshot);
        pendingSequence_ = sequence;
    }
    wake_.notify_one();
    return sequence;
}

void ModalPreviewWorker::run() {
    for (;;) {
        muntero::ModelSnapshot snapshot;
        std::uint64_t sequence = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
            if (stopping_)
                return;
            snapshot = std::move(*pending_);
            pending_.reset();
            sequence = pendingSequence_;
        }
        ModalPreview preview = analyseModes(snapshot);
        {
            // Posting under the lock keeps the destructor from returning while
            // an event for a receiver about to die is still being posted.
            const std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            QCoreApplication::postEvent(receiver_, new ModalPreviewReadyEvent(sequence, std::move(preview)));
        }
    }
}

} // namespace kivora
