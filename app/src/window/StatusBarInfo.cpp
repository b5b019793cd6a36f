#include "window/StatusBarInfo.h"

#include "session/InstrumentSession.h"
#include "session/ModelSession.h"

#include <pellamy/InstrumentModel.h>

#include <QFileInfo>
#include <QLabel>
#include <QStatusBar>

namespace kivora {

StatusBarInfo::StatusBarInfo(QStatusBar* bar, InstrumentSession& instrument, ModelSession& model)
    : QObject(bar), instrument_(instrument), model_(model) {
    hint_ = new QLabel(bar);
    hint_->setObjectName(QStringLiteral("statusHint"));
    bar->addWidget(hint_, 1);
    note_ = new QLabel(bar);
    note_->setObjectName(QStringLiteral("statusNote"));
    note_->setTextFormat(Qt::PlainText);
    // A long note is cut rather than widening the window.
    note_->setMinimumWidth(0);
    note_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    note_->hide();
    bar->addWidget(note_, 1);
    recording_ = new QLabel(tr("Recording\u2026"), bar);
    recording_->setObjectName(QStringLiteral("statusRecording"));
    recording_->setStyleSheet(QStringLiteral("color: #b00000"));
    bar->addPermanentWidget(recording_);
    instrumentInfo_ = new QLabel(bar);
    instrumentInfo_->setObjectName(QStringLiteral("statusInstrument"));
    bar->addPermanentWidget(instrumentInfo_);

    connect(&instrument_, &InstrumentSession::instrumentChanged, this, &StatusBarInfo::refresh);
    connect(&instrument_, &InstrumentSession::stateChanged, this, &StatusBarInfo::refresh);
    connect(&model_, &ModelSession::changed, this, &StatusBarInfo::refresh);
    connect(&model_, &ModelSession::titleChanged, this, &StatusBarInfo::refresh);
    refresh();
}

void StatusBarInfo::refresh() {
    const pellamy::InstrumentModel* instrument = instrument_.instrument();
    if (instrument != nullptr) {
        const QString name = instrument_.filePath().isEmpty() ? tr("Generated instrument")
                                                              : QFileInfo(instrument_.filePath()).fileName();
        const std::size_t count = instrument->soundCount();
        instrumentInfo_->setText(count == 1 ? tr("%1: 1 sound").arg(name)
                                            : tr("%1: %2 sounds").arg(name).arg(count));
    }
    instrumentInfo_->setVisible(instrument != nullptr);
    recording_->setVisible(instrument_.isRecording());
    // The hint goes once there is something to work on. Its label stays, so
    // that the status bar alone hides and shows it around transient messages.
    const bool empty = instrument == nullptr && model_.filePath().isEmpty() && !model_.isModified() &&
                       model_.document().nodes.empty();
    hint_->setText(empty ? tr("Open a model (Ctrl+O) or an instrument to begin") : QString());
    hint_->setVisible(note_->text().isEmpty());
}

void StatusBarInfo::showNote(const QString& text) {
    // The bar's own message would be drawn over it.
    if (!text.isEmpty())
        static_cast<QStatusBar*>(parent())->clearMessage();
    note_->setText(text);
    note_->setToolTip(text);
    note_->setVisible(!text.isEmpty());
    refresh();
}

void StatusBarInfo::clearNote() {
    if (!note_->text().isEmpty())
        showNote(QString());
}

} // namespace kivora
