#include "window/CMainFrame.h"

#include "analysis/CAnalyzatorFrame.h"
#include "analysis/COscillogrammFrame.h"
#include "common/EngineGuard.h"
#include "editor/ModelEditorPane.h"
#include "exchange/InstrumentExportCommand.h"
#include "generation/GenerationRun.h"
#include "midi/MidiKeyboard.h"
#include "piano/CPianoFrame.h"
#include "piano/KeyCodes.h"
#include "session/LiveModelSession.h"
#include "window/AboutDialog.h"
#include "window/StatusBarInfo.h"
#include "window/WindowTitle.h"

#include <modelkit/Representation.h>
#include <muntero/ModelSnapshot.h>
#include <muntero/view/CDrawerFrame.h>
#include <muntero/view/CDrawerView.h>
#include <muntero/view/DrawerMessages.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <QUndoStack>
#include <algorithm>
#include <functional>

namespace kivora {

namespace {

constexpr int kStatusShownMs = 10000;

// A bar that cannot be dragged; a double click goes to its splitter.
class ExSplitterHandle : public QSplitterHandle {
public:
    ExSplitterHandle(Qt::Orientation orientation, ExSplitterWnd* parent)
        : QSplitterHandle(orientation, parent), splitter_(parent) {
        setCursor(Qt::ArrowCursor);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
    void mouseMoveEvent(QMouseEvent* event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent* event) override { event->accept(); }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        event->accept();
        emit splitter_->handleDoubleClicked();
    }
    // A grip would promise a drag that never comes.
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), palette().color(QPalette::Window));
    }

private:
    ExSplitterWnd* splitter_;
};

// A pane that a splitter may shrink to nothing.
void makeShrinkable(QWidget* pane) {
    pane->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    pane->setMinimumSize(0, 0);
    if (pane->layout() != nullptr)
        pane->layout()->setSizeConstraint(QLayout::SetNoConstraint);
}

// An empty pane standing in for one still to come.
QWidget* makePlaceholder(const QString& name) {
    auto* pane = new QWidget;
    pane->setObjectName(name);
    pane->setAutoFillBackground(true);
    pane->setFocusPolicy(Qt::NoFocus);
    return pane;
}

QList<int> toList(const auto& sizes) {
    return QList<int>(sizes.begin(), sizes.end());
}

} // namespace

// ------------------------------------------------------------- ExSplitterWnd

ExSplitterWnd::ExSplitterWnd(Qt::Orientation orientation, QWidget* parent) : QSplitter(orientation, parent) {
    setChildrenCollapsible(true);
    setHandleWidth(CMainFrame::kSplitterHandleWidth);
    setOpaqueResize(true);
}

QSplitterHandle* ExSplitterWnd::createHandle() {
    return new ExSplitterHandle(orientation(), this);
}

void ExSplitterWnd::resizeEvent(QResizeEvent* event) {
    QSplitter::resizeEvent(event);
    emit resized();
}

PaneLayout defaultPaneLayout(int width, int height, int handleWidth) {
    PaneLayout layout;
    width = std::max(width, 0);
    height = std::max(height, 0);
    layout.columns[0] = width / 2;
    layout.columns[1] = std::max(width - handleWidth - layout.columns[0], 0);
    layout.rows[0] = height / 2;
    layout.rows[1] = height / 8;
    layout.rows[2] = height / 8;
    layout.rows[3] = std::max(height - 3 * handleWidth - layout.rows[0] - layout.rows[1] - layout.rows[2], 0);
    return layout;
}

PaneLayout expandedPaneLayout(int width, int height, int handleWidth) {
    PaneLayout layout;
    layout.columns = {0, std::max(width - handleWidth, 0)};
    layout.rows = {std::max(height - 3 * handleWidth, 0), 0, 0, 0};
    return layout;
}

// ---------------------------------------------------------------- CMainFrame

