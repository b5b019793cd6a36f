// Every call the window layer makes into the engine goes through guarded():
// whatever the engine throws (a std::string, a character string,
// InitFailedException or a standard exception) is shown in a message box
// with its text and never ends the program.
#pragma once

#include <pellamy/InitFailedException.h>

#include <QString>
#include <exception>
#include <functional>
#include <string>

class QWidget;

namespace kivora {

// Shows a message box owned by `owner` with `text`, `caption` (none by
// default) and an OK button: every message of the window goes this one way.
// Tests replace it with setMessageHandler.
void showMessage(QWidget* owner, const QString& text, const QString& caption = {});

using MessageHandler = std::function<void(QWidget* owner, const QString& text)>;
// Replaces the message box (an empty handler restores it); returns the previous handler.
MessageHandler setMessageHandler(MessageHandler handler);

// The text of the exception being handled, as pellamy::currentExceptionMessage
// decodes it (without trailing line feeds).
QString currentExceptionText();

enum class DeviceFailure { Report, Rethrow };

// Runs `call`; true when it returned. On a throw shows the text and returns
// false. With DeviceFailure::Rethrow an InitFailedException passes through
// for the caller to handle.
template <typename Call>
bool guarded(QWidget* owner, Call&& call, DeviceFailure deviceFailure = DeviceFailure::Report) {
    try {
        call();
        return true;
    } catch (const pellamy::InitFailedException&) {
        if (deviceFailure == DeviceFailure::Rethrow)
            throw;
        showMessage(owner, currentExceptionText());
    } catch (...) {
        showMessage(owner, currentExceptionText());
    }
    return false;
}

} // namespace kivora
