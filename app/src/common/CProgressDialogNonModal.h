// The one progress dialog of the window, non-modal. It follows a generation
// run (showForRun): a bar stepped once per finished note, a status line with
// the count, the elapsed time and an estimate of the whole, and Cancel. It
// follows any other long work (showForJob: an export, a melody being
// prepared) with a busy bar and the work's own text.
//
// Cancel (the button, Escape or the close box) signals cancelRequested and
// returns only after the receivers have. A run's dialog then hides; a job's
// stays until its work has ended, showing what its owner says meanwhile.
// Interface thread only.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>

class QLineEdit;
class QProgressBar;
class QPushButton;

namespace kivora {

class CProgressDialogNonModal : public QDialog {
    Q_OBJECT

public:
    // Milliseconds of a monotonic clock, wrapping at 2^32.
    using TickSource = std::function<std::uint32_t()>;
    static std::uint32_t monotonicTicks();

    explicit CProgressDialogNonModal(QWidget* parent, TickSource ticks = monotonicTicks);

    int left = 0; // screen position set before showForRun
    int top = 0;
    int maximum = 1; // notes in the run, at most 65535
    std::uint32_t startTick = 0;

    // Places the dialog at the screen centre less (200, 60), as a run shows it.
    void centreOnScreen();
    // Resets the bar and the status line and shows the dialog at (left, top).
    void showForRun();
    // Shows `status` with a busy bar and `caption` at (left, top).
    void showForJob(const QString& caption, const QString& status);
    // One more note finished; diverged tells whether its integration blew up.
    // Returns false when the bar has reached the maximum and the dialog hid.
    bool progressStep(bool diverged = false);

    // After the notes: what is still done before the run's instrument plays,
    // with a busy bar (total 0) or done of total steps. Shown without taking
    // the focus from the window, where the keys play on.
    void showStage(const QString& status, int done = 0, int total = 0);

    int position() const;
    QString statusText() const;
    QPushButton* cancelButton() const { return cancelButton_; }

    void reject() override;

signals:
    // Cancel, Escape or the close box while a run shows the dialog. The
    // dialog stays visible until the receivers have returned.
    void cancelRequested();

private:
    QProgressBar* progressBar_;
    QLineEdit* statusEdit_;
    QPushButton* cancelButton_;
    TickSource ticks_;
    int divergedNotes_ = 0;
    bool hidesOnCancel_ = true; // a run's dialog hides at Cancel, a job's waits for the work
};

} // namespace kivora
