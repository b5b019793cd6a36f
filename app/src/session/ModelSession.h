// The model the window works on: the one owner of the drawn model, its file,
// its undo stack and whether it is saved. The editor edits it, the drawer and
// the generation run read its representation; they follow it through its
// signals.
//
// Interface thread only.
#pragma once

#include "common/FileChooser.h"
#include "common/UnsavedChanges.h"
#include "editor/ModelDocument.h"
#include "session/RecentFiles.h"

#include <modelkit/Representation.h>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>

class QUndoStack;

namespace kivora {

class ModelSession : public QObject {
    Q_OBJECT
public:
    explicit ModelSession(QObject* parent = nullptr);
    ~ModelSession() override;

    // The window that owns the message boxes, prompts and file dialogs.
    void setDialogOwner(QWidget* owner) { dialogOwner_ = owner; }
    QWidget* dialogOwner() const { return dialogOwner_; }
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    const FileChooser& fileChooser() const { return fileChooser_; }
    void setUnsavedPrompt(UnsavedPrompt prompt) { unsavedPrompt_ = std::move(prompt); }

    // The model as the drawer and the generation run read it: the same object
    // for the life of the session, rewritten after every change.
    InstrumentKit::Representation& representation() { return *representation_; }
    // The model as the editor edits it.
    const ModelDocument& document() const { return document_; }
    QUndoStack* undoStack() const { return undoStack_; }

    // One undoable edit: `redo` changes the document, `undo` takes the change back.
    void edit(const QString& text, std::function<void(ModelDocument&)> redo,
              std::function<void(ModelDocument&)> undo);
    // Replaces the whole model (a template), undoably.
    void replace(ModelDocument document, const QString& text);

    // ---- Files, without prompts. A refused file leaves the model as it was and says why.
    bool openFile(const QString& path);
    bool saveToFile(const QString& path);
    bool isModified() const;
    QString filePath() const { return filePath_; }
    // Kept in the settings: the list outlives the program.
    QStringList recentFiles() const { return recentFiles_.paths(); }
    // Opens a file of the recent list; one that fails leaves the list.
    bool openRecentFile(const QString& path);
    // "NAME[*]", "Untitled model[*]" for an edited model without a file, or
    // empty for a new untouched one: the model's part of the window title.
    QString windowTitleText() const;

    // ---- Commands with dialogs.
    // True when nothing unsaved would be lost, or the user saved or discarded it.
    bool maybeSave();
    void open();
    bool save(); // to the current file, or Save As
    bool saveAs();
    void newModel();

signals:
    // After every change of the model: an edit, undo, redo, open or new.
    void changed();
    // The model was opened or started anew (not an edit): views start afresh.
    void reset();
    // The file or the saved state changed.
    void titleChanged();
    void recentFilesChanged();

private:
    friend class DocumentCommand;
    void documentChanged();
    void setFilePath(const QString& path);

    QPointer<QWidget> dialogOwner_;
    FileChooser fileChooser_;
    UnsavedPrompt unsavedPrompt_;
    std::unique_ptr<InstrumentKit::Representation> representation_;
    ModelDocument document_;
    QUndoStack* undoStack_ = nullptr;
    QString filePath_;
    RecentFiles recentFiles_{QStringLiteral("recent/models")};
};

} // namespace kivora
