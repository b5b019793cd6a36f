#include "common/BackgroundJob.h"

#include "common/EngineGuard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <utility>

namespace kivora {

namespace {

std::atomic<int> jobsRunning{0};

// The work's outcome, posted from the worker to the job.
class JobEndedEvent : public QEvent {
public:
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    explicit JobEndedEvent(std::uint64_t serial) : QEvent(type()), serial(serial) {}
    const std::uint64_t serial;
};

} // namespace

BackgroundJob::BackgroundJob(QWidget* owner, QString label) : owner_(owner), label_(std::move(label)) {
    dialogTimer_ = new QTimer(this);
    dialogTimer_->setSingleShot(true);
    connect(dialogTimer_, &QTimer::timeout, this, &BackgroundJob::showDialog);
}

BackgroundJob::~BackgroundJob() {
    if (!worker_.joinable())
        return;
    stopRequested_->store(true);
    worker_.join();
    --jobsRunning;
    delete dialog_;
}

bool BackgroundJob::start(Work work, Completion completion, Failure failure) {
    if (isRunning())
        return false;
    stopRequested_ = std::make_shared<std::atomic<bool>>(false);
    failure_ = nullptr;
    completion_ = std::move(completion);
    onFailure_ = std::move(failure);
    // The worker keeps its own reference to the flag: the check stays valid
    // however long the work holds on to it. Its end is counted once it runs.
    worker_ = std::thread([this, work = std::move(work), stop = stopRequested_, serial = ++serial_] {
        try {
            work([stop] { return stop->load(); });
        } catch (...) {
            failure_ = std::current_exception();
        }
        auto* ended = new JobEndedEvent(serial);
        endsPosted_.fetch_add(1, std::memory_order_release);
        QCoreApplication::postEvent(this, ended);
    });
    ++jobsRunning;
    if (dialogDelayMs_ >= 0)
        dialogTimer_->start(dialogDelayMs_);
    emit runningChanged(true);
    return true;
}

void BackgroundJob::cancel() {
    if (!isRunning())
        return;
    stopRequested_->store(true);
    if (dialog_ != nullptr)
        dialog_->showStage(tr("Stopping..."));
}

bool BackgroundJob::raiseIfRunning() const {
    if (!isRunning())
        return false;
    if (QWidget* shown = dialog())
        shown->raise();
    return true;
}

CProgressDialogNonModal* BackgroundJob::dialog() const {
    return dialog_;
}

int BackgroundJob::runningCount() {
    return jobsRunning.load();
}

void BackgroundJob::showDialog() {
    if (!isRunning() || dialog_ != nullptr)
        return;
    dialog_ = new CProgressDialogNonModal(owner_);
    connect(dialog_, &CProgressDialogNonModal::cancelRequested, this, &BackgroundJob::cancel);
    dialog_->centreOnScreen();
    dialog_->showForJob(QString(), label_);
}

void BackgroundJob::customEvent(QEvent* event) {
    if (event->type() != JobEndedEvent::type()) {
        QObject::customEvent(event);
        return;
    }
    endsPosted_.load(std::memory_order_acquire);
    // A run that wait() ended already has its end still queued.
    if (static_cast<JobEndedEvent*>(event)->serial == serial_ && isRunning())
        finish();
}

void BackgroundJob::wait() {
    if (isRunning())
        finish();
}

void BackgroundJob::finish() {
    worker_.join();
    --jobsRunning;
    dialogTimer_->stop();
    if (dialog_ != nullptr) {
        dialog_->hide();
        dialog_->deleteLater();
        dialog_ = nullptr;
    }
    const bool cancelled = stopRequested_->load();
    Completion completion = std::exchange(completion_, Completion{});
    const Failure onFailure = std::exchange(onFailure_, Failure{});
    if (!cancelled) {
        if (const std::exception_ptr failure = std::exchange(failure_, nullptr)) {
            QString text;
            try {
                std::rethrow_exception(failure);
            } catch (...) {
                text = currentExceptionText();
            }
            if (onFailure)
                onFailure(text);
            else
                showMessage(owner_, text);
        } else if (completion) {
            guarded(owner_, completion);
        }
    }
    emit runningChanged(false);
}

} // namespace kivora
