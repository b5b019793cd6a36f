// The standing information of the main window's status bar: on an empty
// start a hint how to begin (hidden, like any normal status widget, while a
// transient message shows), and on the right the instrument with its sound
// count and "Recording…" while a melody is recorded. Transient texts go
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
    QLabel* instrumentInfo() const { return instrumentInfo_; }
    QLabel* recording() const { return recording_; }

private:
    void refresh();

    InstrumentSession& instrument_;
    ModelSession& model_;
    QLabel* hint_ = nullptr;
    QLabel* instrumentInfo_ = nullptr;
    QLabel* recording_ = nullptr;
};

} // namespace kivora
