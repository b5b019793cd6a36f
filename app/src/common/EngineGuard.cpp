#include "common/EngineGuard.h"

#include <pellamy/ErrorText.h>

#include <QMessageBox>
#include <utility>

namespace kivora {

namespace {

MessageHandler& messageHandler() {
    static MessageHandler handler;
    return handler;
}

} // namespace

void showMessage(QWidget* owner, const QString& text, const QString& caption) {
    if (messageHandler()) {
        messageHandler()(owner, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

MessageHandler setMessageHandler(MessageHandler handler) {
    return std::exchange(messageHandler(), std::move(handler));
}

QString currentExceptionText() {
    return QString::fromLocal8Bit(pellamy::currentExceptionMessage());
}

} // namespace kivora