CMainFrame::CMainFrame(InstrumentSession& instrument, ModelSession& model,
                       std::unique_ptr<MidiInputSource> midiSource, QWidget* parent)
    : QMainWindow(parent), instrument_(instrument), model_(model) {
    setObjectName(QStringLiteral("CMainFrame"));

    editorSplitter_ = new ExSplitterWnd(Qt::Horizontal, this);
    editorSplitter_->setObjectName(QStringLiteral("editorSplitter"));
    paneSplitter_ = new ExSplitterWnd(Qt::Vertical);
    paneSplitter_->setObjectName(QStringLiteral("paneSplitter"));

    modelEditor_ = new ModelEditorPane(model_);
    QWidget* drawer = makePlaceholder(QStringLiteral("drawerPlaceholder"));
    oscillogramFrame_ = new COscillogrammFrame;
    analyzerFrame_ = new CAnalyzatorFrame;
    pianoFrame_ = new CPianoFrame(instrument_);
    for (QWidget* pane :
         {static_cast<QWidget*>(modelEditor_), drawer, static_cast<QWidget*>(oscillogramFrame_),
          static_cast<QWidget*>(analyzerFrame_), static_cast<QWidget*>(pianoFrame_)})
        makeShrinkable(pane);
    makeShrinkable(paneSplitter_);

    editorSplitter_->addWidget(modelEditor_);
    editorSplitter_->addWidget(paneSplitter_);
    paneSplitter_->addWidget(drawer);
    paneSplitter_->addWidget(oscillogramFrame_);
    paneSplitter_->addWidget(analyzerFrame_);
    paneSplitter_->addWidget(pianoFrame_);
    setCentralWidget(editorSplitter_);

    connect(paneSplitter_, &ExSplitterWnd::handleDoubleClicked, this, &CMainFrame::toggleDrawer);
    connect(editorSplitter_, &ExSplitterWnd::resized, this, &CMainFrame::applyLayout);
    connect(paneSplitter_, &ExSplitterWnd::resized, this, &CMainFrame::applyLayout);

    // A new instrument shows its first sound, a played note its own.
    connect(&instrument_, &InstrumentSession::instrumentChanged, this, [this](bool loaded) {
        if (loaded)
            showNote(instrument_.samplesOf(instrument_.firstAlias()));
    });
    connect(&instrument_, &InstrumentSession::noteStarted, this,
            [this](const QString& alias) { showNote(instrument_.samplesOf(alias.toStdString())); });
    connect(&instrument_, &InstrumentSession::statusMessage, this, &CMainFrame::showStatusNote);
    connect(pianoFrame_->view(), &CPianoView::statusMessage, this, &CMainFrame::showStatusNote);
    connect(&model_, &ModelSession::titleChanged, this, &CMainFrame::updateTitle);
    connect(&model_, &ModelSession::changed, this, &CMainFrame::updateTitle);
    connect(&model_, &ModelSession::recentFilesChanged, this, &CMainFrame::rebuildRecentMenu);
    connect(&instrument_, &InstrumentSession::stateChanged, this, &CMainFrame::updateTitle);
    connect(&instrument_, &InstrumentSession::instrumentChanged, this, &CMainFrame::updateTitle);
    connect(&instrument_, &InstrumentSession::recentFilesChanged, this,
            &CMainFrame::rebuildRecentInstrumentsMenu);
    // Every way to load an instrument waits while the piano's Load does (a generation run).
    connect(pianoFrame_->loadInstrumentAction(), &QAction::changed, this, &CMainFrame::followLoadCommand);
    updateTitle();
    // From the start, so that the panes keep their size when the first message comes.
    statusInfo_ = new StatusBarInfo(statusBar(), instrument_, model_);

    createMenus();
    createDrawer();
    createGenerationRun();
#if KIVORA_WITH_MIDI
    // After the drawer's "&Model", which follows "&Instrument"; Alt+D, as Alt+M is the model's.
    midiInputMenu_ = addMenuBeforeHelp(tr("MI&DI Input"));
    midiKeyboard_ = new MidiKeyboard(&instrument_, midiInputMenu_, std::move(midiSource), this);
#else
    midiSource.reset();
#endif
    // The widget that had the keys before the menu bar took them (a menu
    // closed with Escape leaves the bar holding them).
    focusFollower_ =
        connect(qApp, &QApplication::focusChanged, this, [this, bar = menuBar()](QWidget* old, QWidget* now) {
            if (now == bar && old != bar)
                focusBeforeMenuBar_ = old;
        });
    qApp->installEventFilter(this);
}

void CMainFrame::followLive(LiveModelSession& live) {
    // Voices in use and late blocks, while the model plays live; the label
    // joins the status bar when the mode is first turned on.
    connect(&live, &LiveModelSession::liveStatus, this, [this](const QString& text) {
        auto* label = findChild<QLabel*>(QStringLiteral("liveStatus"));
        if (label == nullptr) {
            label = new QLabel(this);
            label->setObjectName(QStringLiteral("liveStatus"));
            statusBar()->addPermanentWidget(label);
        }
        label->setText(text);
    });
    connect(&live, &LiveModelSession::statusMessage, this, &CMainFrame::showStatusNote);
}

