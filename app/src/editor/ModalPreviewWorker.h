// Computes the modal preview of the model being edited on a thread of its own,
// so that the editor stays responsive on large models. Each request replaces
// any request not yet started; a result is delivered to the receiver as a
// ModalPreviewReadyEvent carrying the request's sequence number, and the
// receiver drops every result older than its latest request.
#pragma once

#include <kivora/ModalAnalysis.h>
#include <muntero/ModelSnapshot.h>

#include <QEvent>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

class QObject;

namespace kivora {

class ModalPreviewReadyEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 714);
    ModalPreviewReadyEvent(std::uint64_t sequence, ModalPreview preview)
        : QEvent(kType), sequence(sequence), preview(std::move(preview)) {}
    std::uint64_t sequence;
    ModalPreview preview;
};

class ModalPreviewWorker {
public:
    // Results are posted to receiver, which must outlive the worker.
    explicit ModalPreviewWorker(QObject* receiver);
    // Waits for the analysis under way, if any (bounded: one analysis).
    ~ModalPreviewWorker();
    ModalPreviewWorker(const ModalPreviewWorker&) = delete;
    ModalPreviewWorker& operator=(const ModalPreviewWorker&) = delete;

    // Interface thread. Returns the request's sequence number.
    std::uint64_t request(muntero::ModelSnapshot snapshot);

private:
    void run();

    QObject* receiver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<muntero::ModelSnapshot> pending_;
    std::uint64_t pendingSequence_ = 0;
    std::uint64_t lastSequence_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace kivora
