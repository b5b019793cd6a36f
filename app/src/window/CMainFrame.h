// The main window: the editor pane on the left, and on the right a column of
// the drawer, the oscillogram, the analyzer and the piano. Its splitters
// cannot be dragged: every resize restores the default layout, and a double
// click on a bar of the right column lets the drawer fill the window and back.
// A key pressed anywhere in the window reaches the editor pane and the
// piano; a release reaches the piano only.
#pragma once

#include "generation/RunProvenance.h"
#include "midi/MidiInput.h"
#include "session/InstrumentSession.h"
#include "session/ModelSession.h"

#include <pellamy/SoundStreamDescription.h>

#include <QMainWindow>
#include <QPointer>
#include <QSplitter>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class CDrawerFrame;
class QKeyEvent;
class QMenu;

namespace kivora {

class CAnalyzatorFrame;
class COscillogrammFrame;
class CPianoFrame;
class CPianoView;
class GenerationRun;
class InstrumentExportCommand;
class MidiKeyboard;
class ModelEditorPane;
class StatusBarInfo;

// A splitter whose bars do not move, drawn flat with no grip; a double click
// on a bar is reported.
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

class LiveModelSession;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kSplitterHandleWidth = 4;

    // Builds every pane over the two sessions, which outlive the frame. A
    // null midiSource leaves the MIDI keyboard without ports.
    CMainFrame(InstrumentSession& instrument, ModelSession& model,
               std::unique_ptr<MidiInputSource> midiSource, QWidget* parent = nullptr);
    // Stops a running generation and waits for its worker before the panes go.
    ~CMainFrame() override;

    // Shows the live player's status and notes in the status bar.
    void followLive(LiveModelSession& live);

    InstrumentSession& instrumentSession() const { return instrument_; }
    ModelSession& modelSession() const { return model_; }

    // Panes. The drawer pane may be replaced; the frame deletes the old one.
    QWidget* editorPane() const;
    QWidget* drawerPane() const;
    void setDrawerPane(QWidget* pane);
    ModelEditorPane* modelEditor() const { return modelEditor_; }
    COscillogrammFrame* oscillogramFrame() const { return oscillogramFrame_; }
    CAnalyzatorFrame* analyzerFrame() const { return analyzerFrame_; }
    CPianoFrame* pianoFrame() const { return pianoFrame_; }
    CPianoView* pianoView() const;
    // The model drawer, in the drawer pane until another pane replaces it.
    CDrawerFrame* drawerFrame() const { return drawerFrame_; }
    GenerationRun& generationRun() const { return *generationRun_; }
    MidiKeyboard* midiKeyboard() const { return midiKeyboard_; }

    QMenu* modelMenu() const { return modelMenu_; }
    QMenu* instrumentMenu() const { return instrumentMenu_; }
    // "MI&DI Input": the ports of the live MIDI keyboard.
    QMenu* midiInputMenu() const { return midiInputMenu_; }
    // File > Export Instrument...: enabled while there is an instrument.
    QAction* exportInstrumentAction() const { return exportInstrument_; }
    // View > Status Bar: checked while the status bar shows.
    QAction* statusBarAction() const { return statusBarAction_; }
    StatusBarInfo* statusInfo() const { return statusInfo_; }
    QMenu* recentModelsMenu() const { return recentMenu_; }
    QMenu* recentInstrumentsMenu() const { return recentInstrumentsMenu_; }
    ExSplitterWnd* editorSplitter() const { return editorSplitter_; }
    ExSplitterWnd* paneSplitter() const { return paneSplitter_; }
    bool drawerExpanded() const { return drawerExpanded_; }

    // Asks for an .sf2 or .sfz name and exports the instrument there;
    // a failure is shown in a message box, success in the status bar.
    void exportInstrument();

    // The end of a generation run: the instrument session takes the records
    // (off the interface thread; `handedOver` runs once the instrument plays),
    // the oscillogram and the analyzer show the first one. Without records
    // everything stays as it was.
    void deliverRunResults(int count, const pellamy::SoundStreamDescription* records,
                           std::function<void()> handedOver = {});

    // Opens FILE from the command line: an instrument (.ins) in the piano,
    // a model (.json) in the editor. False when it failed.
    bool openFile(const QString& path);

    void toggleDrawer();
    void applyLayout();
    void showAbout();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void createMenus();
    void createModelMenus();
    // The drawer pane and its "&Model" menu, after "&Instrument".
    void createDrawer();
    void createGenerationRun();
    QMenu* addMenuBeforeHelp(const QString& title);
    void updateTitle();
    void rebuildRecentMenu();
    void rebuildRecentInstrumentsMenu();
    // False while the piano's Load Instrument is disabled (a run is generating).
    bool instrumentLoadingAllowed() const;
    // Recent Instruments takes the enabling of the piano's Load Instrument.
    void followLoadCommand();
    void showStatusNote(const QString& text);
    // After a menu closed: the keys go back where they were, to play notes.
    void giveKeysBackAfterMenu();
    // A press or shortcut that runs a command (a note in the status bar goes).
    bool startsCommand(QObject* watched, const QEvent& event) const;
    // A new run may replace the instrument: unsaved work is asked about first.
    void generate(bool single);
    // Shows a note in the oscillogram and the analyzer.
    void showNote(const NoteSamples& note);
    // Arrow keys stay with the drawer's view when it has the focus.
    bool drawerTakesKey(const QKeyEvent& event) const;
    void replacePane(ExSplitterWnd* splitter, int index, QWidget* pane);
    bool keysGoToTheirWidget() const;
    void forwardKey(const QKeyEvent& event);

    InstrumentSession& instrument_;
    ModelSession& model_;
    ExSplitterWnd* editorSplitter_ = nullptr;
    ExSplitterWnd* paneSplitter_ = nullptr;
    ModelEditorPane* modelEditor_ = nullptr;
    COscillogrammFrame* oscillogramFrame_ = nullptr;
    CAnalyzatorFrame* analyzerFrame_ = nullptr;
    CPianoFrame* pianoFrame_ = nullptr;
    CDrawerFrame* drawerFrame_ = nullptr;
    GenerationRun* generationRun_ = nullptr;
    // The model and settings of the run started last, and the instrument
    // its notes became: its report gives that instrument its comments.
    std::optional<RunProvenance> runProvenance_;
    std::optional<std::uint64_t> generatedInstrument_;
    MidiKeyboard* midiKeyboard_ = nullptr;
    QMenu* fileMenu_ = nullptr;
    QMenu* editMenu_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    QMenu* recentInstrumentsMenu_ = nullptr;
    QAction* statusBarAction_ = nullptr;
    StatusBarInfo* statusInfo_ = nullptr;
    QMenu* instrumentMenu_ = nullptr;
    QMenu* midiInputMenu_ = nullptr;
    QMenu* modelMenu_ = nullptr;
    QAction* exportInstrument_ = nullptr;
    InstrumentExportCommand* exportCommand_ = nullptr;
    QAction* helpMenuAction_ = nullptr;
    bool drawerExpanded_ = false;
    bool showExpanded_ = false; // the layout applied: expanded or default
    bool forwarding_ = false;
    QPointer<QWidget> focusBeforeMenuBar_;
    QMetaObject::Connection focusFollower_;
};

} // namespace kivora
