// The piano pane: a toolbar with the instrument commands over the on-screen
// keyboard of the instrument session.
#pragma once

#include "piano/MelodyCommand.h"
#include "piano/PainterCanvas.h"
#include "session/InstrumentSession.h"

#include <QString>
#include <QWidget>
#include <memory>
#include <set>

class QAction;
class QToolBar;

namespace kivora {

// The on-screen keyboard of the session's instrument: paints it and plays it
// with the keys and the mouse.
class CPianoView : public QWidget {
    Q_OBJECT
public:
    explicit CPianoView(InstrumentSession& session, QWidget* parent = nullptr);
    ~CPianoView() override;

    InstrumentSession& session() const { return session_; }
    // Play Melody: a WAV file, a melody script or a MIDI file.
    void playMelody();
    // Releases every held key and the mouse note (the window lost the focus).
    void releaseEverything();
    MelodyPlayer& melodyPlayer() { return melodyCommand_->player(); }
    MelodyCommand& melodyCommand() { return *melodyCommand_; }

signals:
    // A note for the window's status bar.
    void statusMessage(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void repaintKeyboard(const QRect& area);

    InstrumentSession& session_;
    std::shared_ptr<ImagePool> picturePool_ = std::make_shared<ImagePool>();
    bool mouseDown_ = false;
    // Notes started from the computer keyboard, released when the focus goes.
    std::set<unsigned> heldKeys_;
    // Paints that failed in a row: only the first one is reported.
    int failedPaints_ = 0;
    std::unique_ptr<MelodyCommand> melodyCommand_;
};

class CPianoFrame : public QWidget {
    Q_OBJECT
public:
    explicit CPianoFrame(InstrumentSession& session, QWidget* parent = nullptr);
    ~CPianoFrame() override;

    CPianoView* view() const { return view_; }
    QToolBar* toolBar() const { return toolBar_; }

    // The commands, shared by the toolbar and the "&Instrument" menu.
    QAction* generateNotesAction() const { return generateNotes_; }
    QAction* singleSoundAction() const { return singleSound_; }
    QAction* loadInstrumentAction() const { return loadInstrument_; }
    QAction* saveInstrumentAction() const { return saveInstrument_; }
    QAction* chooseMelodyAction() const { return chooseMelody_; }
    QAction* startRecordingAction() const { return startRecording_; }
    QAction* stopRecordingAction() const { return stopRecording_; }
    QAction* playMelodyAction() const { return playMelody_; }
    // Checkable: on while the keys play the open model live.
    QAction* playLiveAction() const { return playLive_; }
    // In the menu's order.
    QList<QAction*> instrumentActions() const;

    bool commandsEnabled() const { return commandsEnabled_; }
    // Off while a generation run works: generating, loading and saving wait.
    void setCommandsEnabled(bool enabled);
    bool melodyChosen() const { return melodyChosen_; }
    // Re-evaluates every command's enabling rule.
    void updateCommands();

    void chooseMelody();

signals:
    void generateNotesRequested();
    void singleSoundRequested();

private:
    QAction* addCommand(const QString& menuText, const QString& prompt, const QIcon& icon);

    InstrumentSession& session_;
    QToolBar* toolBar_ = nullptr;
    CPianoView* view_ = nullptr;
    bool commandsEnabled_ = true;
    bool melodyChosen_ = false;
    QAction* generateNotes_ = nullptr;
    QAction* singleSound_ = nullptr;
    QAction* loadInstrument_ = nullptr;
    QAction* saveInstrument_ = nullptr;
    QAction* chooseMelody_ = nullptr;
    QAction* startRecording_ = nullptr;
    QAction* stopRecording_ = nullptr;
    QAction* playMelody_ = nullptr;
    QAction* playLive_ = nullptr;
};

} // namespace kivora