CMainFrame::~CMainFrame() {
    qApp->removeEventFilter(this);
    // Closing the window moves the focus while the frame is half gone.
    disconnect(focusFollower_);
    // The worker writes into the run's generator and posts to the window: it
    // ends before anything it reaches is destroyed.
    // An instrument still being made reads the run's notes.
    instrument_.finishAdopting();
    generationRun_->shutdown();
}

void CMainFrame::createMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    fileMenu_ = file;
    createModelMenus();
    exportInstrument_ = file->addAction(tr("&Export Instrument..."));
    exportInstrument_->setStatusTip(tr("Export the instrument as a SoundFont 2 bank or an SFZ file"));
    exportInstrument_->setEnabled(false);
    exportCommand_ = new InstrumentExportCommand(
        this, [this](const QString& text) { statusBar()->showMessage(text, kStatusShownMs); });
    connect(exportInstrument_, &QAction::triggered, this, &CMainFrame::exportInstrument);
    connect(&instrument_, &InstrumentSession::instrumentChanged, exportInstrument_, &QAction::setEnabled);
    file->addSeparator();
    QAction* exit = file->addAction(tr("E&xit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    // Undo, Redo, Cut, Copy, Paste and Duplicate are the model's.
    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    editMenu_ = edit;
    QUndoStack* stack = model_.undoStack();
    QAction* undo = stack->createUndoAction(edit, tr("&Undo"));
    undo->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)});
    QAction* redo = stack->createRedoAction(edit, tr("&Redo"));
    redo->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)});
    edit->addAction(undo);
    edit->addAction(redo);
    edit->addSeparator();
    // The editor's nodes: their keys act while the focus is in the editor.
    edit->addActions(modelEditor_->clipboardActions());
    QMenu* view = menuBar()->addMenu(tr("&View"));
    statusBarAction_ = view->addAction(tr("&Status Bar"));
    statusBarAction_->setCheckable(true);
    statusBarAction_->setChecked(true);
    statusBarAction_->setStatusTip(tr("Show or hide the status bar"));
    connect(statusBarAction_, &QAction::toggled, statusBar(), &QStatusBar::setVisible);

    instrumentMenu_ = menuBar()->addMenu(tr("&Instrument"));
    instrumentMenu_->addActions(pianoFrame_->instrumentActions());

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    helpMenuAction_ = help->menuAction();
    QAction* about = help->addAction(tr("&About Kivora..."));
    connect(about, &QAction::triggered, this, &CMainFrame::showAbout);
}

void CMainFrame::createModelMenus() {
    auto add = [this](const QString& text, auto slot, const QKeySequence& shortcut = {}) {
        QAction* action = fileMenu_->addAction(text);
        action->setShortcut(shortcut);
        connect(action, &QAction::triggered, &model_, slot);
        return action;
    };
    add(tr("&New Model"), [this] { model_.newModel(); });
    fileMenu_->addMenu(modelEditor_->templateMenu());
    add(
        tr("&Open Model..."), [this] { model_.open(); }, QKeySequence(Qt::CTRL | Qt::Key_O));
    add(
        tr("&Save Model"), [this] { model_.save(); }, QKeySequence(Qt::CTRL | Qt::Key_S));
    add(tr("Save Model &As..."), [this] { model_.saveAs(); });
    recentMenu_ = fileMenu_->addMenu(tr("&Recent Models"));
    recentInstrumentsMenu_ = fileMenu_->addMenu(tr("Recent &Instruments"));
    rebuildRecentMenu();
    rebuildRecentInstrumentsMenu();
    fileMenu_->addSeparator();
}

namespace {

// Numbered entries, "&1 /path/name", each opening its file.
void fillRecentMenu(QMenu* menu, const QStringList& paths, const std::function<void(const QString&)>& open) {
    menu->clear();
    int number = 1;
    for (const QString& path : paths) {
        QString text = QDir::toNativeSeparators(path);
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        if (number <= 9)
            text = QStringLiteral("&%1 %2").arg(number).arg(text);
        ++number;
        QAction* action = menu->addAction(text);
        action->setData(path);
        QObject::connect(action, &QAction::triggered, menu, [open, path] { open(path); });
    }
    menu->setEnabled(!menu->isEmpty());
}

} // namespace

