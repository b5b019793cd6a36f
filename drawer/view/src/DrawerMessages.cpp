#include <muntero/view/DrawerMessages.h>

#include <QMessageBox>
#include <utility>

namespace muntero::view {

namespace {

MessageHandler& messageHandler() {
    static MessageHandler handler;
    return handler;
}

} // namespace

void showMessage(QWidget* owner, const QString& text) {
    if (messageHandler()) {
        messageHandler()(owner, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, owner);
    box.exec();
}

MessageHandler setMessageHandler(MessageHandler handler) {
    return std::exchange(messageHandler(), std::move(handler));
}

} // namespace muntero::view
