// The model editor, the left pane of the main window: a canvas for drawing
// masses (nodes) and springs in the x-y plane, a properties panel for the
// selection, the list of elements, and the modal preview of the model being
// drawn. The model, its file and its undo stack are the model session's; every
// edit is an undoable command on it.
//
// Letter and digit keys are never the editor's: they play the piano. The
// editor's keys are Delete, the arrows and Escape, and with Ctrl the clipboard's
// X, C, V and D (EditorClipboard).
#pragma once

#include "session/ModelSession.h"

#include <kivora/ModalAnalysis.h>
#include <modelkit/Representation.h>

#include <QStringList>
#include <QWidget>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QAction;
class QMenu;
class QPlainTextEdit;
class QUndoStack;

namespace kivora {

class EditorClipboard;
class ModelCanvas;
class ModalPreviewWorker;
struct ModelFragment;

class ModelEditorPane : public QWidget {
    Q_OBJECT
public:
    explicit ModelEditorPane(ModelSession& session, QWidget* parent = nullptr);
    ~ModelEditorPane() override;

    ModelSession& session() const { return session_; }
    const ModelDocument& document() const { return session_.document(); }
    ModelCanvas* canvas() const { return canvas_; }

    // ---- Edits that follow the selection; every other edit is the session's.
    // Node arguments are indices into document().nodes.
    int addNode(double x, double y); // into the current element; returns the new index
    // `text` names the step in the undo history ("Delete" when empty).
    void deleteNodes(std::vector<int> nodes, const QString& text = {});
    // The selected nodes, or the selected spring.
    void deleteSelection();
    void newElement(); // and makes it the current one
    // Adds the fragment's nodes, moved by (dx, dy), to the current element with
    // fresh ids, and its links among them; selects and returns the new nodes.
    std::vector<int> insertFragment(const ModelFragment& fragment, double dx, double dy, const QString& text);

    // ---- Selection: nodes, or one spring (then no nodes).
    const std::vector<int>& selection() const { return selection_; }
    void setSelection(std::vector<int> nodes);
    // The spring between a and b, for its stiffness in the panel; ignored when there is none.
    void selectSpring(int a, int b);
    // Its end nodes, lower index first.
    std::optional<std::pair<int, int>> selectedSpring() const { return selectedSpring_; }
    int currentElement() const { return currentElement_; }
    void setCurrentElement(int element);
    double defaultStiffness() const { return defaultStiffness_; }

    // Cut, Copy, Paste and Duplicate, for the main frame's Edit menu.
    QList<QAction*> clipboardActions() const;
    EditorClipboard* clipboard() const { return clipboard_; }

    // ---- Properties panel: applies text to a field of every selected node
    // (or the selected spring, or the current element); false, with the
    // message shown beside the field, when the value is refused.
    bool applyField(NodeField field, const QString& text);
    QString fieldMessage(NodeField field) const;
    QLineEdit* fieldEdit(NodeField field) const;

    // Asks for a template's sizes in a small dialog, then starts it in the session.
    void chooseTemplate(ModelSession::Template shape);

    // "New from Template", which the main frame places in its File menu.
    QMenu* templateMenu() const { return templateMenu_; }

    // ---- Modal preview.
    const ModalPreview& preview() const { return preview_; }
    bool previewCurrent() const { return previewShown_ == previewRequested_; }
    QString previewText() const;
    void setPreviewSettings(int octaves, int sampleRate);
    StabilityForecast forecast() const;

signals:
    void previewUpdated();
    // The selected nodes or spring changed.
    void selectionChanged();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private:
    // After every change of the session's model.
    void modelChanged();
    // The session's model was opened or started anew.
    void modelReset();
    void refreshProperties();
    void refreshElements();
    void requestPreview();
    void showPreview();

    ModelSession& session_;
    std::vector<int> selection_;
    std::optional<std::pair<int, int>> selectedSpring_;
    int currentElement_ = 0;
    double defaultStiffness_ = 1000.0;

    ModelCanvas* canvas_ = nullptr;
    EditorClipboard* clipboard_ = nullptr;
    struct FieldWidgets {
        QLineEdit* edit = nullptr;
        QLabel* message = nullptr;
    };
    FieldWidgets fields_[8];
    QLabel* selectionLabel_ = nullptr;
    QCheckBox* fixedBox_ = nullptr;
    QListWidget* elementList_ = nullptr;
    QLabel* previewLabel_ = nullptr;
    QLabel* previewWarning_ = nullptr;
    QComboBox* octavesBox_ = nullptr;
    QComboBox* rateBox_ = nullptr;
    QMenu* templateMenu_ = nullptr;

    std::unique_ptr<ModalPreviewWorker> previewWorker_;
    ModalPreview preview_;
    std::uint64_t previewRequested_ = 0;
    std::uint64_t previewShown_ = 0;
    int previewOctaves_ = 2;
    int previewSampleRate_ = 44100;
};

} // namespace kivora
