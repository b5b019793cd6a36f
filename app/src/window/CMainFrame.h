// The main window: the editor pane on the left, and on the right a column of
// the drawer, the oscillogram, the analyzer and the piano. Its splitters
// cannot be dragged: every resize restores the default layout, and a double
// click on a bar of the right column lets the drawer fill the window and back.
// A key pressed anywhere in the window reaches the editor pane and the
// piano; a release reaches the piano only.
#pragma once

#include "piano/CPianoFrame.h"

#include <pellamy/SoundStreamDescription.h>

#include <QMainWindow>
#include <QSplitter>
#include <array>
#include <functional>
#include <memory>

class CDrawerFrame;
class QMenu;

namespace InstrumentKit {
class Representation;
}

namespace kivora {

class CAnalyzatorFrame;
class MidiKeyboard;
class ModelEditorPane;
class COscillogrammFrame;
class CPianoFrame;

// A splitter whose bars do not move; a double click on a bar is reported.
class ExSplitterWnd : public QSplitter {
    Q_OBJECT
public:
    explicit ExSplitterWnd(Qt::Orientation orientation, QWidget* parent = nullptr);

signals:
    void handleDoubleClicked();
    void resized();

protected:
    QSplitterHandle* createHandle() override;
    void resizeEvent(QResizeEvent* event) override;
};

// The sizes of the panes for a central area of width × height pixels (the
// window's client area under the menu bar), each splitter's last pane taking
// what its bars leave. Default: columns W/2 and the rest; rows H/2, H/8, H/8
// and the rest. Expanded: the drawer alone.
struct PaneLayout {
    std::array<int, 2> columns{};
    std::array<int, 4> rows{};
};
PaneLayout defaultPaneLayout(int width, int height, int handleWidth);
PaneLayout expandedPaneLayout(int width, int height, int handleWidth);

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kSplitterHandleWidth = 4;

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Panes. The editor and drawer panes are placeholders until replaced;
    // the frame takes the new pane and deletes the old one.
    QWidget* editorPane() const;
    QWidget* drawerPane() const;
    void setEditorPane(QWidget* pane);
    void setDrawerPane(QWidget* pane);
    COscillogrammFrame* oscillogramFrame() const { return oscillogramFrame_; }
    CAnalyzatorFrame* analyzerFrame() const { return analyzerFrame_; }
    CPianoFrame* pianoFrame() const { return pianoFrame_; }
    CPianoView* pianoView() const;
    // The model drawer, in the drawer pane until another pane replaces it.
    CDrawerFrame* drawerFrame() const { return drawerFrame_; }
    // The model the panes share: the editor's once one is installed (the same
    // object for its life, rewritten after every edit), else the frame's own,
    // whose content a model file replaces.
    InstrumentKit::Representation& model() const;
    QMenu* modelMenu() const { return modelMenu_; }
    ExSplitterWnd* editorSplitter() const { return editorSplitter_; }
    ExSplitterWnd* paneSplitter() const { return paneSplitter_; }
    bool drawerExpanded() const { return drawerExpanded_; }

    // The model editor as the left pane: Ctrl+O/Ctrl+S, File's model items,
    // Edit > Undo/Redo, the title's unsaved mark and the prompt on closing are
    // bound to it. Null until installed.
    void installModelEditor(ModelEditorPane* editor);
    ModelEditorPane* modelEditor() const { return modelEditor_; }
    // The model the editor edits, for the drawer and the generation run: the
    // same object for the life of the editor, rewritten after every edit (then
    // modelEdited() is emitted). Null without an editor.
    InstrumentKit::Representation* representation() const;

    // Ctrl+O and Ctrl+S reach the editor pane through these (nothing until set).
    void setEditorCommands(std::function<void()> open, std::function<void()> save);
    // A menu of the menu bar placed before "&Help" (the drawer's "&Model").
    QMenu* addMenuBeforeHelp(const QString& title);
    QMenu* instrumentMenu() const { return instrumentMenu_; }
    // "MI&DI Input": the ports of the live MIDI keyboard.
    QMenu* midiInputMenu() const { return midiInputMenu_; }
    MidiKeyboard* midiKeyboard() const { return midiKeyboard_; }
    // File > Export Instrument...: enabled while the piano has an instrument.
    QAction* exportInstrumentAction() const { return exportInstrument_; }

    // Asks for an .sf2 or .sfz name and exports the piano's instrument there;
    // a failure is shown in a message box, success in the status bar.
    void exportInstrument();

    // The end of a generation run: the piano builds the instrument from the
    // records, the oscillogram shows the first record's waveform and the
    // analyzer its spectrum. The records stay the caller's.
    void deliverRunResults(int count, const pellamy::SoundStreamDescription* records);
    // Shows a note in the oscillogram and the analyzer.
    void showNote(const NoteSamples& note);

    // Opens FILE from the command line: an instrument (.ins) in the piano,
    // a model (.json) for the drawer. False when it failed.
    bool openFile(const QString& path);
    // Replaces the shared model with the file's; the drawer shows it on its
    // next Refresh. A refused file leaves the model as it was and says why.
    bool openModelFile(const QString& path);

    void toggleDrawer();
    void applyLayout();
    void showAbout();

signals:
    // After every edit of the representation (and after a model is opened).
    void modelEdited();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void createMenus();
    // The drawer pane and its "&Model" menu, after "&Instrument".
    void createDrawer();
    // Arrow keys stay with the drawer's view when it has the focus.
    bool drawerTakesKey(const QKeyEvent& event) const;
    bool openModelInEditor(const QString& path);
    void replacePane(ExSplitterWnd* splitter, int index, QWidget* pane);
    bool keysGoToTheirWidget() const;
    void forwardKey(const QKeyEvent& event);
    // The generation run's messages (WM_GENERATE_NOTES, WM_GENERATE_SINGLE,
    // WM_NOTE_DONE, WM_CANCEL_GENERATION); true when handled.
    bool handleGenerationMessage(QEvent* event);

    ExSplitterWnd* editorSplitter_ = nullptr;
    ExSplitterWnd* paneSplitter_ = nullptr;
    COscillogrammFrame* oscillogramFrame_ = nullptr;
    CAnalyzatorFrame* analyzerFrame_ = nullptr;
    CPianoFrame* pianoFrame_ = nullptr;
    QMenu* instrumentMenu_ = nullptr;
    QMenu* midiInputMenu_ = nullptr;
    MidiKeyboard* midiKeyboard_ = nullptr;
    QAction* exportInstrument_ = nullptr;
    QMenu* modelMenu_ = nullptr;
    CDrawerFrame* drawerFrame_ = nullptr;
    std::unique_ptr<InstrumentKit::Representation> model_;
    QMenu* fileMenu_ = nullptr;
    QMenu* editMenu_ = nullptr;
    QAction* undoAction_ = nullptr; // disabled until an editor takes it over
    ModelEditorPane* modelEditor_ = nullptr;
    QAction* helpMenuAction_ = nullptr;
    std::function<void()> openInEditor_;
    std::function<void()> saveFromEditor_;
    bool drawerExpanded_ = false;
    bool showExpanded_ = false; // the layout applied: expanded or default
    bool forwarding_ = false;
};

} // namespace kivora
