// The piano's Play Melody: a WAV file plays as it is; a melody script (.snc)
// is rendered beside itself (through the piano's instrument when it has one,
// else through the instrument the script defines); a MIDI file is rendered
// beside itself through the piano's instrument as the command-line tool
// renders it (exchange/MidiFileRendering.h). Reading, rendering and writing
// run on a worker (BackgroundJob) with a copy of the instrument taken when
// the command starts, so the piano may load another one meanwhile; a second
// Play Melody is refused while one is being prepared.
//
// A rendering goes beside its melody (tune.snc gives tune.wav) when that file
// does not exist or is this melody's own earlier rendering; another file of
// that name is replaced only when the user says so, else the melody renders
// to a temporary file and plays from there, as it does when its folder takes
// no file.
//
// Thread: interface thread.
#pragma once

#include "common/BackgroundJob.h"
#include "common/FileChooser.h"
#include "common/RenderedFiles.h"
#include "piano/MelodyPlayer.h"

#include <pellamy/InstrumentModel.h>

#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QTemporaryDir;

class QWidget;

namespace kivora {

class MelodyCommand {
public:
    enum class ReplaceAnswer { Replace, RenderElsewhere, Cancel };
    // Asks whether an existing file that is not the melody's rendering goes.
    using ReplaceQuestion = std::function<ReplaceAnswer(QWidget* owner, const QString& question)>;
    static ReplaceAnswer askInMessageBox(QWidget* owner, const QString& question);

    struct Context {
        QWidget* owner = nullptr; // parents the dialog and the messages
        // The piano's instrument, or nullptr without one.
        std::function<const pellamy::InstrumentModel*()> instrument;
        // The piano's live output for the player (MelodyPlayer::PianoOutput).
        MelodyPlayer::PianoOutput pianoOutput;
        // A note for the status bar.
        std::function<void(const QString&)> showStatus;
    };

    explicit MelodyCommand(Context context);
    ~MelodyCommand();
    MelodyCommand(const MelodyCommand&) = delete;
    MelodyCommand& operator=(const MelodyCommand&) = delete;

    // Asks for a melody file through `chooser` and plays it; nothing is
    // asked while another melody is being prepared.
    bool run(const FileChooser& chooser);
    // Prepares the melody file at `path` on the worker and plays it; false
    // when nothing was started (refused, or another melody is being prepared).
    bool play(const QString& path);

    MelodyPlayer& player() { return player_; }
    BackgroundJob& job() { return job_; }
    void setReplaceQuestion(ReplaceQuestion question) { askReplace_ = std::move(question); }
    // Whether a file can be created in a folder (tests stand in for a read-only one).
    void setFolderCheck(std::function<bool(const QString&)> check) { folderTakesFiles_ = std::move(check); }

private:
    // Where the rendering of `source` goes instead of `beside`, with a note
    // saying why when it is not beside; nothing when the user cancelled.
    std::optional<QString> destinationFor(const QString& source, const QString& beside, QString& note);
    std::optional<QString> temporaryPath(const QString& fileName);
    // `rendering` (beside its source, else empty) is remembered once written.
    bool start(BackgroundJob::Work work, const std::shared_ptr<MelodyClip>& clip,
               const std::shared_ptr<QString>& status, const QString& note = {},
               const QString& rendering = {}, const QString& source = {});

    Context context_;
    ReplaceQuestion askReplace_ = askInMessageBox;
    std::function<bool(const QString& folder)> folderTakesFiles_ = folderTakesFiles;
    // Renderings that could not go beside their melody.
    std::unique_ptr<QTemporaryDir> temporaryFolder_;
    MelodyPlayer player_;
    BackgroundJob job_;
};

} // namespace kivora
