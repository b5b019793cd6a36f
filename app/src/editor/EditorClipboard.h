// Cut, Copy, Paste and Duplicate of the editor's selected nodes with the
// springs among them, through the system clipboard (JSON text, see
// ModelFragment). Each is one undoable step on the model session. The actions
// answer Ctrl+X, Ctrl+C, Ctrl+V and Ctrl+D (and Shift+Delete, Ctrl+Insert and
// Shift+Insert for the first three) while the focus is inside the editor
// pane, where a field of the panel keeps its own text-editing keys; the main
// frame shows them in its Edit menu. With Ctrl held these keys never play notes.
#pragma once

#include "editor/ModelFragment.h"

#include <QList>
#include <QObject>
#include <optional>

class QAction;

namespace kivora {

class ModelEditorPane;

class EditorClipboard : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kMimeType = "application/x-kivora-model-fragment";

    explicit EditorClipboard(ModelEditorPane* editor);

    // Cut, Copy, Paste, Duplicate: enabled while there is a selection of nodes
    // (Paste: while the clipboard holds a fragment).
    QList<QAction*> actions() const { return {cut_, copy_, paste_, duplicate_}; }

    void cut();
    void copy();
    // Inserts the clipboard's nodes into the current element and selects them.
    // They land where they were copied from, moved on by grid steps down and
    // to the right until the first of them covers no node of the model.
    void paste();
    // A copy of the selection one grid step further, without the clipboard.
    void duplicate();

    // The fragment the system clipboard holds, if any.
    static std::optional<ModelFragment> clipboardFragment();

private:
    void updateActions();
    void insert(const ModelFragment& fragment, int firstStep, const QString& text);

    ModelEditorPane* editor_;
    QAction* cut_ = nullptr;
    QAction* copy_ = nullptr;
    QAction* paste_ = nullptr;
    QAction* duplicate_ = nullptr;
    bool clipboardHoldsFragment_ = false;
};

} // namespace kivora
