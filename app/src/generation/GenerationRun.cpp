#include "generation/GenerationRun.h"

#include "common/EngineGuard.h"
#include "generation/SoundPropertiesDialog.h"

#include <kivora/GenerationReport.h>
#include <kivora/GenerationRules.h>
#include <kivora/NoteTuning.h>

#include <QCoreApplication>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <fstream>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivora {

namespace {

const QEvent::Type kRunFailedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kRunFinishedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kTuningMeasuredEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kNotesMeasuredEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class NoteDoneEvent : public QEvent {
public:
    NoteDoneEvent(int serial, bool diverged)
        : QEvent(eventType(WM_NOTE_DONE)), serial(serial), diverged(diverged) {}
    const int serial;
    const bool diverged;
};

class RunFailedEvent : public QEvent {
public:
    RunFailedEvent(int serial, QString text)
        : QEvent(kRunFailedEvent), serial(serial), text(std::move(text)) {}
    const int serial;
    const QString text;
};

// Every note rendered: the records the worker built and what a silent run says.
class RunFinishedEvent : public QEvent {
public:
    RunFinishedEvent(int serial, const pellamy::SoundStreamDescription* records, QString silence,
                     bool measuring)
        : QEvent(kRunFinishedEvent), serial(serial), records(records), silence(std::move(silence)),
          measuring(measuring) {}
    const int serial;
    const pellamy::SoundStreamDescription* const records;
    const QString silence;
    const bool measuring; // the worker goes on to measure the notes
};

// How many notes the measuring after a run has done.
class NotesMeasuredEvent : public QEvent {
public:
    NotesMeasuredEvent(int serial, int measured)
        : QEvent(kNotesMeasuredEvent), serial(serial), measured(measured) {}
    const int serial;
    const int measured;
};

// A finished run's report; for a run whose notes were measured, also what
// the tooltip and the warning say of their tuning.
class TuningMeasuredEvent : public QEvent {
public:
    TuningMeasuredEvent(int serial, GenerationReport report, bool measured, QString summary = {},
                        QString perNote = {}, QString warning = {})
        : QEvent(kTuningMeasuredEvent), serial(serial), report(std::move(report)), measured(measured),
          summary(std::move(summary)), perNote(std::move(perNote)), warning(std::move(warning)) {}
    const int serial;
    const GenerationReport report;
    const bool measured;
    const QString summary;
    const QString perNote;
    const QString warning; // empty when every note is stable and within the threshold
};

// A nice value one lower than the thread's own; refused without the
// privilege to raise priorities, which leaves the thread at normal priority.
void raiseOwnPriority() {
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0) {
        ::setpriority(PRIO_PROCESS, thread, nice - 1);
    }
}

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The tooltip's summary: the largest error of a note with a pitch.
QString tuningSummary(const std::vector<NoteTuning>& tuning) {
    const NoteTuning* largest = nullptr;
    for (const NoteTuning& note : tuning) {
        if (note.measuredHz > 0.0 &&
            (largest == nullptr || std::fabs(note.centsOff) > std::fabs(largest->centsOff))) {
            largest = &note;
        }
    }
    if (largest == nullptr) {
        return QStringLiteral("No note has a measurable pitch");
    }
    return QStringLiteral("Tuning: at most %1 cents off (%2)")
        .arg(std::fabs(largest->centsOff), 0, 'f', 1)
        .arg(fromUtf8(largest->name));
}

// The generate command's warnings in one message, with the window's hints.
QString tuningWarning(const GenerationReport& report) {
    QStringList parts;
    if (!report.unstableNotes.empty()) {
        QString text = fromUtf8(tooStiffWarning(report.settings.sampleRate, report.unstableNotes));
        text[0] = text[0].toUpper();
        parts << text + QStringLiteral(" (try a higher sample rate or fewer octaves).");
    }
    if (!report.mistunedNotes.empty()) {
        QString text = fromUtf8(mistuningWarning(report.mistunedNotes));
        text[0] = text[0].toUpper();
        parts << text + QStringLiteral(" (the analyzer's tooltip lists every note).");
    }
    return parts.join(QLatin1Char('\n'));
}

