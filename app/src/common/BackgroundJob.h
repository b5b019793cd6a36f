// A long piece of work (measuring, rendering, writing files) run on a worker
// thread while the interface stays live. A progress dialog with a Cancel
// button appears when the work outlasts a short delay; it is not modal, so
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

#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <atomic>
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

    // True once the user cancelled; the work asks it between its steps.
    using StopCheck = std::function<bool()>;
    // Runs on the worker thread.
    using Work = std::function<void(const StopCheck& stopRequested)>;
    // Runs on the interface thread once the work has returned.
    using Completion = std::function<void()>;

    // `owner` parents the dialog and the messages; `label` is the dialog's text.
    BackgroundJob(QWidget* owner, QString label);
    // Asks a running work to stop and waits for it.
    ~BackgroundJob() override;
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;

    // Starts `work`; false (nothing started) while a job runs.
    bool start(Work work, Completion completion = {});
    bool isRunning() const { return worker_.joinable(); }
    // For a command that must wait: true while a job runs, its dialog brought to the front.
    bool raiseIfRunning() const;
    // What the dialog's Cancel does.
    void cancel();
    // The progress dialog while it is shown, else nullptr.
    QProgressDialog* dialog() const;
    void setDialogDelayMs(int delayMs) { dialogDelayMs_ = delayMs; }

    // Jobs running in the process, for tests that wait for them to end.
    static int runningCount();

signals:
    // The job started, or ended (after its completion or message).
    void runningChanged(bool running);

protected:
    void customEvent(QEvent* event) override;

private:
    void showDialog();
    void finish(std::exception_ptr failure);

    QPointer<QWidget> owner_;
    QString label_;
    int dialogDelayMs_ = kDefaultDialogDelayMs;
    std::thread worker_;
    std::shared_ptr<std::atomic<bool>> stopRequested_;
    Completion completion_;
    QTimer* dialogTimer_ = nullptr;
    QPointer<QProgressDialog> dialog_;
};

} // namespace kivora
