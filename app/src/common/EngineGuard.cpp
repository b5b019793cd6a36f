#include "common/EngineGuard.h"

#include <QMessageBox>
#include <new>
#include <utility>

namespace kivora {

namespace {

MessageHandler& messageHandler() {
    static MessageHandler handler;
    return handler;
}

QString withoutTrailingLineFeeds(QString text) {
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
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

QString currentExceptionText() {
    try {
        throw;
    } catch (const std::string& message) {
        return withoutTrailingLineFeeds(QString::fromLocal8Bit(message.c_str()));
    } catch (const char* message) {
        return withoutTrailingLineFeeds(QString::fromLocal8Bit(message != nullptr ? message : ""));
    } catch (const pellamy::InitFailedException& failure) {
        return withoutTrailingLineFeeds(QString::fromLocal8Bit(failure.message().c_str()));
    } catch (const std::bad_alloc&) {
        return QStringLiteral("out of memory");
    } catch (const std::exception& failure) {
        return withoutTrailingLineFeeds(QString::fromLocal8Bit(failure.what()));
    } catch (...) {
        return QStringLiteral("Unknown failure");
    }
}

} // namespace kivora