QString reportText(const GenerationReport& report) {
    QStringList lines;
    for (const std::string& line : reportLines(report)) {
        lines << fromUtf8(line);
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

QString centsText(double cents) {
    // An error that rounds to zero reads "0.0", whichever side of zero it lies.
    const double tenths = std::round(cents * 10.0);
    return QString::number(tenths == 0.0 ? 0.0 : tenths / 10.0, 'f', 1);
}

std::uint64_t availableMemoryBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes >> unit) {
        if (key == "MemAvailable:") {
            return kilobytes * 1024u;
        }
    }
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
               : UINT64_MAX;
}

GenerationRun::GenerationRun(QWidget* window, SnapshotSource snapshots,
                             CProgressDialogNonModal::TickSource ticks)
    : QObject(window), window_(window), snapshots_(std::move(snapshots)), worker_(window, QString()),
      progress_(new CProgressDialogNonModal(window, std::move(ticks))) {
    worker_.setDialogDelayMs(BackgroundJob::kNoDialog);
    connect(progress_, &CProgressDialogNonModal::cancelRequested, this, [this] {
        // Nothing thrown while cancelling reaches the event loop.
        try {
            cancel();
        } catch (...) {
            say(currentExceptionText());
        }
    });
}

GenerationRun::~GenerationRun() {
    shutdown();
    delete progress_.data();
}

bool GenerationRun::defaultSettingsQuestion(QWidget* window, GenerationSettings& settings) {
    SoundPropertiesDialog dialog(window);
    dialog.durationMs = settings.durationMs;
    dialog.octaves = settings.octaves;
    dialog.sampleRate = settings.sampleRate;
    dialog.linearDamping = settings.linearDamping;
    dialog.squareDamping = settings.squareDamping;
    if (dialog.exec() == QDialog::Rejected) {
        return false;
    }
    settings.durationMs = dialog.durationMs;
    settings.octaves = dialog.octaves;
    settings.sampleRate = dialog.sampleRate;
    settings.linearDamping = dialog.linearDamping;
    settings.squareDamping = dialog.squareDamping;
    return true;
}

// The run's messages carry the program's name as their caption.
void GenerationRun::say(const QString& text) {
    showMessage(window_, text, QStringLiteral("Kivora"));
}

void GenerationRun::generateNotes() {
    request(false);
}

void GenerationRun::generateSingle() {
    request(true);
}

NoteGenerator& GenerationRun::generator() {
    // A run's worker still alive after it was counted is measuring the tuning.
    if (idle_) {
        worker_.wait();
    }
    return generator_;
}

void GenerationRun::request(bool single) {
    // The piano disables its commands during a run; a request arriving anyway is not a second run.
    if (!idle_ || handingOver_) {
        return;
    }
    try {
        muntero::ModelSnapshot snapshot = snapshots_ ? snapshots_() : muntero::ModelSnapshot{};
        if (const char* refusal = refusalFor(snapshot)) {
            say(QString::fromLatin1(refusal));
            return;
        }
        GenerationSettings settings = lastSettings_;
        if (single) {
            settings.octaves = 0;
        } else if (!askSettings_ || !askSettings_(window_, settings)) {
            return;
        }
        start(settings, std::move(snapshot), single);
    } catch (...) {
        say(currentExceptionText());
    }
}