void CMainFrame::rebuildRecentMenu() {
    fillRecentMenu(recentMenu_, model_.recentFiles(),
                   [this](const QString& path) { model_.openRecentFile(path); });
}

void CMainFrame::rebuildRecentInstrumentsMenu() {
    fillRecentMenu(recentInstrumentsMenu_, instrument_.recentFiles(), [this](const QString& path) {
        if (instrumentLoadingAllowed())
            instrument_.loadRecentFile(path);
    });
    followLoadCommand();
}

bool CMainFrame::instrumentLoadingAllowed() const {
    return pianoFrame_->loadInstrumentAction()->isEnabled();
}

void CMainFrame::followLoadCommand() {
    const bool allowed = instrumentLoadingAllowed();
    for (QAction* entry : recentInstrumentsMenu_->actions())
        entry->setEnabled(allowed);
    recentInstrumentsMenu_->setEnabled(allowed && !recentInstrumentsMenu_->isEmpty());
}

void CMainFrame::updateTitle() {
    setWindowTitle(windowTitleFor(model_, instrument_));
    setWindowModified(model_.isModified());
}

void CMainFrame::createDrawer() {
    // The drawer's failures take the window's one message path.
    muntero::view::setMessageHandler([](QWidget* owner, const QString& text) { showMessage(owner, text); });
    drawerFrame_ = new CDrawerFrame;
    drawerFrame_->setObjectName(QStringLiteral("CDrawerFrame"));
    setDrawerPane(drawerFrame_);
    drawerFrame_->setRepresentation(&model_.representation());
    modelMenu_ = addMenuBeforeHelp(tr("&Model"));
    modelMenu_->addActions(drawerFrame_->commandActions());
    // The drawer shows the edited model on Refresh, or after every edit while
    // "Follow Edits" is checked.
    auto* follow = new QAction(tr("&Follow Edits"), this);
    follow->setCheckable(true);
    follow->setStatusTip(tr("Refresh the drawer after every edit of the model"));
    modelMenu_->addSeparator();
    modelMenu_->addAction(follow);
    // An opened or new model is shown at once.
    connect(&model_, &ModelSession::reset, drawerFrame_, &CDrawerFrame::modelReplaced);
    connect(&model_, &ModelSession::changed, this, [this, follow] {
        QAction* refresh = drawerFrame_->action(CDrawerView::RefreshCommand);
        if (follow->isChecked() && refresh != nullptr)
            refresh->trigger();
    });
}

void CMainFrame::createGenerationRun() {
    // Every request takes its snapshot of the session's one model.
    generationRun_ =
        new GenerationRun(this, [this] { return muntero::takeSnapshot(model_.representation()); });
    connect(generationRun_, &GenerationRun::started, this, [this] {
        pianoFrame_->setCommandsEnabled(false);
        // The model as the run's snapshot took it, before any edit or save meanwhile.
        runProvenance_ =
            runProvenanceOf(model_.filePath(), model_.isModified(), generationRun_->lastSettings());
    });
    generationRun_->setHandOver(
        [this](int count, const pellamy::SoundStreamDescription* records, std::function<void()> handedOver) {
            deliverRunResults(count, records, std::move(handedOver));
        });
    connect(generationRun_, &GenerationRun::tuningMeasured, this,
            [this](const QString& summary, const QString& perNote) {
                analyzerFrame_->setToolTip(summary + QLatin1Char('\n') + perNote);
            });
    // The report comes after the hand-over; a later instrument keeps its own comments.
    connect(generationRun_, &GenerationRun::reported, this, [this](const GenerationReport& report) {
        if (runProvenance_ && generatedInstrument_ == instrument_.instrumentNumber())
            instrument_.setComments(provenanceLines(*runProvenance_, &report));
    });
    connect(pianoFrame_, &CPianoFrame::generateNotesRequested, this, [this] { generate(false); });
    connect(pianoFrame_, &CPianoFrame::singleSoundRequested, this, [this] { generate(true); });
}

void CMainFrame::generate(bool single) {
    // The last run's instrument is still being made from its notes.
    if (instrument_.isAdopting())
        return;
    if (!instrument_.maybeSave())
        return;
    if (single)
        generationRun_->generateSingle();
    else
        generationRun_->generateNotes();
}

