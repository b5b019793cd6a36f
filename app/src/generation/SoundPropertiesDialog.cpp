#include "generation/SoundPropertiesDialog.h"

#include "common/DialogUnits.h"
#include "common/EngineGuard.h"
#include "common/LeadingNumber.h"

#include <kivora/GenerationRules.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

namespace kivora {

namespace {

// The "%lg" format (six significant digits, the shorter of fixed and
// exponent notation) with a point whatever the process locale, since the
// dialog reads the text back without the locale.
QString formatShortest(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return QString::fromLatin1(text, static_cast<int>(result.ptr - text));
}

} // namespace

SoundPropertiesDialog::SoundPropertiesDialog(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Create Razuviv"));
    setModal(true);
    const DialogUnits units(fontMetrics());
    setFixedSize(units.size(179, 129));

    auto place = [&](QWidget* widget, int id, int x, int y, int width, int height) {
        widget->setGeometry(units.rect(x, y, width, height));
        if (id != 0) {
            controls_.insert(id, widget);
        }
    };
    auto radio = [&](const char* text, int id, int x, int y, int width, int height, int first, int last) {
        auto* button = new QRadioButton(QString::fromLatin1(text), this);
        button->setAutoExclusive(false);
        place(button, id, x, y, width, height);
        connect(button, &QRadioButton::clicked, this,
                [this, first, last, id] { checkRadioButton(first, last, id); });
    };
    auto label = [&](const char* text, int x, int y, int width, int height) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        place(label, 0, x, y, width, height);
        // A substitute for the layout's font may be wider: the text is not cut.
        label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
        return label;
    };
    auto lineEdit = [&](int id, int x, int y, int width, int height) {
        auto* edit = new QLineEdit(this);
        place(edit, id, x, y, width, height);
        return edit;
    };
    auto group = [&](const char* text, int x, int y, int width, int height) {
        auto* box = new QGroupBox(QString::fromLatin1(text), this);
        place(box, 0, x, y, width, height);
    };

    // In the order of the layout, which is also the tab order.
    auto* generate = new QPushButton(QStringLiteral("Generate!"), this);
    generate->setDefault(true);
    place(generate, kGenerateButton, 114, 7, 52, 14);
    connect(generate, &QPushButton::clicked, this, &SoundPropertiesDialog::accept);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    place(cancel, kCancelButton, 114, 24, 52, 14);
    connect(cancel, &QPushButton::clicked, this, &SoundPropertiesDialog::reject);

    group("Generate Ocatves", 7, 7, 96, 41);
    radio("1", kOctaves1, 15, 20, 20, 10, kSingleNote, kOctaves3);
    radio("2", kOctaves2, 43, 20, 20, 10, kSingleNote, kOctaves3);
    radio("3", kOctaves3, 72, 20, 20, 10, kSingleNote, kOctaves3);
    radio("single note", kSingleNote, 15, 34, 51, 10, kSingleNote, kOctaves3);

    group("Annuations", 7, 50, 96, 43);
    label("Linear", 15, 63, 27, 8);
    lineEdit(kLinearEdit, 53, 59, 40, 12);
    label("Square", 14, 77, 24, 8);
    lineEdit(kSquareEdit, 53, 74, 40, 12);

    group("Sample Rate", 114, 49, 52, 44);
    radio("44100", kRate44100, 118, 60, 32, 10, kRate44100, kRate8000);
    radio("22050", kRate22050, 118, 70, 32, 10, kRate44100, kRate8000);
    radio("8000", kRate8000, 118, 81, 32, 10, kRate44100, kRate8000);

    group("Duration", 7, 93, 160, 25);
    QLabel* unit = label("milliSenods", 14, 105, 35, 8);
    QLineEdit* duration = lineEdit(kDurationEdit, 55, 103, 40, 12);
    duration->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), duration));
    const QString range = tr("Every note lasts 1 to %1 milliseconds").arg(GenerationSettings::kMaxDurationMs);
    unit->setToolTip(range);
    duration->setToolTip(range);
    duration->setPlaceholderText(tr("1-%1").arg(GenerationSettings::kMaxDurationMs));
    // Shown for the layout's sake; nothing reads it.
    auto* tillSilence = new QCheckBox(QStringLiteral("till Silence"), this);
    tillSilence->setEnabled(false);
    place(tillSilence, kTillSilence, 107, 105, 44, 10);
}

