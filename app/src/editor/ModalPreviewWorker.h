// Computes the modal preview of the model being edited on a thread of its own,
// so that the editor stays responsive on large models. Each request replaces
// any request not yet started; a result is delivered to the receiver as a
// ModalPreviewReadyEvent carrying the request's sequence number, and the
// receiver drops every result older than its latest request. An analysis that
// fails arrives as a preview whose `unavailable` says why.
#pragma once

#include "common/LatestRequestWorker.h"

#include <kivora/ModalAnalysis.h>
#include <muntero/ModelSnapshot.h>

#include <QEvent>
#include <cstdint>

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
    LatestRequestWorker<ModalPreview> worker_;
};

} // namespace kivora