QMenu* CMainFrame::addMenuBeforeHelp(const QString& title) {
    auto* menu = new QMenu(title, menuBar());
    menuBar()->insertMenu(helpMenuAction_, menu);
    return menu;
}

void CMainFrame::showAbout() {
    AboutDialog about(this);
    about.exec();
}

QWidget* CMainFrame::editorPane() const {
    return editorSplitter_->widget(0);
}

QWidget* CMainFrame::drawerPane() const {
    return paneSplitter_->widget(0);
}

CPianoView* CMainFrame::pianoView() const {
    return pianoFrame_->view();
}

void CMainFrame::replacePane(ExSplitterWnd* splitter, int index, QWidget* pane) {
    makeShrinkable(pane);
    QWidget* old = splitter->replaceWidget(index, pane);
    delete old;
    applyLayout();
}

void CMainFrame::setDrawerPane(QWidget* pane) {
    replacePane(paneSplitter_, 0, pane);
}

void CMainFrame::applyLayout() {
    const int handle = kSplitterHandleWidth;
    const QSize area = editorSplitter_->size();
    const PaneLayout layout = showExpanded_ ? expandedPaneLayout(area.width(), area.height(), handle)
                                            : defaultPaneLayout(area.width(), area.height(), handle);
    const QSignalBlocker outer(editorSplitter_);
    const QSignalBlocker inner(paneSplitter_);
    if (editorSplitter_->sizes() != toList(layout.columns))
        editorSplitter_->setSizes(toList(layout.columns));
    if (paneSplitter_->sizes() != toList(layout.rows))
        paneSplitter_->setSizes(toList(layout.rows));
}

void CMainFrame::toggleDrawer() {
    drawerExpanded_ = !drawerExpanded_;
    showExpanded_ = drawerExpanded_;
    applyLayout();
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // Every resize restores the default layout; the expanded flag stays, so
    // the next double click takes the restoring branch.
    showExpanded_ = false;
    applyLayout();
}

void CMainFrame::changeEvent(QEvent* event) {
    // A key released in another window never arrives here: release them all.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        pianoFrame_->view()->releaseEverything();
    QMainWindow::changeEvent(event);
}

bool CMainFrame::keysGoToTheirWidget() const {
    if (QApplication::activePopupWidget() != nullptr || QApplication::activeModalWidget() != nullptr)
        return true;
    const QWidget* focus = QApplication::focusWidget();
    if (focus == nullptr)
        return false;
    if (qobject_cast<const QLineEdit*>(focus) || qobject_cast<const QTextEdit*>(focus) ||
        qobject_cast<const QPlainTextEdit*>(focus) || qobject_cast<const QAbstractSpinBox*>(focus) ||
        qobject_cast<const QMenuBar*>(focus))
        return true;
    if (const auto* combo = qobject_cast<const QComboBox*>(focus))
        return combo->isEditable();
    return false;
}

void CMainFrame::forwardKey(const QKeyEvent& event) {
    forwarding_ = true;
    auto copy = [&event] {
        return QKeyEvent(event.type(), event.key(), event.modifiers(), event.nativeScanCode(),
                         event.nativeVirtualKey(), event.nativeModifiers(), event.text(),
                         event.isAutoRepeat(), static_cast<quint16>(event.count()));
    };
    if (event.type() == QEvent::KeyPress) {
        QKeyEvent toEditor = copy();
        QCoreApplication::sendEvent(editorPane(), &toEditor);
    }
    QKeyEvent toPiano = copy();
    QCoreApplication::sendEvent(pianoFrame_->view(), &toPiano);
    forwarding_ = false;
}

void CMainFrame::showStatusNote(const QString& text) {
    statusInfo_->showNote(text);
}

void CMainFrame::giveKeysBackAfterMenu() {
    // Escape leaves the menu bar holding the keys, where letters open menus.
    if (QApplication::activePopupWidget() != nullptr || QApplication::focusWidget() != menuBar())
        return;
    QWidget* previous = focusBeforeMenuBar_;
    if (previous != nullptr && previous->window() == this && previous->isVisible())
        previous->setFocus(Qt::OtherFocusReason);
    else
        menuBar()->clearFocus();
}

