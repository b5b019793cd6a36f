// The window's one way to run work off the interface thread: a generation
// run, an export, a melody being prepared, the newest request of a pane
// (LatestRequestWorker). A long piece of work (measuring, rendering, writing
// files) runs on a worker thread while the interface stays live. The window's progress dialog
// (showForJob) with a Cancel button appears when the work outlasts a short delay; it is not modal, so
// the caller refuses or disables what would conflict while isRunning().
//
// The work must not reach for anything the interface thread may change
// meanwhile: it takes copies of what it needs before start(). Whatever it
// throws comes back to the interface thread and is shown as one message
// through showMessage (EngineGuard.h); its completion runs there too.
// Cancel asks the work to stop (through its stop check); a cancelled job
// shows no message and does not run its completion.
//
// Thread: every member on the interface thread.
#pragma once

#include "common/CProgressDialogNonModal.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

class QTimer;
class QWidget;

namespace kivora {

class BackgroundJob : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultDialogDelayMs = 300;
    // For work whose owner shows its own progress, or none.
    static constexpr int kNoDialog = -1;

    // True once the user cancelled; the work asks it between its steps.
    using StopCheck = std::function<bool()>;
    // Runs on the worker thread.
    using Work = std::function<void(const StopCheck& stopRequested)>;
    // Runs on the interface thread once the work has returned.
    using Completion = std::function<void()>;
    // Runs on the interface thread with the text of what the work threw;
    // without one the text is a message box.
    using Failure = std::function<void(const QString& text)>;

    // `owner` parents the dialog and the messages; `label` is the dialog's text.
    BackgroundJob(QWidget* owner, QString label);
    // Asks a running work to stop and waits for it.
    ~BackgroundJob() override;
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;

    // Starts `work`; false (nothing started) while a job runs.
    bool start(Work work, Completion completion = {}, Failure failure = {});
    bool isRunning() const { return worker_.joinable(); }
    // Waits for the work here and ends the job as its end would on arrival;
    // for an owner that must have the worker gone before it goes on.
    void wait();
    // For a command that must wait: true while a job runs, its dialog brought to the front.
    bool raiseIfRunning() const;
    // What the dialog's Cancel does.
    void cancel();
    // The progress dialog while it is shown, else nullptr.
    CProgressDialogNonModal* dialog() const;
    void setDialogDelayMs(int delayMs) { dialogDelayMs_ = delayMs; }
    // For an owner whose window is known only after the job was made.
    void setOwner(QWidget* owner) { owner_ = owner; }

    // Jobs running in the process, for tests that wait for them to end.
    static int runningCount();

signals:
    // The job started, or ended (after its completion or message).
    void runningChanged(bool running);

protected:
    void customEvent(QEvent* event) override;

private:
    void showDialog();
    void finish();

    QPointer<QWidget> owner_;
    QString label_;
    int dialogDelayMs_ = kDefaultDialogDelayMs;
    std::thread worker_;
    // Tells the end of this run from a late one of an earlier run, ended by wait().
    std::uint64_t serial_ = 0;
    // Released by the worker before it posts its end, acquired where the end
    // is handled: what the worker wrote is visible there by this order, not
    // only by the event queue's own locking.
    std::atomic<std::uint64_t> endsPosted_{0};
    std::shared_ptr<std::atomic<bool>> stopRequested_;
    // Written by the worker before it posts its end, read after the join.
    std::exception_ptr failure_;
    Completion completion_;
    Failure onFailure_;
    QTimer* dialogTimer_ = nullptr;
    QPointer<CProgressDialogNonModal> dialog_;
};

} // namespace kivora
