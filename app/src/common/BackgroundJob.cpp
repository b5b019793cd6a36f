#include "common/BackgroundJob.h"

#include "common/EngineGuard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QProgressDialog>
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
    explicit JobEndedEvent(std::exception_ptr failure) : QEvent(type()), failure(std::move(failure)) {}
    std::exception_ptr failure;
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

bool BackgroundJob::start(Work work, Completion completion) {
    if (isRunning())
        return false;
    stopRequested_ = std::make_shared<std::atomic<bool>>(false);
    completion_ = std::move(completion);
    ++jobsRunning;
    // The worker keeps its own reference to the flag: the check stays valid
    // however long the work holds on to it.
    worker_ = std::thread([this, work = std::move(work), stop = stopRequested_] {
        std::exception_ptr failure;
        try {
            work([stop] { return stop->load(); });
        } catch (...) {
            failure = std::current_exception();
        }
        QCoreApplication::postEvent(this, new JobEndedEvent(std::move(failure)));
    });
    dialogTimer_->start(dialogDelayMs_);
    emit runningChanged(true);
    return true;
}

void BackgroundJob::cancel() {
    if (!isRunning())
        return;
    stopRequested_->store(true);
    if (dialog_ != nullptr)
        dialog_->setLabelText(tr("Stopping..."));
}

bool BackgroundJob::raiseIfRunning() const {
    if (!isRunning())
        return false;
    if (QWidget* shown = dialog())
        shown->raise();
    return true;
}

QProgressDialog* BackgroundJob::dialog() const {
    return dialog_;
}

int BackgroundJob::runningCount() {
    return jobsRunning.load();
}

void BackgroundJob::showDialog() {
    if (!isRunning() || dialog_ != nullptr)
        return;
    // Not modal: a modal dialog would process events inside its own calls.
    dialog_ = new QProgressDialog(label_, tr("Cancel"), 0, 0, owner_);
    dialog_->setWindowModality(Qt::NonModal);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setMinimumDuration(0);
    connect(dialog_, &QProgressDialog::canceled, this, &BackgroundJob::cancel);
    dialog_->show();
}

void BackgroundJob::customEvent(QEvent* event) {
    if (event->type() != JobEndedEvent::type()) {
        QObject::customEvent(event);
        return;
    }
    finish(static_cast<JobEndedEvent*>(event)->failure);
}

void BackgroundJob::finish(std::exception_ptr failure) {
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
    if (!cancelled) {
        if (failure) {
            try {
                std::rethrow_exception(failure);
            } catch (...) {
                showMessage(owner_, currentExceptionText());
            }
        } else if (completion) {
            guarded(owner_, completion);
        }
    }
    emit runningChanged(false);
}

} // namespace kivora