void GenerationRun::start(const GenerationSettings& settings, muntero::ModelSnapshot snapshot, bool single) {
    stopWorker(); // a finished run's worker may still be measuring its notes
    const QString tooLarge = QString::fromStdString(sizeRefusal(settings, availableMemoryBytes()));
    if (!tooLarge.isEmpty()) {
        say(tooLarge);
        return;
    }
    try {
        generator_.configure(settings, std::move(snapshot));
        lastSettings_ = settings;
    } catch (const std::bad_alloc&) {
        say(QStringLiteral("Not enough memory for the notes."));
        return;
    } catch (...) {
        say(currentExceptionText());
        return;
    }

    const int notes = generator_.noteCount();
    progress_->maximum = notes;
    progress_->centreOnScreen();
    progress_->showForRun();
    idle_ = false;
    emit started();
    notesDone_ = 0;
    notesExpected_ = notes;

    const int serial = ++serial_;
    generator_.setNoteDoneCallback([this, serial](int note) {
        // On a rendering thread, inside the generator's announcement: the note's flags are settled.
        postFromWorker(new NoteDoneEvent(serial, generator_.noteBlewUp(note)));
        if (noteObserver_) {
            noteObserver_(note);
        }
    });
    abandonMeasuring_ = 0;
    try {
        worker_.start([this, serial, single](const BackgroundJob::StopCheck&) { work(serial, single); });
    } catch (...) {
        idle_ = true;
        progress_->hide();
        say(QStringLiteral("The generation could not start: %1").arg(currentExceptionText()));
        handOver(0);
    }
}

