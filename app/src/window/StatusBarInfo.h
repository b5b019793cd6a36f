// The standing information of the main window's status bar: on an empty
// start a hint how to begin (hidden, like any normal status widget, while a
// transient message shows), and on the right the instrument with its sound
// count and "Recording…" while a melody is recorded. A note (what the
// sessions and the piano report: a melody's uncovered keys, a missing sound
// device) stays until the user's next command or the next note; a status tip
// covers it only while the pointer is over its button. Transient texts go
// through QStatusBar::showMessage; other panes may add permanent widgets of
// their own.
#pragma once

#include <QObject>

class QLabel;
class QStatusBar;

namespace kivora {

class InstrumentSession;
class ModelSession;

class StatusBarInfo : public QObject {
    Q_OBJECT
public:
    StatusBarInfo(QStatusBar* bar, InstrumentSession& instrument, ModelSession& model);

    QLabel* hint() const { return hint_; }
    QLabel* note() const { return note_; }
    void showNote(const QString& text);
    void clearNote();
    QLabel* instrumentInfo() const { return instrumentInfo_; }
    QLabel* recording() const { return recording_; }

private:
    void refresh();

    InstrumentSession& instrument_;
    ModelSession& model_;
    QLabel* hint_ = nullptr;
    QLabel* note_ = nullptr;
    QLabel* instrumentInfo_ = nullptr;
    QLabel* recording_ = nullptr;
};

} // namespace kivora
