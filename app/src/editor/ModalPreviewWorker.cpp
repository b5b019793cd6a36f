#include "editor/ModalPreviewWorker.h"

#include <QCoreApplication>

namespace kivora {

namespace {

// Delivered on the receiver's thread, so sent rather than posted again.
void sendPreview(QObject* receiver, std::uint64_t sequence, ModalPreview preview) {
    ModalPreviewReadyEvent ready(sequence, std::move(preview));
    QCoreApplication::sendEvent(receiver, &ready);
}

} // namespace

ModalPreviewWorker::ModalPreviewWorker(QObject* receiver)
    : worker_(
          receiver,
          [receiver](std::uint64_t sequence, ModalPreview preview) {
              sendPreview(receiver, sequence, std::move(preview));
          },
          [receiver](std::uint64_t sequence, const QString& text) {
              ModalPreview failed;
              failed.unavailable = QCoreApplication::translate("kivora::ModalPreviewWorker",
                                                               "The modes could not be computed: %1")
                                       .arg(text)
                                       .toStdString();
              sendPreview(receiver, sequence, std::move(failed));
          }) {}

ModalPreviewWorker::~ModalPreviewWorker() = default;

std::uint64_t ModalPreviewWorker::request(muntero::ModelSnapshot snapshot) {
    return worker_.request([snapshot = std::move(snapshot)] { return analyseModes(snapshot); });
}

} // namespace kivora