// Everything the worker wrote before posting is visible to the handler of
// the event: the release here pairs with the acquire in customEvent, an order
// that does not rest on the event queue's own locking.
void GenerationRun::postFromWorker(QEvent* event) {
    workerEvents_.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

// The worker thread's body.
void GenerationRun::work(int serial, bool raisePriority) {
    if (raisePriority) {
        raiseOwnPriority();
    }
    try {
        if (generator_.run() != 0) {
            return; // stopped: the interface thread hands over once it has joined
        }
        const GenerationSettings& settings = generator_.settings();
        const bool measuring = settings.octaves > 0 && generator_.baseFrequency() > 0.0;
        // A flagged node that never moves gives silent notes; the run still
        // ends normally, and the user learns why the instrument makes no sound.
        const QString silence = measuring ? QString() : fromUtf8(silenceMessageOf(generator_));
        postFromWorker(new RunFinishedEvent(serial, generator_.buildDescriptions(), silence, measuring));
        // From here on the buffers are only read, here and by the records' receivers.
        if (!measuring) {
            // No tuning to measure: the report is the untuned note's (a
            // single note's frequency), made after the hand-over, not before.
            postFromWorker(new TuningMeasuredEvent(serial, reportOf(generator_, {}), false));
            return;
        }
        const std::vector<NoteTuning> tuning =
            measureTuning(generator_, 0, &abandonMeasuring_, [this, serial](int measured) {
                postFromWorker(new NotesMeasuredEvent(serial, measured));
            });
        if (tuning.empty()) {
            return; // abandoned
        }
        const GenerationReport report = reportOf(generator_, tuning);
        QString summary = tuningSummary(tuning);
        QString perNote = reportText(report);
        QString warning = tuningWarning(report);
        postFromWorker(new TuningMeasuredEvent(serial, report, true, std::move(summary), std::move(perNote),
                                               std::move(warning)));
    } catch (const std::bad_alloc&) {
        postFromWorker(new RunFailedEvent(serial, QStringLiteral("Not enough memory for the notes.")));
    } catch (...) {
        postFromWorker(new RunFailedEvent(serial, currentExceptionText()));
    }
}

void GenerationRun::customEvent(QEvent* event) {
    workerEvents_.load(std::memory_order_acquire);
    if (event->type() == eventType(WM_NOTE_DONE)) {
        const auto* done = static_cast<NoteDoneEvent*>(event);
        noteDone(done->serial, done->diverged);
    } else if (event->type() == kRunFailedEvent) {
        const auto* failure = static_cast<RunFailedEvent*>(event);
        if (failure->serial == serial_ && !idle_) {
            failed(failure->text);
        }
    } else if (event->type() == kRunFinishedEvent) {
        const auto* finished = static_cast<RunFinishedEvent*>(event);
        if (finished->serial == serial_ && !idle_) {
            finish(finished->records, finished->silence, finished->measuring);
        }
    } else if (event->type() == kNotesMeasuredEvent) {
        const auto* progress = static_cast<NotesMeasuredEvent*>(event);
        if (progress->serial == serial_ && measuring_) {
            notesMeasured_ = std::max(notesMeasured_, progress->measured);
            showFinishing();
        }
    } else if (event->type() == kTuningMeasuredEvent) {
        const auto* tuning = static_cast<TuningMeasuredEvent*>(event);
        if (tuning->serial == serial_ && idle_) {
            emit reported(tuning->report);
            if (tuning->measured) {
                measuring_ = false;
                showFinishing();
                emit tuningMeasured(tuning->summary, tuning->perNote);
                if (!tuning->warning.isEmpty()) {
                    say(tuning->warning);
                }
            }
        }
    }
}

void GenerationRun::noteDone(int serial, bool diverged) {
    if (idle_ || serial != serial_) {
        return;
    }
    progress_->progressStep(diverged);
    ++notesDone_; // the run ends with the worker's RunFinished event, which follows the last note
}

void GenerationRun::finish(const pellamy::SoundStreamDescription* records, const QString& silence,
                           bool measuring) {
    idle_ = true;
    measuring_ = measuring;
    notesMeasured_ = 0;
    deliver(notesExpected_, records);
    if (!silence.isEmpty()) {
        say(silence);
    }
}

void GenerationRun::handedOver(int serial) {
    if (serial != serial_ || !handingOver_) {
        return;
    }
    handingOver_ = false;
    showFinishing();
}

void GenerationRun::showFinishing() {
    if (!progress_) {
        return;
    }
    if (handingOver_) {
        // The notes are measured meanwhile, on the other cores.
        QString status = QStringLiteral("Preparing the instrument...");
        if (measuring_)
            status += QStringLiteral(" %1/%2 notes measured").arg(notesMeasured_).arg(notesExpected_);
        progress_->showStage(status, measuring_ ? notesMeasured_ : 0, measuring_ ? notesExpected_ : 0);
    } else if (measuring_) {
        progress_->showStage(QStringLiteral("Checking the tuning... %1/%2 notes measured")
                                 .arg(notesMeasured_)
                                 .arg(notesExpected_),
                             notesMeasured_, notesExpected_);
    } else {
        progress_->hide();
    }
}

void GenerationRun::cancel() {
    if (idle_) {
        // After the notes only the measuring can be given up: the instrument plays without it.
        if (measuring_) {
            abandonMeasuring_ = 1;
            measuring_ = false;
            showFinishing();
        }
        return;
    }
    generator_.stopRequested = 1;
    stopWorker();
    idle_ = true;
    if (progress_) {
        progress_->hide();
    }
    handOver(notesDone_);
}

void GenerationRun::failed(const QString& text) {
    stopWorker();
    idle_ = true;
    progress_->hide();
    handOver(notesDone_);
    say(text);
}

void GenerationRun::shutdown() {
    if (!idle_) {
        generator_.stopRequested = 1;
    }
    stopWorker();
    idle_ = true;
    handingOver_ = false;
    measuring_ = false;
    if (progress_) {
        progress_->hide();
    }
}

void GenerationRun::stopWorker() {
    abandonMeasuring_ = 1;
    worker_.wait();
    measuring_ = false;
}

// Only once the worker has been joined.
void GenerationRun::handOver(int count) {
    deliver(count, generator_.buildDescriptions());
}

void GenerationRun::deliver(int count, const pellamy::SoundStreamDescription* records) {
    if (records == nullptr) {
        return;
    }
    emit instrumentReady(count, records);
    if (!handOver_) {
        showFinishing();
        return;
    }
    handingOver_ = true;
    showFinishing();
    const int serial = serial_;
    handOver_(count, records, [this, serial] { handedOver(serial); });
}

} // namespace kivora
