// The piano pane: a toolbar with the instrument commands over the on-screen
// keyboard. The view owns the InstrumentController of the current instrument,
// paints its keyboard and hands it keys and mouse events.
#pragma once

#include "common/FileChooser.h"
#include "piano/MelodyCommand.h"
#include "piano/PainterCanvas.h"

#include <pellamy/InstrumentController.h>

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QAction;
class QToolBar;

namespace kivora {

// The first sound of an instrument or the note just played, for the
// oscillogram and the analyzer: 16-bit mono samples (the first channel).
struct NoteSamples {
    std::vector<std::int16_t> samples;
    int sampleRate = 0;
};

class CPianoFrame;

class CPianoView : public QWidget {
    Q_OBJECT
public:
    explicit CPianoView(QWidget* parent = nullptr);
    ~CPianoView() override;

    // Commands of the frame.
    void loadInstrument();
    void saveInstrument();
    void startRecording();
    void stopRecording();
    void playMelody();
    // Loads an instrument definition file (the dialog's second half); false
    // when it failed, which leaves the view without an instrument.
    bool loadInstrumentFile(const QString& path);
    // Builds the instrument from a run's records (WM_INSTRUMENT_READY).
    void instrumentFromRecords(int count, const pellamy::SoundStreamDescription* records);

    // Releases every held key and the mouse note (the window lost the focus).
    void releaseEverything();
    // A key code (0-255) goes down or up as from the keyboard: the sound bound
    // to it plays or rings out, and a recording takes it. Nothing without an
    // instrument; pressKey is false then, or when the engine refused.
    bool pressKey(unsigned code);
    void releaseKey(unsigned code);
    // A sound goes down or up by its alias, as from a MIDI keyboard: as its
    // key would, also for a sound without a key. Nothing without an
    // instrument or for an alias it lacks; pressSound is false then.
    bool pressSound(const std::string& alias);
    void releaseSound(const std::string& alias);

    bool isLoaded() const { return loaded_; }
    bool isRecording() const;
    pellamy::InstrumentController* controller() const { return controller_.get(); }
    QString melodyPath() const { return melodyPath_; }
    void setMelodyPath(const QString& path) { melodyPath_ = path; }
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    const FileChooser& fileChooser() const { return fileChooser_; }
    MelodyPlayer& melodyPlayer() { return melodyCommand_->player(); }
    MelodyCommand& melodyCommand() { return *melodyCommand_; }

    // The samples of the sound `alias` of the current instrument (empty when
    // there is none).
    NoteSamples samplesOf(const std::string& alias) const;
    // The alias of the first sound, or the empty string.
    std::string firstAlias() const;

signals:
    // An instrument was loaded or built (or the load failed: loaded false).
    void instrumentChanged(bool loaded);
    // The sound `alias` was started by a key or the mouse; delivered after
    // the event's handling is complete.
    void noteStarted(const QString& alias);
    // Something that the commands' enabling depends on changed.
    void stateChanged();
    // A note for the window's status bar.
    void statusMessage(const QString& text);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Replaces the controller and creates its suite with `create`; when the
    // sound device cannot be opened, says so once and builds the suite again
    // on SDL's silent driver so the keyboard stays usable.
    bool replaceController(const std::function<void(pellamy::InstrumentController&)>& create);
    void repaintActiveArea();
    void reportStartedNote(const std::set<std::string>& playingBefore);
    std::set<std::string> playingAliases() const;

    // Before the controller, whose keyboard pictures give their images back.
    std::shared_ptr<ImagePool> picturePool_ = std::make_shared<ImagePool>();
    std::unique_ptr<pellamy::InstrumentController> controller_;
    bool loaded_ = false;
    bool mouseDown_ = false;
    QString melodyPath_;
    std::set<unsigned> heldKeys_;
    FileChooser fileChooser_;
    // After the controller, whose output the melody may play through.
    std::unique_ptr<MelodyCommand> melodyCommand_;
};

class CPianoFrame : public QWidget {
    Q_OBJECT
public:
    explicit CPianoFrame(QWidget* parent = nullptr);
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
    // In the menu's order.
    QList<QAction*> instrumentActions() const;

    bool commandsEnabled() const { return commandsEnabled_; }
    bool melodyChosen() const { return melodyChosen_; }
    // Re-evaluates every command's enabling rule.
    void updateCommands();

    void chooseMelody();

protected:
    bool event(QEvent* event) override;

private:
    QAction* addCommand(const QString& menuText, const QString& prompt, const QIcon& icon);
    void postToMainWindow(int message);

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
};

} // namespace kivora
