// The piano's Play Melody: a WAV file plays as it is; a melody script (.snc)
// is rendered beside itself (through the piano's instrument when it has one,
// else through the instrument the script defines); a MIDI file is rendered
// beside itself through the piano's instrument as the command-line tool
// renders it (exchange/MidiFileRendering.h). Reading, rendering and writing
// run on a worker (BackgroundJob) with a copy of the instrument taken when
// the command starts, so the piano may load another one meanwhile; a second
// Play Melody is refused while one is being prepared.
//
// Thread: interface thread.
#pragma once

#include "common/BackgroundJob.h"
#include "common/FileChooser.h"
#include "piano/MelodyPlayer.h"

#include <pellamy/InstrumentModel.h>

#include <QString>
#include <functional>

class QWidget;

namespace kivora {

class MelodyCommand {
public:
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

private:
    bool start(BackgroundJob::Work work, const std::shared_ptr<MelodyClip>& clip,
               const std::shared_ptr<QString>& status);

    Context context_;
    MelodyPlayer player_;
    BackgroundJob job_;
};

} // namespace kivora
