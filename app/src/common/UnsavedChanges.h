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

// Asks `question`; true when the work may go: the user discarded it, or saved
// it and `save` succeeded.
bool settleUnsavedChanges(const UnsavedPrompt& prompt, QWidget* owner, const QString& question,
                          const std::function<bool()>& save);

} // namespace kivora
