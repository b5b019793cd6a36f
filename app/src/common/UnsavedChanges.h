// The question asked before unsaved work would be lost.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace kivora {

enum class UnsavedAnswer { Save, Discard, Cancel };

// Asks `question` in a message box with Save, Discard and Cancel; tests put
// their own answer in its place.
using UnsavedPrompt = std::function<UnsavedAnswer(QWidget* owner, const QString& question)>;
UnsavedAnswer askAboutUnsavedChanges(QWidget* owner, const QString& question);

} // namespace kivora
