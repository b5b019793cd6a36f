// The settings dialog and the progress dialog of a generation run.
#include "AppTestSupport.h"
#include "DecimalCommaLocale.h"
#include "GenerationTestSupport.h"
#include "common/CProgressDialogNonModal.h"
#include "generation/SoundPropertiesDialog.h"

#include <kivora/GenerationRules.h>
#include <kivora/NoteGenerator.h>

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <clocale>
#include <filesystem>

namespace kivora {
namespace {

using Id = SoundPropertiesDialog;

QAbstractButton* buttonOf(QWidget* dialog, int id) {
    return qobject_cast<QAbstractButton*>(static_cast<SoundPropertiesDialog*>(dialog)->control(id));
}

QLineEdit* editOf(QWidget* dialog, int id) {
    return qobject_cast<QLineEdit*>(static_cast<SoundPropertiesDialog*>(dialog)->control(id));
}

std::vector<int> checkedAmong(QWidget* dialog, std::initializer_list<int> ids) {
    std::vector<int> checked;
    for (const int id : ids) {
        if (buttonOf(dialog, id)->isChecked()) {
            checked.push_back(id);
        }
    }
    return checked;
}

void fillFrom(SoundPropertiesDialog& dialog, const GenerationSettings& settings) {
    dialog.octaves = settings.octaves;
    dialog.sampleRate = settings.sampleRate;
    dialog.linearDamping = settings.linearDamping;
    dialog.squareDamping = settings.squareDamping;
    dialog.durationMs = settings.durationMs;
}

constexpr std::initializer_list<int> kOctaveButtons = {Id::kSingleNote, Id::kOctaves2, Id::kOctaves1,
                                                       Id::kOctaves3};
constexpr std::initializer_list<int> kRateButtons = {Id::kRate44100, Id::kRate22050, Id::kRate8000};

TEST(SoundPropertiesDialog, FirstOpeningShowsTheGeneratorsInitialSettings) {
    SoundPropertiesDialog dialog;
    fillFrom(dialog, GenerationSettings{});
    testing::answerNextModal([](QWidget* shown) {
        EXPECT_EQ(shown->windowTitle(), "Create Razuviv");
        EXPECT_EQ(editOf(shown, Id::kLinearEdit)->text(), "4");
        EXPECT_EQ(editOf(shown, Id::kSquareEdit)->text(), "0.08");
        EXPECT_EQ(editOf(shown, Id::kDurationEdit)->text(), "500");
        EXPECT_EQ(checkedAmong(shown, kOctaveButtons), std::vector<int>{Id::kOctaves2});
        EXPECT_EQ(checkedAmong(shown, kRateButtons), std::vector<int>{Id::kRate44100});
        EXPECT_FALSE(buttonOf(shown, Id::kTillSilence)->isEnabled());
        buttonOf(shown, Id::kCancelButton)->click();
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
}

TEST(SoundPropertiesDialog, CaptionsAndLabelsInLayoutOrder) {
    SoundPropertiesDialog dialog;
    std::vector<QString> groups;
    for (const QGroupBox* box : dialog.findChildren<QGroupBox*>()) {
        groups.push_back(box->title());
    }
    EXPECT_EQ(groups, (std::vector<QString>{"Generate Ocatves", "Annuations", "Sample Rate", "Duration"}));
    std::vector<QString> labels;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        labels.push_back(label->text());
    }
    EXPECT_EQ(labels, (std::vector<QString>{"Linear", "Square", "milliSenods"}));
    EXPECT_EQ(buttonOf(&dialog, Id::kGenerateButton)->text(), "Generate!");
    EXPECT_TRUE(qobject_cast<QPushButton*>(buttonOf(&dialog, Id::kGenerateButton))->isDefault());
    EXPECT_EQ(buttonOf(&dialog, Id::kSingleNote)->text(), "single note");
    EXPECT_EQ(buttonOf(&dialog, Id::kTillSilence)->text(), "till Silence");
    // The "1" button stands left of "2" and "3", "single note" below them.
    EXPECT_LT(buttonOf(&dialog, Id::kOctaves1)->x(), buttonOf(&dialog, Id::kOctaves2)->x());
    EXPECT_LT(buttonOf(&dialog, Id::kOctaves2)->x(), buttonOf(&dialog, Id::kOctaves3)->x());
    EXPECT_GT(buttonOf(&dialog, Id::kSingleNote)->y(), buttonOf(&dialog, Id::kOctaves1)->y());
}

TEST(SoundPropertiesDialog, EachRadioClickClearsTheRestOfItsSet) {
    SoundPropertiesDialog dialog;
    dialog.octaves = 1;
    dialog.sampleRate = 12345; // any other rate shows 44100
    testing::answerNextModal([](QWidget* shown) {
        EXPECT_EQ(checkedAmong(shown, kOctaveButtons), std::vector<int>{Id::kOctaves1});
        QTest::mouseClick(buttonOf(shown, Id::kOctaves3), Qt::LeftButton);
        EXPECT_EQ(checkedAmong(shown, kOctaveButtons), std::vector<int>{Id::kOctaves3});
        // Clicking the checked button keeps it checked.
        QTest::mouseClick(buttonOf(shown, Id::kOctaves3), Qt::LeftButton);
        EXPECT_EQ(checkedAmong(shown, kOctaveButtons), std::vector<int>{Id::kOctaves3});
        EXPECT_EQ(checkedAmong(shown, kRateButtons), std::vector<int>{Id::kRate44100});
        QTest::mouseClick(buttonOf(shown, Id::kRate8000), Qt::LeftButton);
        EXPECT_EQ(checkedAmong(shown, kRateButtons), std::vector<int>{Id::kRate8000});
        buttonOf(shown, Id::kGenerateButton)->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.octaves, 3);
    EXPECT_EQ(dialog.sampleRate, 8000);
}

TEST(SoundPropertiesDialog, SingleNoteAndRatesMapBothWays) {
    SoundPropertiesDialog dialog;
    dialog.octaves = 0;
    dialog.sampleRate = 22050;
    testing::answerNextModal([](QWidget* shown) {
        EXPECT_EQ(checkedAmong(shown, kOctaveButtons), std::vector<int>{Id::kSingleNote});
        EXPECT_EQ(checkedAmong(shown, kRateButtons), std::vector<int>{Id::kRate22050});
        buttonOf(shown, Id::kGenerateButton)->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.octaves, 0);
    EXPECT_EQ(dialog.sampleRate, 22050);
}

TEST(SoundPropertiesDialog, TextsGiveTheirLeadingNumberOrKeepTheValue) {
    SoundPropertiesDialog dialog;
    fillFrom(dialog, GenerationSettings{});
    testing::answerNextModal([](QWidget* shown) {
        editOf(shown, Id::kLinearEdit)->setText("abc");
        editOf(shown, Id::kSquareEdit)->setText("12abc");
        editOf(shown, Id::kDurationEdit)->setText("");
        QTest::keyClicks(editOf(shown, Id::kDurationEdit), "7x5");
        EXPECT_EQ(editOf(shown, Id::kDurationEdit)->text(), "75") << "the duration takes digits only";
        buttonOf(shown, Id::kGenerateButton)->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.linearDamping, 4.0);
    EXPECT_EQ(dialog.squareDamping, 12.0);
    EXPECT_EQ(dialog.durationMs, 75);
}

TEST(SoundPropertiesDialog, EmptyDurationKeepsTheValue) {
    SoundPropertiesDialog dialog;
    fillFrom(dialog, GenerationSettings{});
    testing::answerNextModal([](QWidget* shown) {
        editOf(shown, Id::kDurationEdit)->clear();
        editOf(shown, Id::kLinearEdit)->setText("  -2.5e1 ");
        buttonOf(shown, Id::kGenerateButton)->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.durationMs, 500);
    EXPECT_EQ(dialog.linearDamping, -25.0);
}

TEST(SoundPropertiesDialog, ZeroDurationIsRefusedAndTheDialogStaysOpen) {
    test::CapturedMessages messages;
    SoundPropertiesDialog dialog;
    fillFrom(dialog, GenerationSettings{});
    testing::answerNextModal([&](QWidget* shown) {
        editOf(shown, Id::kLinearEdit)->setText("7");
        editOf(shown, Id::kDurationEdit)->setText("000");
        buttonOf(shown, Id::kGenerateButton)->click();
        EXPECT_TRUE(shown->isVisible()) << "refused, still open";
        ASSERT_EQ(messages.texts.size(), 1);
        EXPECT_TRUE(messages.texts[0].contains("at least 1 millisecond")) << messages.texts[0].toStdString();
        EXPECT_EQ(editOf(shown, Id::kDurationEdit)->text(), "000") << "the text is kept for correcting";
        editOf(shown, Id::kDurationEdit)->setText("20");
        buttonOf(shown, Id::kGenerateButton)->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.durationMs, 20);
    EXPECT_EQ(dialog.linearDamping, 7.0);
    EXPECT_EQ(messages.texts.size(), 1);
}

// The generator's limit, in the dialog: the run would be refused anyway, so
// the dialog says so and stays open rather than closing without a word.
TEST(SoundPropertiesDialog, DurationsAboveTheGeneratorsLimitAreRefusedAndTheDialogStaysOpen) {
    const int limit = GenerationSettings::kMaxDurationMs;
    for (const char* tooLong : {"60001", "999999999", "99999999999999999999"}) {
        test::CapturedMessages messages;
        SoundPropertiesDialog dialog;
        fillFrom(dialog, GenerationSettings{});
        testing::answerNextModal([&](QWidget* shown) {
            EXPECT_TRUE(editOf(shown, Id::kDurationEdit)->toolTip().contains(QString::number(limit)));
            editOf(shown, Id::kDurationEdit)->setText(QString::fromLatin1(tooLong));
            buttonOf(shown, Id::kGenerateButton)->click();
            EXPECT_TRUE(shown->isVisible()) << tooLong << " ms: refused, still open";
            ASSERT_EQ(messages.texts.size(), 1) << tooLong;
            EXPECT_TRUE(messages.texts[0].contains("at most 60000 milliseconds"))
                << messages.texts[0].toStdString();
            editOf(shown, Id::kDurationEdit)->setText(QString::number(limit));
            buttonOf(shown, Id::kGenerateButton)->click();
        });
        ASSERT_EQ(dialog.exec(), QDialog::Accepted) << tooLong;
        EXPECT_EQ(dialog.durationMs, limit) << "the limit itself is taken";
    }
}

// The dialog asks the generator's rules and shows their one message; a
// negative attenuation is taken (it feeds the vibration).
TEST(SoundPropertiesDialog, RefusalsAreTheGeneratorsRulesAndTheirMessages) {
    GenerationSettings tooStrong;
    tooStrong.sampleRate = 8000;
    tooStrong.linearDamping = 30000.0;
    const struct {
        const char* linear;
        const char* duration;
        std::string refusal; // "" for taken
        int focused;
    } rows[] = {
        {"30000", "500", attenuationRefusal(tooStrong), Id::kLinearEdit},
        {"4", "0", durationRefusal(0), Id::kDurationEdit},
        {"-2.5", "500", "", 0},
    };
    for (const auto& row : rows) {
        test::CapturedMessages messages;
        SoundPropertiesDialog dialog;
        fillFrom(dialog, GenerationSettings{});
        testing::answerNextModal([&](QWidget* shown) {
            QTest::mouseClick(buttonOf(shown, Id::kRate8000), Qt::LeftButton);
            editOf(shown, Id::kLinearEdit)->setText(QString::fromLatin1(row.linear));
            editOf(shown, Id::kDurationEdit)->setText(QString::fromLatin1(row.duration));
            buttonOf(shown, Id::kGenerateButton)->click();
            if (row.refusal.empty()) {
                EXPECT_TRUE(messages.texts.empty());
                return;
            }
            EXPECT_TRUE(shown->isVisible()) << row.linear;
            ASSERT_EQ(messages.texts.size(), 1);
            EXPECT_EQ(messages.texts[0].toStdString(), row.refusal);
            EXPECT_EQ(shown->focusWidget(), editOf(shown, row.focused));
            buttonOf(shown, Id::kCancelButton)->click();
        });
        EXPECT_EQ(dialog.exec(), row.refusal.empty() ? QDialog::Accepted : QDialog::Rejected) << row.linear;
        EXPECT_EQ(dialog.linearDamping, row.refusal.empty() ? -2.5 : 4.0);
    }
}

TEST(SoundPropertiesDialog, CancelTakesNothing) {
    SoundPropertiesDialog dialog;
    fillFrom(dialog, GenerationSettings{});
    testing::answerNextModal([](QWidget* shown) {
        editOf(shown, Id::kLinearEdit)->setText("9");
        QTest::mouseClick(buttonOf(shown, Id::kSingleNote), Qt::LeftButton);
        buttonOf(shown, Id::kCancelButton)->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_EQ(dialog.linearDamping, 4.0);
    EXPECT_EQ(dialog.octaves, 2);
}

TEST(SoundPropertiesDialog, NumbersIgnoreADecimalCommaLocale) {
    const auto folder = std::filesystem::temp_directory_path() / "kivora-dialog-locale";
    std::filesystem::create_directories(folder);
    if (!kivora::testing::useDecimalCommaLocale(folder)) {
        GTEST_SKIP() << "no decimal-comma locale";
    }
    SoundPropertiesDialog dialog;
    dialog.squareDamping = 0.08;
    testing::answerNextModal([](QWidget* shown) {
        EXPECT_EQ(editOf(shown, Id::kSquareEdit)->text(), "0.08");
        editOf(shown, Id::kLinearEdit)->setText("0.5");
        buttonOf(shown, Id::kGenerateButton)->click();
    });
    const int result = dialog.exec();
    std::setlocale(LC_NUMERIC, "C");
    ASSERT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(dialog.linearDamping, 0.5);
}

// A clock the test moves by hand.
struct ManualClock {
    std::uint32_t nowMs = 0;
    CProgressDialogNonModal::TickSource source() {
        return [this] { return nowMs; };
    }
};

TEST(CProgressDialogNonModal, SingleNoteHidesAtTheFirstStepWithoutProgressText) {
    ManualClock clock;
    CProgressDialogNonModal dialog(nullptr, clock.source());
    dialog.maximum = 1;
    dialog.showForRun();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.windowTitle(), "Dialog");
    EXPECT_EQ(dialog.statusText(), "Initializing calculation's...");
    clock.nowMs = 700;
    EXPECT_FALSE(dialog.progressStep());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.statusText(), "Initializing calculation's...");
}

TEST(CProgressDialogNonModal, EstimateStartsWithTheSecondNote) {
    ManualClock clock;
    clock.nowMs = 1000;
    CProgressDialogNonModal dialog(nullptr, clock.source());
    dialog.maximum = 24;
    dialog.showForRun();
    clock.nowMs = 3400;
    EXPECT_TRUE(dialog.progressStep());
    EXPECT_EQ(dialog.statusText(), "1/24 notes ready...2 of ? sec elapsed");
    clock.nowMs = 3900;
    EXPECT_TRUE(dialog.progressStep());
    EXPECT_EQ(dialog.statusText(), "2/24 notes ready...0 of 11 sec elapsed");
    for (int note = 3; note < 24; ++note) {
        EXPECT_TRUE(dialog.progressStep());
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.progressStep());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.position(), 24);
}

TEST(CProgressDialogNonModal, AWrappedClockStillGivesTheElapsedTime) {
    ManualClock clock;
    clock.nowMs = 0xFFFFFC00u;
    CProgressDialogNonModal dialog(nullptr, clock.source());
    dialog.maximum = 12;
    dialog.showForRun();
    dialog.progressStep();
    clock.nowMs += 2000; // wraps through zero
    ASSERT_LT(clock.nowMs, 0x1000u);
    dialog.progressStep();
    EXPECT_EQ(dialog.statusText(), "2/12 notes ready...2 of 22 sec elapsed");
}

TEST(CProgressDialogNonModal, DivergedNotesAreCounted) {
    ManualClock clock;
    CProgressDialogNonModal dialog(nullptr, clock.source());
    dialog.maximum = 12;
    dialog.showForRun();
    dialog.progressStep(true);
    EXPECT_EQ(dialog.statusText(), "1/12 notes ready...0 of ? sec elapsed, 1 diverged");
    dialog.progressStep(false);
    EXPECT_EQ(dialog.statusText(), "2/12 notes ready...0 of 0 sec elapsed, 1 diverged");
}

TEST(CProgressDialogNonModal, StepsAdvanceAndAFreshRunStartsOver) {
    ManualClock clock;
    CProgressDialogNonModal dialog(nullptr, clock.source());
    dialog.maximum = 12;
    dialog.showForRun();
    dialog.progressStep();
    dialog.progressStep();
    EXPECT_EQ(dialog.position(), 2);
    dialog.maximum = 36;
    dialog.showForRun();
    EXPECT_EQ(dialog.position(), 0);
    EXPECT_EQ(dialog.statusText(), "Initializing calculation's...");
}

TEST(CProgressDialogNonModal, PlacedFromTheScreenCentre) {
    CProgressDialogNonModal dialog(nullptr);
    dialog.centreOnScreen();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(dialog.left, screen.width() / 2 - 200);
    EXPECT_EQ(dialog.top, screen.height() / 2 - 60);
    dialog.maximum = 12;
    dialog.showForRun();
    EXPECT_EQ(dialog.pos(), QPoint(dialog.left, dialog.top));
}

// Records the cancel requests the dialog makes and what it showed then.
struct CancelTarget {
    explicit CancelTarget(CProgressDialogNonModal& dialog) {
        QObject::connect(&dialog, &CProgressDialogNonModal::cancelRequested, [this, &dialog] {
            ++cancels;
            visibleDuringCancel = dialog.isVisible();
        });
    }
    int cancels = 0;
    bool visibleDuringCancel = false;
};

TEST(CProgressDialogNonModal, CancelButtonEscapeAndCloseBoxCancel) {
    CProgressDialogNonModal owned(nullptr);
    CancelTarget target(owned);
    owned.maximum = 12;

    owned.showForRun();
    owned.cancelButton()->click();
    EXPECT_EQ(target.cancels, 1);
    EXPECT_TRUE(target.visibleDuringCancel) << "the dialog stays until the cancel has been handled";
    EXPECT_FALSE(owned.isVisible());
    EXPECT_EQ(owned.statusText(), "Cancelling... please wait");

    owned.showForRun();
    QTest::keyClick(&owned, Qt::Key_Escape);
    EXPECT_EQ(target.cancels, 2);
    EXPECT_FALSE(owned.isVisible());

    owned.showForRun();
    owned.close();
    EXPECT_EQ(target.cancels, 3);
    EXPECT_FALSE(owned.isVisible());
}

} // namespace
} // namespace kivora
