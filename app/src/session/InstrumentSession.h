// The instrument the window plays: the one owner of its InstrumentController,
// its file, whether it is saved, and the melody recording. The piano, the MIDI
// keyboard, the exporter and the generation run reach the instrument only
// through this object and follow it through its signals.
//
// Interface thread only. Every engine call goes through guarded(): a failure
// is shown to the user and never ends the program.
#pragma once

#include "common/BackgroundJob.h"
#include "common/FileChooser.h"
#include "common/UnsavedChanges.h"
#include "session/InstrumentPlayer.h"
#include "session/Player.h"
#include "session/RecentFiles.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/SoundStreamDescription.h>

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pellamy {
class InstrumentModel;
}

namespace kivora {

class InstrumentSession : public QObject {
    Q_OBJECT
public:
    explicit InstrumentSession(QObject* parent = nullptr);
    ~InstrumentSession() override;

    // The window that owns the message boxes, prompts and file dialogs.
    void setDialogOwner(QWidget* owner) {
        dialogOwner_ = owner;
        adoptionJob_.setOwner(owner);
    }
    QWidget* dialogOwner() const { return dialogOwner_; }
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    const FileChooser& fileChooser() const { return fileChooser_; }
    void setUnsavedPrompt(UnsavedPrompt prompt) { unsavedPrompt_ = std::move(prompt); }

    // ---- The instrument.
    bool isLoaded() const { return loaded_; }
    // Null without an instrument.
    const pellamy::InstrumentModel* instrument() const;
    pellamy::InstrumentController* controller() const { return loaded_ ? controller_.get() : nullptr; }
    // Generated (or changed) since it was last loaded or saved.
    bool isModified() const { return modified_; }
    // The definition file it was loaded from or saved to; empty for a generated one.
    QString filePath() const { return filePath_; }
    // True when the current instrument plays on a silent output (no sound device).
    bool isSilent() const;

    // Loads a definition file. A file that cannot be read, or has no sounds,
    // leaves the current instrument playing and says why. No prompt.
    bool loadFile(const QString& path);
    // The instrument a generation run rendered. Without any record (a run
    // cancelled before its first note) the current instrument stays.
    bool adoptRecords(int count, const pellamy::SoundStreamDescription* records);
    // The same with the engine's work (copying the notes, preparing them for
    // the device) on a worker thread: the current instrument goes at once,
    // the new one arrives later (a BackgroundJob without a dialog of its
    // own), and `done(loaded)` runs on this thread once
    // it has (also when it failed). The records must stay valid until then.
    // False, with nothing started, without a record or while one is adopted.
    bool adoptRecordsInBackground(int count, const pellamy::SoundStreamDescription* records,
                                  std::function<void(bool loaded)> done = {});
    // True from adoptRecordsInBackground until its instrument is installed.
    bool isAdopting() const { return adoptionJob_.isRunning(); }
    // Waits for an instrument being adopted and installs it at once (before
    // its records go, or before another instrument replaces it).
    void finishAdopting();
    bool saveToFile(const QString& path);
    // The comment lines the instrument's file begins with when saved: where
    // a generated instrument came from (provenanceComments). Another
    // instrument, loaded or adopted, starts without any, as loading a file
    // sets none.
    void setComments(std::vector<std::string> lines) { comments_ = std::move(lines); }
    const std::vector<std::string>& comments() const { return comments_; }
    // Counts the instruments that replaced one another: a caller that keeps
    // it tells whether the one playing is still the one it saw.
    std::uint64_t instrumentNumber() const { return instrumentNumber_; }

    // Instruments loaded or saved, newest first; kept in the settings.
    QStringList recentFiles() const { return recentFiles_.paths(); }

    // ---- Commands with dialogs.
    // True when nothing unsaved would be lost, or the user saved or discarded it.
    bool maybeSave();
    void load();
    // Opens a file of the recent list; one that fails leaves the list.
    bool loadRecentFile(const QString& path);
    // Asks for a name, starting with the current one.
    bool save();

    // ---- The melody recording into melodyPath().
    QString melodyPath() const { return melodyPath_; }
    void setMelodyPath(const QString& path);
    bool isRecording() const;
    void startRecording();
    // Renders what was recorded next to the script.
    void stopRecording();