bool CMainFrame::startsCommand(QObject* watched, const QEvent& event) const {
    switch (event.type()) {
    case QEvent::Shortcut:
        return true;
    case QEvent::MouseButtonPress:
        return qobject_cast<QAbstractButton*>(watched) != nullptr ||
               qobject_cast<QMenu*>(watched) != nullptr || qobject_cast<QMenuBar*>(watched) != nullptr;
    case QEvent::KeyPress: {
        const int key = static_cast<const QKeyEvent&>(event).key();
        return qobject_cast<QMenu*>(watched) != nullptr && (key == Qt::Key_Return || key == Qt::Key_Enter);
    }
    default:
        return false;
    }
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::Hide && qobject_cast<QMenu*>(watched) != nullptr)
        QTimer::singleShot(0, this, &CMainFrame::giveKeysBackAfterMenu);
    // A note stays until the user's next command, not the next status tip.
    if (statusInfo_ != nullptr && startsCommand(watched, *event))
        statusInfo_->clearNote();
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && !forwarding_) {
        auto* widget = qobject_cast<QWidget*>(watched);
        const auto& key = *static_cast<QKeyEvent*>(event);
        // Shortcut and focus keys go their usual way; releases always reach
        // the piano, so a note whose key is let go with Ctrl down still ends.
        const bool noteKey = type == QEvent::KeyRelease || pressPlaysNote(key);
        if (widget != nullptr && widget->window() == this && noteKey && !keysGoToTheirWidget() &&
            !drawerTakesKey(key)) {
            forwardKey(key);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::deliverRunResults(int count, const pellamy::SoundStreamDescription* records,
                                   std::function<void()> handedOver) {
    // The notes are copied and prepared for the device off the interface
    // thread; the piano's commands wait until the instrument plays.
    const bool adopting = instrument_.adoptRecordsInBackground(count, records, [this, handedOver](bool) {
        pianoFrame_->setCommandsEnabled(true);
        if (handedOver)
            handedOver();
    });
    // A run cancelled before its first note leaves everything as it was.
    if (!adopting) {
        pianoFrame_->setCommandsEnabled(true);
        if (handedOver)
            handedOver();
        return;
    }
    // Saved before the report arrives, the instrument still names its model and settings.
    generatedInstrument_ = instrument_.instrumentNumber();
    if (runProvenance_)
        instrument_.setComments(provenanceLines(*runProvenance_, nullptr));
    // White until the new note's spectrum arrives: the one shown belongs to
    // the notes the run replaced.
    analyzerFrame_->view()->clear();
    // The first note as the run rendered it, its first channel.
    NoteSamples first;
    const pellamy::SoundStreamDescription& record = records[0];
    const unsigned channels = std::max<unsigned>(record.format.nChannels, 1);
    const std::size_t values = record.data != nullptr ? record.dataBytes / 2 : 0;
    for (std::size_t i = 0; i < values; i += channels)
        first.samples.push_back(record.data[i]);
    first.sampleRate = static_cast<int>(record.format.nSamplesPerSec);
    showNote(first);
}

void CMainFrame::showNote(const NoteSamples& note) {
    if (note.samples.empty())
        return;
    const auto count = static_cast<int>(note.samples.size());
    oscillogramFrame_->view()->showWaveform(note.samples.data(), count, note.sampleRate);
    analyzerFrame_->view()->analyze(note.samples.data(), count, note.sampleRate);
}

void CMainFrame::exportInstrument() {
    exportCommand_->run(instrument_.instrument(), instrument_.fileChooser());
}

bool CMainFrame::openFile(const QString& path) {
    if (path.endsWith(QLatin1String(".ins"), Qt::CaseInsensitive)) {
        if (!instrumentLoadingAllowed()) {
            showMessage(this, tr("%1 is not loaded: notes are being generated, and their instrument "
                                 "replaces the piano's when the run ends.")
                                  .arg(QDir::toNativeSeparators(path)));
            return false;
        }
        return instrument_.maybeSave() && instrument_.loadFile(path);
    }
    return model_.maybeSave() && model_.openFile(path);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (!instrument_.maybeSave() || !model_.maybeSave()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool CMainFrame::drawerTakesKey(const QKeyEvent& event) const {
    switch (event.key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
        break;
    default:
        return false;
    }
    const QWidget* focus = QApplication::focusWidget();
    return drawerFrame_ != nullptr && drawerFrame_->view() != nullptr && focus == drawerFrame_->view();
}

} // namespace kivora
