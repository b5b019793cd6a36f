// How the drawer tells the user about a failure it caught: a message box by
// default; the window may route the texts through its own messages, and
// tests replace the handler to read them.
#pragma once

#include <muntero/view/Export.h>

#include <QString>
#include <functional>

class QWidget;

namespace muntero::view {

using MessageHandler = std::function<void(QWidget* owner, const QString& text)>;

// Shows text in a message box owned by owner (no caption, an OK button), or
// hands it to the handler set with setMessageHandler.
MUNTERO_VIEW_API void showMessage(QWidget* owner, const QString& text);

// Replaces the message box (an empty handler restores it); returns the
// previous handler.
MUNTERO_VIEW_API MessageHandler setMessageHandler(MessageHandler handler);

} // namespace muntero::view