    // ---- Playing the model live ("Play the Model Live"). While the mode is
    // on, the keys, the mouse, MIDI notes and the recording go to the live
    // player (the model's voices), samplesOf renders its notes; the
    // instrument stays loaded (saved, exported) but gives the sound device
    // up, as single-device drivers give the device to one output at a time.
    // The live player must outlive this session; null: no live mode.
    void setLivePlayer(Player* live) { live_ = live; }
    bool hasLivePlayer() const { return live_ != nullptr; }
    bool isLive() const { return liveMode_; }
    // Turns the mode on or off; false when the model cannot be played (said
    // in a message box) or without a live player. A recording is finished
    // first, as another instrument would finish it.
    bool setLiveMode(bool on);
    // What the keys play now: the live player while the mode is on, else the
    // instrument's.
    Player& player() { return liveMode_ ? *live_ : static_cast<Player&>(instrumentPlayer_); }
    const Player& player() const {
        return liveMode_ ? *live_ : static_cast<const Player&>(instrumentPlayer_);
    }
    // True when the keys play something: an instrument, or the model live.
    bool isPlayable() const { return player().isPlayable(); }

    // ---- Playing. Nothing without an instrument.
    // A key code 0-255 as from the keyboard: false without an instrument or
    // when the engine refused.
    bool pressKey(unsigned code);
    void releaseKey(unsigned code);
    // A note by its alias, as from a MIDI keyboard; false for an alias the
    // player lacks.
    bool pressSound(const std::string& alias);
    void releaseSound(const std::string& alias);
    // The note a MIDI key plays now ("" for none): an instrument's sound at
    // its root key, or live every key the model can play.
    std::string aliasForMidiKey(int midiKey);
    bool mouseDown(int x, int y);
    void mouseMove(int x, int y);
    void mouseUp(int x, int y);
    // Where Play Melody plays beside the keys, or null.
    pellamy::ClipOutput* clipOutput() { return player().clipOutput(); }

    // The samples of `alias` (empty when there is none) and the first sound's alias.
    NoteSamples samplesOf(const std::string& alias);
    std::string firstAlias() const;

signals:
    // An instrument was loaded or adopted (loaded true), or none is left.
    void instrumentChanged(bool loaded);
    // Saved state, recording or melody path changed.
    void stateChanged();
    // The on-screen keyboard changed within `area` (empty: everywhere).
    void keyboardChanged(const QRect& area);
    // A sound was started by a key, the mouse or MIDI; delivered after the
    // event that started it has been handled.
    void noteStarted(const QString& alias);
    void statusMessage(const QString& text);
    void recentFilesChanged();

private:
    // Replaces the controller with one that `create` sets up. When the sound
    // device cannot be opened the instrument plays on a silent output; the
    // next instrument tries the device again.
    bool replaceController(const std::function<void(pellamy::InstrumentController&)>& create);
    // A recording ends as Stop Recording would end it before its instrument goes.
    void finishRecording(const QString& reason);
    template <typename Call>
    bool call(Call&& engineCall);
    // The instrument player follows the controller after every replacement.
    void followController();
    // Moves the instrument's sounds to the device or off it; a device that
    // cannot be opened is said once and the instrument plays silently.
    void moveInstrumentOutput(bool toDevice);
    void showDeviceFailure(const QString& text);
    void keyboardTouched();
    void reportStarted(const std::string& alias);
    // The mouse entered a key: the first note that was not sounding before is reported.
    void reportFirstStarted(const std::vector<std::string>& soundingBefore);

    struct Adoption;
    // Installs what the worker of adoptRecordsInBackground built.
    void installAdopted(Adoption& adopted, const std::function<void(bool)>& done);

    QPointer<QWidget> dialogOwner_;
    FileChooser fileChooser_;
    UnsavedPrompt unsavedPrompt_;
    std::unique_ptr<pellamy::InstrumentController> controller_;
    bool loaded_ = false;
    bool modified_ = false;
    bool deviceFailureShown_ = false;
    QString filePath_;
    std::vector<std::string> comments_;
    std::uint64_t instrumentNumber_ = 0;
    QString melodyPath_;
    InstrumentPlayer instrumentPlayer_;
    Player* live_ = nullptr;
    bool liveMode_ = false;
    RecentFiles recentFiles_{QStringLiteral("recent/instruments")};
    // Last, so that it goes first: its worker is stopped and joined before
    // anything else of the session is destroyed. No dialog of its own: the
    // generation run's says "Preparing the instrument...".
    BackgroundJob adoptionJob_{nullptr, QString()};
};

} // namespace kivora
