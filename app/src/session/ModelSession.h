// The model the window works on: the one owner of the drawn model, its file,
// its undo stack and whether it is saved. Every edit is a command here, one
// step of the undo stack; the editor pane only chooses them. The drawer and
// the generation run read the representation; they follow it through the
// session's signals.
//
// Interface thread only.
#pragma once

#include "common/FileChooser.h"
#include "common/UnsavedChanges.h"
#include "session/ModelDocument.h"
#include "session/RecentFiles.h"

#include <modelkit/Representation.h>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

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

    // ---- Edits: each one step of the undo stack, named as Edit > Undo shows
    // it. Nodes are indices into document().nodes; an edit that names no such
    // node, or would change nothing, is not made.

    // A node at (x, y) in `element`; the first node of a model brings its
    // element along. Returns the new node's index, or -1.
    int addNode(double x, double y, int element);
    // A spring acting on both ends, unless the two are joined already.
    void addSpring(int a, int b, double stiffness);
    // A spring of second's element that pulls second only.
    void addElementLink(int first, int second, double stiffness);
    void toggleFixed(const std::vector<int>& nodes);
    void setFlag(int node);
    void moveNodes(const std::vector<int>& nodes, double dx, double dy);
    // With their springs and the flag; `text` names the step ("Delete" when empty).
    void deleteNodes(const std::vector<int>& nodes, const QString& text = {});
    void deleteSpring(int a, int b); // both directions
    // Returns the new element's index.
    int newElement();
    void deleteElement(int element);                     // with its nodes
    void moveElement(int element, double dx, double dy); // its origin and its nodes
    // Appends `nodes` moved by (dx, dy) to `element` under fresh ids, with
    // `links` among them (indices into `nodes`); returns their new indices.
    std::vector<int> insertNodes(std::vector<EditorNode> nodes, std::vector<EditorLink> links, int element,
                                 double dx, double dy, const QString& text);

    // Property edits: false when fieldRefusal refuses the value or there is
    // nothing to set. `field` is one of X, Y, Mass, X0 and V0.
    bool setNodeField(NodeField field, const std::vector<int>& nodes, double value);
    bool setStiffness(int a, int b, double value); // the spring between a and b
    bool setOrigin(int element, double x, double y);

    // Replaces the whole model, undoably.
    void replace(ModelDocument document, const QString& text);
    enum class Template { PluckedString, Membrane, FreeBar, CoupledElements };
    // After the unsaved-changes question, a template's model in place of this
    // one, undoably. `size` counts masses (rows of the membrane); `columns` is
    // the membrane's. False when the user cancelled.
    bool newFromTemplate(Template shape, int size, int columns = 0);

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
    friend class ModelEdit;
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
