// A generation run: turns a request from the piano into an instrument. It
// takes a snapshot of the model, asks for the settings, configures the note
// generator, renders on a worker thread while the progress dialog follows the
// notes, and hands the records to the piano, the oscillogram and the analyzer.
//
// Every member function runs on the interface thread. While the worker lives
// it is the generator's controlling thread: it renders, posts one NoteDone
// event per note, then builds the records and posts them with the end of the
// run, and last measures the tuning (a single or silent run: makes its
// report), only reading the buffers. The interface
// thread touches the generator only once the worker has been joined (cancel,
// failure, a new run, destruction) and otherwise reads nothing but the
// records and buffers handed over with the end of the run.
#pragma once

#include "common/BackgroundJob.h"
#include "common/CProgressDialogNonModal.h"
#include "generation/WindowMessages.h"

#include <kivora/GenerationReport.h>
#include <kivora/NoteGenerator.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/SoundStreamDescription.h>

#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QWidget;

namespace kivora {

// A tuning error in cents with one decimal, as the analyzer's tooltip lists it.
QString centsText(double cents);

// Memory the system can still give, in bytes (for the generator's sizeRefusal).
std::uint64_t availableMemoryBytes();

class GenerationRun : public QObject {
    Q_OBJECT

public:
    using SnapshotSource = std::function<muntero::ModelSnapshot()>;
    // Shows the settings and returns false when the user cancelled.
    using SettingsQuestion = std::function<bool(QWidget* window, GenerationSettings& settings)>;
    // Makes the instrument of a run's records, maybe off the interface
    // thread, and calls `done` on the interface thread once it plays. The
    // records stay valid until then: no run starts before.
    using HandOver = std::function<void(int count, const pellamy::SoundStreamDescription* records,
                                        std::function<void()> done)>;

    // window (may be null) owns the run, the message boxes and the dialogs.
    // As the window's child the run is destroyed before the progress dialog.
    GenerationRun(QWidget* window, SnapshotSource snapshots,
                  CProgressDialogNonModal::TickSource ticks = CProgressDialogNonModal::monotonicTicks);
    // Stops a running worker and waits for it.
    ~GenerationRun() override;

    // The piano's "Generate Number of Notes": asks for the settings, then runs.
    void generateNotes();
    // The piano's single sound: the last settings with octaves 0, no dialog,
    // a worker one priority step above normal (where the system allows it).
    void generateSingle();
    // Stops the worker, waits for it and hands over the notes counted so far.
    void cancel();
    // Stops and waits for the worker without handing anything over (the window is closing).
    void shutdown();

    bool idle() const { return idle_; }
    // From the end of the rendering until the instrument has been handed
    // over and a finished run's notes measured (or the measuring was
    // cancelled); the progress dialog tells which is being done.
    bool finishing() const { return handingOver_ || measuring_; }
    int notesDone() const { return notesDone_; }
    int notesExpected() const { return notesExpected_; }
    // The generator, for settings and inspection while no run renders; waits
    // for a finished run's worker still measuring the tuning.
    NoteGenerator& generator();
    CProgressDialogNonModal& progressDialog() { return *progress_; }
    // The settings of the last run started (from started() on, the current run's).
    const GenerationSettings& lastSettings() const { return lastSettings_; }

    void setSettingsQuestion(SettingsQuestion question) { askSettings_ = std::move(question); }
    // Without one the records are only signalled (instrumentReady).
    void setHandOver(HandOver handOver) { handOver_ = std::move(handOver); }
    // Called on the rendering thread after each note's event has been posted (tests pace the worker with it).
    void setNoteObserver(std::function<void(int note)> observer) { noteObserver_ = std::move(observer); }

    static bool defaultSettingsQuestion(QWidget* window, GenerationSettings& settings);

signals:
    // The worker started: the piano's generating commands wait.
    void started();
    // The end of a run, finished or cancelled: `count` records (the first
    // count are rendered, count may be 0), valid until the next run.
    void instrumentReady(int count, const pellamy::SoundStreamDescription* records);
    // A finished run's notes measured as `generate --report` measures them:
    // a one-line summary and the run's report (reportLines), a line each.
    void tuningMeasured(const QString& summary, const QString& perNote);
    // A finished run's report, as `generate` makes it for the same model and
    // settings; after instrumentReady, and after tuningMeasured when the
    // notes were measured. A cancelled run, or one whose measuring was given
    // up, has none.
    void reported(const kivora::GenerationReport& report);

protected:
    void customEvent(QEvent* event) override;

private:
    void request(bool single);
    void start(const GenerationSettings& settings, muntero::ModelSnapshot snapshot, bool single);
    void work(int serial, bool raisePriority);
    void noteDone(int serial, bool diverged);
    void finish(const pellamy::SoundStreamDescription* records, const QString& silence, bool measuring);
    void handedOver(int serial);
    // Shows what is left of a run's end, or hides the dialog when nothing is.
    void showFinishing();
    void failed(const QString& text);
    void handOver(int count);
    void deliver(int count, const pellamy::SoundStreamDescription* records);
    void stopWorker();
    void postFromWorker(QEvent* event);
    void say(const QString& text);

    QWidget* window_;
    SnapshotSource snapshots_;
    SettingsQuestion askSettings_ = defaultSettingsQuestion;
    HandOver handOver_;
    std::function<void(int)> noteObserver_;

    NoteGenerator generator_;
    // The settings of the last run started, read without touching the generator.
    GenerationSettings lastSettings_;
    // The worker; it shows no dialog of its own: the run's dialog follows the notes.
    BackgroundJob worker_;
    // A child of the window when there is one; deleted here if the window has not yet.
    QPointer<CProgressDialogNonModal> progress_;
    bool idle_ = true;
    bool handingOver_ = false;
    bool measuring_ = false; // a finished run's notes are being measured
    int notesMeasured_ = 0;
    int notesDone_ = 0;
    int notesExpected_ = 0;
    // Events carry the run they belong to: a note finished by a cancelled run
    // and still queued must not count in the next one.
    int serial_ = 0;
    // Set when the worker's measuring after the run is no longer wanted.
    std::atomic<int> abandonMeasuring_{0};
    std::atomic<unsigned> workerEvents_{0};
};

} // namespace kivora
