// The model editor, the left pane of the main window: a canvas for drawing
// masses (nodes) and springs in the x-y plane, a properties panel for the
// selection, the list of elements, and the modal preview of the model being
// drawn. Every edit is an undoable command; after each one the shared
// representation is rewritten and modelEdited() is emitted.
//
// Letter and digit keys are never the editor's: they play the piano. The
// editor's keys are Delete, the arrows and Escape.
#pragma once

#include "common/FileChooser.h"
#include "editor/ModelDocument.h"

#include <kivora/ModalAnalysis.h>
#include <modelkit/Representation.h>

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QUndoStack;

namespace kivora {

class ModelCanvas;
class ModalPreviewWorker;

// Properties of the selection that the panel edits.
enum class NodeField { X, Y, Mass, X0, V0, Stiffness, OriginX, OriginY };

// What the user answers when unsaved changes are about to be lost.
enum class UnsavedAnswer { Save, Discard, Cancel };

class ModelEditorPane : public QWidget {
    Q_OBJECT
public:
    explicit ModelEditorPane(QWidget* parent = nullptr);
    ~ModelEditorPane() override;

    // The shared model: the same object for the life of the pane, rewritten
    // after every edit. The drawer and the generation run read it.
    InstrumentKit::Representation& representation() { return *representation_; }
    const ModelDocument& document() const { return document_; }
    QUndoStack* undoStack() const { return undoStack_; }
    ModelCanvas* canvas() const { return canvas_; }

    // ---- Edits (each one undoable). Node arguments are indices into document().nodes.
    int addNode(double x, double y); // into the current element; returns the new index
    void addSpring(int a, int b, double stiffness);
    void addElementLink(int first, int second, double stiffness);
    void toggleFixed(const std::vector<int>& nodes);
    void setFlag(int node);
    void moveNodes(const std::vector<int>& nodes, double dx, double dy);
    void deleteNodes(const std::vector<int>& nodes);
    void deleteSelection();
    void newElement();
    void deleteElement(int element);
    void moveElement(int element, double dx, double dy); // its origin and its nodes
    // Replaces the whole model (a template or a file), undoably.
    void replaceModel(ModelDocument document, const QString& text);

    // ---- Selection.
    const std::vector<int>& selection() const { return selection_; }
    void setSelection(std::vector<int> nodes);
    int currentElement() const { return currentElement_; }
    void setCurrentElement(int element);
    double defaultStiffness() const { return defaultStiffness_; }

    // ---- Properties panel: applies text to a field of every selected node
    // (or the selected spring, or the current element); false, with the
    // message shown beside the field, when the value is refused.
    bool applyField(NodeField field, const QString& text);
    QString fieldMessage(NodeField field) const;
    QLineEdit* fieldEdit(NodeField field) const;

    // ---- Files.
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    // Asks the user about unsaved changes (a message box unless replaced).
    void setUnsavedPrompt(std::function<UnsavedAnswer(QWidget*)> prompt) {
        unsavedPrompt_ = std::move(prompt);
    }
    bool openModelFile(const QString& path); // no prompt
    bool saveModelFile(const QString& path);
    void open(); // Ctrl+O: prompt, choose, open
    bool save(); // Ctrl+S: to the current file, or Save As
    bool saveAs();
    void newModel();
    // True when there is nothing unsaved, or the user saved or discarded it.
    bool maybeSave();
    bool isModified() const;
    QString filePath() const { return filePath_; }
    QStringList recentFiles() const { return recentFiles_; }
    // "Kivora - NAME[*]" ("Kivora[*]" before the model has a file), for a
    // window title with the unsaved mark.
    QString windowTitleText() const;

    // ---- Templates (with unsaved-changes prompt). Parameters as in the dialog.
    void newFromString(int masses);
    void newFromMembrane(int rows, int cols);
    void newFromFreeBar(int masses);
    void newFromCoupledElements(int massesEach);
    // Asks for the template's parameters in a small dialog, then builds it.
    void chooseTemplate(int which);

    // Menus the main frame places in its menu bar.
    QMenu* fileMenuActionsInto(QMenu* file);
    QMenu* templateMenu() const { return templateMenu_; }

    // ---- Modal preview.
    const ModalPreview& preview() const { return preview_; }
    bool previewCurrent() const { return previewShown_ == previewRequested_; }
    QString previewText() const;
    void setPreviewSettings(int octaves, int sampleRate);
    StabilityForecast forecast() const;

signals:
    void modelEdited();
    void titleChanged();
    void previewUpdated();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private:
    friend class DocumentCommand;
    void documentChanged();
    void push(const QString& text, std::function<void(ModelDocument&)> redo,
              std::function<void(ModelDocument&)> undo);
    void refreshProperties();
    void refreshElements();
    void requestPreview();
    void showPreview();
    void setFilePath(const QString& path);
    void startTemplate(InstrumentKit::Representation model, const QString& name);
    QString showMessageFor(const QString& text);

    std::unique_ptr<InstrumentKit::Representation> representation_;
    ModelDocument document_;
    std::vector<int> selection_;
    int currentElement_ = 0;
    double defaultStiffness_ = 1000.0;

    QUndoStack* undoStack_ = nullptr;
    ModelCanvas* canvas_ = nullptr;
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
    QMenu* recentMenu_ = nullptr;

    FileChooser fileChooser_;
    std::function<UnsavedAnswer(QWidget*)> unsavedPrompt_;
    QString filePath_;
    QStringList recentFiles_;

    std::unique_ptr<ModalPreviewWorker> previewWorker_;
    ModalPreview preview_;
    std::uint64_t previewRequested_ = 0;
    std::uint64_t previewShown_ = 0;
    int previewOctaves_ = 2;
    int previewSampleRate_ = 44100;
};

} // namespace kivora
