// The model editor's side of the main frame: its file commands, undo and
// redo, the title with the unsaved mark, and the question before closing.
#include "editor/ModelEditorPane.h"
#include "window/CMainFrame.h"

#include <muntero/view/CDrawerFrame.h>
#include <muntero/view/CDrawerView.h>

#include <QCloseEvent>
#include <QMenu>
#include <QUndoStack>

namespace kivora {

void CMainFrame::installModelEditor(ModelEditorPane* editor) {
    modelEditor_ = editor;
    setEditorPane(editor);
    setEditorCommands([editor] { editor->open(); }, [editor] { editor->save(); });
    editor->fileMenuActionsInto(fileMenu_);

    // Edit > Undo becomes the editor's; Redo follows it.
    QUndoStack* stack = editor->undoStack();
    QAction* undo = stack->createUndoAction(editMenu_, tr("&Undo"));
    undo->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)});
    QAction* redo = stack->createRedoAction(editMenu_, tr("&Redo"));
    redo->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)});
    editMenu_->insertAction(undoAction_, undo);
    editMenu_->insertAction(undoAction_, redo);
    editMenu_->removeAction(undoAction_);
    delete undoAction_;
    undoAction_ = undo;

    auto updateTitle = [this, editor] {
        setWindowTitle(editor->windowTitleText());
        setWindowModified(editor->isModified());
    };
    connect(editor, &ModelEditorPane::titleChanged, this, updateTitle);
    connect(editor, &ModelEditorPane::modelEdited, this, updateTitle);
    connect(editor, &ModelEditorPane::modelEdited, this, &CMainFrame::modelEdited);
    updateTitle();

    // The drawer shows the edited model: on Refresh, or after every edit
    // while "Follow Edits" is checked.
    if (drawerFrame_ != nullptr) {
        drawerFrame_->setRepresentation(&editor->representation());
        auto* follow = new QAction(tr("&Follow Edits"), this);
        follow->setCheckable(true);
        follow->setStatusTip(tr("Refresh the drawer after every edit of the model"));
        modelMenu_->addSeparator();
        modelMenu_->addAction(follow);
        connect(this, &CMainFrame::modelEdited, this, [this, follow] {
            if (follow->isChecked() && drawerFrame_->action(CDrawerView::RefreshCommand) != nullptr)
                drawerFrame_->action(CDrawerView::RefreshCommand)->trigger();
        });
    }
}

InstrumentKit::Representation& CMainFrame::model() const {
    return modelEditor_ != nullptr ? modelEditor_->representation() : *model_;
}

InstrumentKit::Representation* CMainFrame::representation() const {
    return modelEditor_ != nullptr ? &modelEditor_->representation() : nullptr;
}

bool CMainFrame::openModelInEditor(const QString& path) {
    return modelEditor_->maybeSave() && modelEditor_->openModelFile(path);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (modelEditor_ != nullptr && !modelEditor_->maybeSave()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

} // namespace kivora
