// "Create Razuviv": the modal dialog asking how notes are generated from the
// drawn model (octaves, the two attenuations, sample rate, duration).
//
// The caller sets the five public values, runs exec() and, unless it returns
// QDialog::Rejected, reads them back. The dialog shows the values when it is
// first shown and takes them back on "Generate!"; a text that does not start
// with a number keeps the field's value. Values the generator's rules refuse
// (a duration of 0 ms or above GenerationSettings::kMaxDurationMs, a linear
// attenuation the step cannot follow) are refused with the rule's message and
// the dialog stays open. Interface thread only.
#pragma once

#include <kivora/NoteGenerator.h>

#include <QDialog>
#include <QHash>

class QAbstractButton;
class QLineEdit;

namespace kivora {

class SoundPropertiesDialog : public QDialog {
    Q_OBJECT

public:
    // Control identifiers; tests and the layout refer to controls by them.
    enum ControlId {
        kGenerateButton = 1,
        kCancelButton = 2,
        kLinearEdit = 1002,
        kRate44100 = 1003,
        kRate22050 = 1004,
        kRate8000 = 1005,
        kSquareEdit = 1006,
        kSingleNote = 1007,
        kOctaves2 = 1008,
        kOctaves1 = 1009,
        kOctaves3 = 1010,
        kDurationEdit = 1011,
        kTillSilence = 1013,
    };

    explicit SoundPropertiesDialog(QWidget* parent = nullptr);

    int octaves = 2; // 0: a single note
    int sampleRate = 44100;
    double linearDamping = 4.0;
    double squareDamping = 0.08;
    int durationMs = 500;

    QWidget* control(int id) const { return controls_.value(id); }

    void setVisible(bool visible) override;
    void accept() override;

private:
    void initialise();
    // The values the controls show, each field's own where its text is no number.
    GenerationSettings shownSettings() const;
    // Each radio button stands alone; a click checks it and clears the others of its set.
    void checkRadioButton(int first, int last, int checked);
    int checkedAmong(int first, int last) const;
    QAbstractButton* button(int id) const;
    QLineEdit* edit(int id) const;

    QHash<int, QWidget*> controls_;
    bool initialised_ = false;
};

} // namespace kivora
