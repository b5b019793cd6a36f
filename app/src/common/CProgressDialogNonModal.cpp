#include "common/CProgressDialogNonModal.h"

#include "common/DialogUnits.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <chrono>

namespace kivora {

std::uint32_t CProgressDialogNonModal::monotonicTicks() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

CProgressDialogNonModal::CProgressDialogNonModal(QWidget* parent, TickSource ticks)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ticks_(std::move(ticks)) {
    setWindowTitle(QStringLiteral("Dialog"));
    // Non-modal: a modal progress dialog would run the event loop inside a step.
    setModal(false);
    const DialogUnits units(fontMetrics());
    setFixedSize(units.size(269, 47));

    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setGeometry(units.rect(212, 26, 50, 14));
    connect(cancelButton_, &QPushButton::clicked, this, &CProgressDialogNonModal::reject);
    progressBar_ = new QProgressBar(this);
    progressBar_->setGeometry(units.rect(7, 7, 255, 14));
    progressBar_->setTextVisible(false);
    auto* status = new QLabel(QStringLiteral("Status:"), this);
    status->setGeometry(units.rect(15, 27, 24, 8));
    statusEdit_ = new QLineEdit(this);
    statusEdit_->setReadOnly(true);
    statusEdit_->setGeometry(units.rect(43, 27, 168, 13));
}

void CProgressDialogNonModal::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->geometry() : QRect(0, 0, 1024, 768);
    left = area.width() / 2 - 200;
    top = area.height() / 2 - 60;
}

void CProgressDialogNonModal::showForRun() {
    setWindowTitle(QStringLiteral("Dialog"));
    hidesOnCancel_ = true;
    move(left, top);
    progressBar_->setRange(0, maximum);
    progressBar_->setValue(0);
    statusEdit_->setText(QStringLiteral("Initializing calculation's..."));
    divergedNotes_ = 0;
    startTick = ticks_();
    show();
}

void CProgressDialogNonModal::showForJob(const QString& caption, const QString& status) {
    setWindowTitle(caption);
    hidesOnCancel_ = false;
    move(left, top);
    progressBar_->setRange(0, 0);
    statusEdit_->setText(status);
    show();
}

bool CProgressDialogNonModal::progressStep(bool diverged) {
    // Timing starts when the first note is finished; until a second one is,
    // the status counts from the start of the run.
    const std::uint32_t runStartTick = startTick;
    if (progressBar_->value() == 0) {
        startTick = ticks_();
    }
    progressBar_->setValue(progressBar_->value() + 1);
    if (diverged) {
        ++divergedNotes_;
    }
    const int upper = progressBar_->maximum();
    const int position = progressBar_->value();
    if (position >= upper) {
        QDialog::accept();
        return false;
    }
    const std::uint32_t elapsedMs = ticks_() - startTick; // unsigned: a wrapped clock still subtracts right
    QString status;
    if (position <= 1) {
        // No note has been timed yet: the estimate needs a second one.
        const std::uint32_t runElapsedMs = ticks_() - runStartTick;
        status = QStringLiteral("%1/%2 notes ready...%3 of ? sec elapsed")
                     .arg(position)
                     .arg(upper)
                     .arg(runElapsedMs / 1000);
    } else {
        // The time since the first note, over the notes since then, projected onto all notes after the first.
        const double estimate = static_cast<double>(upper - 1) / (position - 1) * elapsedMs + 0.5;
        const auto estimateMs = static_cast<std::uint32_t>(estimate);
        status = QStringLiteral("%1/%2 notes ready...%3 of %4 sec elapsed")
                     .arg(position)
                     .arg(upper)
                     .arg(elapsedMs / 1000)
                     .arg(estimateMs / 1000);
    }
    if (divergedNotes_ > 0) {
        status += QStringLiteral(", %1 diverged").arg(divergedNotes_);
    }
    statusEdit_->setText(status);
    return true;
}

void CProgressDialogNonModal::showStage(const QString& status, int done, int total) {
    progressBar_->setRange(0, std::max(total, 0));
    progressBar_->setValue(std::clamp(done, 0, std::max(total, 0)));
    statusEdit_->setText(status);
    if (!isVisible()) {
        setAttribute(Qt::WA_ShowWithoutActivating, true);
        show();
        setAttribute(Qt::WA_ShowWithoutActivating, false);
    }
}

int CProgressDialogNonModal::position() const {
    return progressBar_->value();
}

QString CProgressDialogNonModal::statusText() const {
    return statusEdit_->text();
}

void CProgressDialogNonModal::reject() {
    if (!isVisible()) {
        QDialog::reject();
        return;
    }
    // Synchronous: when the receivers return, a run's worker has ended.
    emit cancelRequested();
    if (!hidesOnCancel_)
        return;
    statusEdit_->setText(QStringLiteral("Cancelling... please wait"));
    QDialog::reject();
}

} // namespace kivora