void SoundPropertiesDialog::setVisible(bool visible) {
    if (visible && !initialised_) {
        initialise();
    }
    QDialog::setVisible(visible);
}

void SoundPropertiesDialog::initialise() {
    initialised_ = true;
    edit(kLinearEdit)->setText(formatShortest(linearDamping));
    edit(kSquareEdit)->setText(formatShortest(squareDamping));
    edit(kDurationEdit)->setText(QString::number(durationMs));

    const int octaveButton = octaves == 0   ? kSingleNote
                             : octaves == 2 ? kOctaves2
                             : octaves == 3 ? kOctaves3
                                            : kOctaves1;
    checkRadioButton(kSingleNote, kOctaves3, octaveButton);
    const int rateButton = sampleRate == 8000 ? kRate8000 : sampleRate == 22050 ? kRate22050 : kRate44100;
    checkRadioButton(kRate44100, kRate8000, rateButton);
    control(kGenerateButton)->setFocus();
}

void SoundPropertiesDialog::accept() {
    // The values as they would be taken, under the generator's rules: a
    // refused one keeps the dialog open with its text for the user to correct.
    GenerationSettings shown = shownSettings();
    const std::string durationText = edit(kDurationEdit)->text().trimmed().toStdString();
    // Digits beyond an int's range are a duration too, and far too long.
    const bool overlong = !leadingInt(durationText) && !durationText.empty() && durationText.front() >= '0' &&
                          durationText.front() <= '9';
    QLineEdit* culprit = edit(kLinearEdit);
    std::string refusal = attenuationRefusal(shown);
    if (refusal.empty()) {
        culprit = edit(kDurationEdit);
        refusal = durationRefusal(overlong ? std::numeric_limits<long long>::max() : shown.durationMs);
    }
    if (!refusal.empty()) {
        showMessage(this, QString::fromStdString(refusal));
        culprit->setFocus();
        culprit->selectAll();
        return;
    }
    octaves = shown.octaves;
    sampleRate = shown.sampleRate;
    linearDamping = shown.linearDamping;
    squareDamping = shown.squareDamping;
    durationMs = shown.durationMs;
    QDialog::accept();
}

GenerationSettings SoundPropertiesDialog::shownSettings() const {
    GenerationSettings shown;
    shown.octaves = octaves;
    shown.sampleRate = sampleRate;
    switch (checkedAmong(kRate44100, kRate8000)) {
    case kRate44100:
        shown.sampleRate = 44100;
        break;
    case kRate22050:
        shown.sampleRate = 22050;
        break;
    case kRate8000:
        shown.sampleRate = 8000;
        break;
    default:
        break;
    }
    switch (checkedAmong(kSingleNote, kOctaves3)) {
    case kSingleNote:
        shown.octaves = 0;
        break;
    case kOctaves1:
        shown.octaves = 1;
        break;
    case kOctaves2:
        shown.octaves = 2;
        break;
    case kOctaves3:
        shown.octaves = 3;
        break;
    default:
        break;
    }
    const auto text = [this](int id) { return edit(id)->text().toStdString(); };
    shown.linearDamping = leadingDouble(text(kLinearEdit)).value_or(linearDamping);
    shown.squareDamping = leadingDouble(text(kSquareEdit)).value_or(squareDamping);
    shown.durationMs = leadingInt(text(kDurationEdit)).value_or(durationMs);
    return shown;
}

void SoundPropertiesDialog::checkRadioButton(int first, int last, int checked) {
    for (int id = first; id <= last; ++id) {
        button(id)->setChecked(id == checked);
    }
}

int SoundPropertiesDialog::checkedAmong(int first, int last) const {
    for (int id = first; id <= last; ++id) {
        if (button(id)->isChecked()) {
            return id;
        }
    }
    return 0;
}

QAbstractButton* SoundPropertiesDialog::button(int id) const {
    return qobject_cast<QAbstractButton*>(control(id));
}

QLineEdit* SoundPropertiesDialog::edit(int id) const {
    return qobject_cast<QLineEdit*>(control(id));
}

} // namespace kivora
