// A generation run driven as the main frame drives it, with its targets recorded.
#include "generation/GenerationRun.h"

#include "GenerationTestSupport.h"
#include "TestModels.h"
#include "generation/SoundPropertiesDialog.h"

#include <kivora/NoteTuning.h>
#include <modelkit/ModelFile.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kivora {
namespace {

// What the piano, the oscillogram and the analyzer were handed.
struct Delivery {
    int started = 0;
    int instrumentReadyCalls = 0;
    int count = -1;
    std::vector<std::string> names;
    std::vector<std::vector<std::int16_t>> notes; // copies of the first count records
    int waveformSamples = -1;
    int waveformRate = -1;
    QString tuning;
    std::vector<QString> messages;

    // Follows the run's signals.
    void attach(GenerationRun& run) {
        QObject::connect(&run, &GenerationRun::started, [this] { ++started; });
        QObject::connect(&run, &GenerationRun::instrumentReady,
                         [this](int n, const pellamy::SoundStreamDescription* records) {
                             ++instrumentReadyCalls;
                             count = n;
                             names.clear();
                             notes.clear();
                             for (int i = 0; i < n; ++i) {
                                 names.push_back(records[i].name);
                                 notes.emplace_back(records[i].data,
                                                    records[i].data + records[i].dataBytes / 2);
                             }
                             waveformSamples = static_cast<int>(records[0].dataBytes / 2);
                             waveformRate = static_cast<int>(records[0].format.nSamplesPerSec);
                         });
        QObject::connect(&run, &GenerationRun::tuningMeasured,
                         [this](const QString& summary, const QString&) { tuning = summary; });
    }
};

muntero::ModelSnapshot smallMembrane() {
    return kivora::testing::membrane(5, 5, 4.0e6);
}

// A run over a model, answering every message box into delivery.messages.
struct RunFixture {
    Delivery delivery;
    std::function<muntero::ModelSnapshot()> model = smallMembrane;
    GenerationRun run{nullptr, [this] { return model(); }};
    int questions = 0;
    testing::MessagesTo messages{
        [this](QWidget*, const QString& text) { delivery.messages.push_back(text); }};

    RunFixture() { delivery.attach(run); }
    // Answers the settings question with settings instead of the dialog.
    void answerSettings(GenerationSettings settings) {
        run.setSettingsQuestion([this, settings](QWidget*, GenerationSettings& asked) {
            ++questions;
            asked = settings;
            return true;
        });
    }
    bool waitIdle() {
        return testing::processEventsUntil([this] { return run.idle(); });
    }
};

GenerationSettings shortNotes(int octaves) {
    GenerationSettings settings;
    settings.octaves = octaves;
    settings.sampleRate = 8000;
    settings.durationMs = 40;
    return settings;
}

// The notes the generator renders on its own for the same model and settings.
std::vector<std::vector<std::int16_t>> referenceNotes(const GenerationSettings& settings,
                                                      const muntero::ModelSnapshot& model) {
    NoteGenerator generator;
    generator.setWorkerCount(1);
    generator.configure(settings, model);
    EXPECT_EQ(generator.run(), 0);
    std::vector<std::vector<std::int16_t>> notes;
    for (int note = 0; note < generator.noteCount(); ++note) {
        const std::int16_t* samples = generator.noteBuffer(note);
        notes.emplace_back(samples, samples + generator.samplesPerNote());
    }
    return notes;
}

// Waits on a flag another thread sets; the bound only keeps a fault from hanging.
bool waitUntil(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!flag.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return flag.load();
}

// Handles events until the run is idle; bounded by time, as rendering and
// measuring long notes takes seconds.
bool waitIdleLong(const GenerationRun& run) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!run.idle() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return run.idle();
}

// Cancelling does not wait for the measuring, which takes seconds here; a
// busy machine may still hold the test's thread up for a while.
constexpr double kPromptMs = 1000.0;

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A mass on a spring at 159 Hz renders in moments; measuring its long notes takes seconds.
muntero::ModelSnapshot quickToRender() {
    return kivora::testing::massOnSpring(1.0e-3, 1000.0, 0.5);
}

GenerationSettings longNotes() {
    GenerationSettings settings;
    settings.octaves = 1;
    settings.sampleRate = 44100;
    settings.durationMs = 10'000;
    return settings;
}

// Holds the worker inside the announcement of one note until the run is stopped.
struct WorkerGate {
    int heldNote = 0;
    std::atomic<bool> reached{false};
    std::atomic<bool> left{false};

    void install(GenerationRun& run) {
        NoteGenerator& generator = run.generator();
        run.setNoteObserver([this, &generator](int note) {
            if (note != heldNote) {
                return;
            }
            reached = true;
            while (generator.stopRequested.load() == 0) {
                std::this_thread::yield();
            }
            left = true;
        });
    }
    void waitUntilReached() const {
        while (!reached.load()) {
            std::this_thread::yield();
        }
    }
};

TEST(GenerationRun, RefusedModelsOpenNoSettingsDialog) {
    Delivery delivery;
    muntero::ModelSnapshot unflagged = smallMembrane();
    unflagged.soundingNode = -1;
    muntero::ModelSnapshot model = unflagged;
    GenerationRun run(nullptr, [&] { return model; });
    delivery.attach(run);
    int questions = 0;
    run.setSettingsQuestion([&](QWidget*, GenerationSettings&) { return ++questions, true; });

    // The real message box, answered as the user would.
    QString shownText;
    QString shownTitle;
    testing::answerNextModal([&](QWidget* box) {
        shownText = static_cast<QMessageBox*>(box)->text();
        shownTitle = box->windowTitle();
        static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
    });
    run.generateNotes();
    EXPECT_EQ(shownText, "Put FLAG, to specify dot, which SOUNDs");
    EXPECT_EQ(shownTitle, "Kivora");

    model = muntero::ModelSnapshot{};
    testing::answerNextModal([&](QWidget* box) {
        shownText = static_cast<QMessageBox*>(box)->text();
        static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
    });
    run.generateSingle();
    EXPECT_EQ(shownText, "Draw something first...");

    EXPECT_EQ(questions, 0);
    EXPECT_EQ(delivery.started, 0);
    EXPECT_FALSE(run.generator().allocated());
    EXPECT_TRUE(run.idle());
}

TEST(GenerationRun, SettingsDialogThenAWholeRun) {
    RunFixture fixture;
    fixture.run.setSettingsQuestion(GenerationRun::defaultSettingsQuestion);
    testing::answerNextModal([](QWidget* shown) {
        auto* dialog = static_cast<SoundPropertiesDialog*>(shown);
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kOctaves1))->click();
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kRate8000))->click();
        static_cast<QLineEdit*>(dialog->control(SoundPropertiesDialog::kDurationEdit))->setText("40");
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kGenerateButton))->click();
    });
    fixture.run.generateNotes();
    EXPECT_EQ(fixture.delivery.started, 1);
    EXPECT_FALSE(fixture.run.idle());
    EXPECT_TRUE(fixture.run.progressDialog().isVisible());
    EXPECT_EQ(fixture.run.notesExpected(), 12);
    ASSERT_TRUE(fixture.waitIdle());

    const Delivery& got = fixture.delivery;
    EXPECT_EQ(got.count, 12);
    EXPECT_EQ(got.names.front(), "1C");
    EXPECT_EQ(got.names.back(), "1B");
    EXPECT_EQ(got.waveformSamples, 320);
    EXPECT_EQ(got.waveformRate, 8000);
    EXPECT_EQ(fixture.run.notesDone(), 12);
    EXPECT_EQ(got.notes, referenceNotes(shortNotes(1), smallMembrane()));
    // The worker measures the tuned notes after the run, the progress dialog
    // showing it; notes of 320 samples are too short to ring true, and the
    // one message says so.
    ASSERT_TRUE(testing::processEventsUntil([&] { return !got.tuning.isEmpty(); }));
    EXPECT_FALSE(fixture.run.finishing());
    EXPECT_FALSE(fixture.run.progressDialog().isVisible());
    EXPECT_TRUE(got.tuning.startsWith("Tuning: at most ")) << got.tuning.toStdString();
    ASSERT_EQ(got.messages.size(), 1u);
    EXPECT_TRUE(got.messages[0].startsWith("Notes more than 5 cents off their targets: "))
        << got.messages[0].toStdString();
}

TEST(GenerationRun, CancellingTheSettingsDialogStartsNothing) {
    RunFixture fixture;
    fixture.run.setSettingsQuestion(GenerationRun::defaultSettingsQuestion);
    testing::answerNextModal([](QWidget* shown) {
        auto* dialog = static_cast<SoundPropertiesDialog*>(shown);
        static_cast<QLineEdit*>(dialog->control(SoundPropertiesDialog::kLinearEdit))->setText("9");
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kCancelButton))->click();
    });
    fixture.run.generateNotes();
    EXPECT_EQ(fixture.delivery.started, 0);
    EXPECT_FALSE(fixture.run.generator().allocated());
    EXPECT_EQ(fixture.run.generator().settings().linearDamping, 4.0);
    EXPECT_FALSE(fixture.run.progressDialog().isVisible());
}

TEST(GenerationRun, SingleSoundReusesTheSettingsWithoutOctaves) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(1));
    fixture.run.generateNotes();
    ASSERT_TRUE(fixture.waitIdle());

    fixture.run.generateSingle();
    EXPECT_EQ(fixture.questions, 1) << "no dialog for a single sound";
    EXPECT_EQ(fixture.run.notesExpected(), 1);
    ASSERT_TRUE(fixture.waitIdle());
    EXPECT_EQ(fixture.delivery.count, 1);
    EXPECT_EQ(fixture.delivery.names, std::vector<std::string>{"simpleNote"});
    EXPECT_EQ(fixture.delivery.waveformRate, 8000);
    EXPECT_EQ(fixture.delivery.notes, referenceNotes(shortNotes(0), smallMembrane()));
    EXPECT_EQ(fixture.run.generator().settings().octaves, 0);

    // The next dialog preselects the single note.
    fixture.run.setSettingsQuestion(GenerationRun::defaultSettingsQuestion);
    bool singleChecked = false;
    testing::answerNextModal([&](QWidget* shown) {
        auto* dialog = static_cast<SoundPropertiesDialog*>(shown);
        singleChecked =
            static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kSingleNote))->isChecked();
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kCancelButton))->click();
    });
    fixture.run.generateNotes();
    EXPECT_TRUE(singleChecked);
}

TEST(GenerationRun, CancelAfterThreeNotesHandsThoseThree) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(2));
    fixture.run.generator().setWorkerCount(1);
    WorkerGate gate;
    gate.heldNote = 2;
    gate.install(fixture.run);
    fixture.run.generateNotes();
    gate.waitUntilReached();
    ASSERT_TRUE(testing::processEventsUntil([&] { return fixture.run.notesDone() == 3; }));

    // The progress dialog's Cancel returns once the worker has ended.
    fixture.run.progressDialog().cancelButton()->click();
    EXPECT_TRUE(gate.left.load());
    EXPECT_TRUE(fixture.run.idle());
    EXPECT_FALSE(fixture.run.progressDialog().isVisible());
    EXPECT_EQ(fixture.run.progressDialog().statusText(), "Cancelling... please wait");
    EXPECT_EQ(fixture.delivery.count, 3);
    const auto reference = referenceNotes(shortNotes(2), smallMembrane());
    EXPECT_EQ(fixture.delivery.notes, std::vector(reference.begin(), reference.begin() + 3));
    EXPECT_EQ(fixture.delivery.names, (std::vector<std::string>{"1C", "1C#", "1D"}));
}

TEST(GenerationRun, CancelBeforeTheFirstNoteHandsNone) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(2));
    std::atomic<bool> measuring{false};
    NoteGenerator& generator = fixture.run.generator();
    generator.setFrequencyMeter([&](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) {
        measuring = true;
        while (generator.stopRequested.load() == 0) {
            std::this_thread::yield();
        }
        return 100.0;
    });
    fixture.run.generateNotes();
    while (!measuring.load()) {
        std::this_thread::yield();
    }
    fixture.run.cancel();
    EXPECT_TRUE(fixture.run.idle());
    EXPECT_EQ(fixture.delivery.instrumentReadyCalls, 1);
    EXPECT_EQ(fixture.delivery.count, 0);
    EXPECT_EQ(fixture.delivery.waveformSamples, 320) << "the oscillogram is still handed the first buffer";
}

TEST(GenerationRun, NotesQueuedBeforeACancelCountNowhere) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(2));
    fixture.run.generator().setWorkerCount(1);
    WorkerGate gate;
    gate.heldNote = 3;
    gate.install(fixture.run);
    fixture.run.generateNotes();
    gate.waitUntilReached(); // four NoteDone events wait in the queue, none counted
    fixture.run.cancel();
    EXPECT_EQ(fixture.delivery.count, 0);

    // A single sound starts before the stale events are handled; they count in neither run.
    fixture.run.setNoteObserver({});
    fixture.run.generateSingle();
    ASSERT_TRUE(fixture.waitIdle());
    EXPECT_EQ(fixture.delivery.instrumentReadyCalls, 2);
    EXPECT_EQ(fixture.delivery.count, 1);
    EXPECT_EQ(fixture.delivery.notes, referenceNotes(shortNotes(0), smallMembrane()));
    EXPECT_EQ(fixture.run.notesDone(), 1);
    EXPECT_EQ(fixture.run.progressDialog().position(), 1);
}

TEST(GenerationRun, LateNoteDoneAfterCancelChangesNothing) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(1));
    fixture.run.generator().setWorkerCount(1);
    WorkerGate gate;
    gate.heldNote = 1;
    gate.install(fixture.run);
    fixture.run.generateNotes();
    gate.waitUntilReached();
    fixture.run.cancel();
    const int position = fixture.run.progressDialog().position();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(fixture.run.notesDone(), 0);
    EXPECT_EQ(fixture.run.progressDialog().position(), position);
    EXPECT_EQ(fixture.delivery.instrumentReadyCalls, 1);
}

TEST(GenerationRun, DestroyedDuringARunStopsAndWaitsForTheWorker) {
    WorkerGate gate;
    gate.heldNote = 0;
    {
        RunFixture fixture;
        fixture.answerSettings(shortNotes(3));
        gate.install(fixture.run);
        fixture.run.generateNotes();
        gate.waitUntilReached();
    }
    EXPECT_TRUE(gate.left.load());
}

TEST(GenerationRun, SilentModelFinishesAndSaysSo) {
    RunFixture fixture;
    fixture.model = [] {
        muntero::ModelSnapshot atRest = smallMembrane();
        std::fill(atRest.initialVelocities.begin(), atRest.initialVelocities.end(), 0.0);
        return atRest;
    };
    fixture.answerSettings(shortNotes(1));
    fixture.run.generateNotes();
    ASSERT_TRUE(fixture.waitIdle());
    EXPECT_EQ(fixture.delivery.count, 12);
    ASSERT_EQ(fixture.delivery.messages.size(), 1u);
    EXPECT_TRUE(fixture.delivery.messages[0].contains("silent"))
        << fixture.delivery.messages[0].toStdString();
    EXPECT_TRUE(fixture.delivery.messages[0].contains("meaningless"));
}

TEST(GenerationRun, FixedFlaggedNodeFinishesAndSaysSo) {
    RunFixture fixture;
    fixture.model = [] {
        muntero::ModelSnapshot model = kivora::testing::massOnSpring(1.0, 1.0e6, 0.5);
        model.soundingNode = 0; // the fixed end
        model.initialDisplacements[0] = 0.25;
        return model;
    };
    fixture.answerSettings(shortNotes(0));
    fixture.run.generateNotes();
    ASSERT_TRUE(fixture.waitIdle());
    EXPECT_EQ(fixture.delivery.count, 1);
    EXPECT_EQ(fixture.delivery.messages,
              std::vector<QString>{"The note is silent: the flagged node does not move."});
}

TEST(GenerationRun, EngineFailuresBecomeMessages) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(1));
    fixture.run.generator().setFrequencyMeter(
        [](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) -> double {
            throw std::runtime_error("the resonators failed");
        });
    fixture.run.generateNotes();
    ASSERT_TRUE(fixture.waitIdle());
    EXPECT_EQ(fixture.delivery.messages, std::vector<QString>{"the resonators failed"});
    EXPECT_EQ(fixture.delivery.count, 0);
    EXPECT_FALSE(fixture.run.progressDialog().isVisible());
}

TEST(GenerationRun, OversizedNotesAreRefusedBeforeAnythingIsTaken) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(1));
    fixture.run.generateNotes();
    ASSERT_TRUE(fixture.waitIdle());
    const std::int16_t* before = fixture.run.generator().noteBuffer(0);
    ASSERT_TRUE(testing::processEventsUntil([&] { return !fixture.delivery.tuning.isEmpty(); }));
    fixture.delivery.messages.clear(); // the short notes' tuning warning

    GenerationSettings tooLong = shortNotes(1);
    tooLong.durationMs = 2'000'000'000;
    fixture.answerSettings(tooLong);
    fixture.run.generateNotes();
    ASSERT_EQ(fixture.delivery.messages.size(), 1u);
    EXPECT_TRUE(fixture.delivery.messages[0].contains("134217728"))
        << fixture.delivery.messages[0].toStdString();
    EXPECT_EQ(fixture.delivery.started, 1);
    EXPECT_EQ(fixture.run.generator().noteBuffer(0), before) << "the previous notes are kept";
    EXPECT_EQ(fixture.run.generator().settings().durationMs, 40);
}

// The window and the command line share the generator's one limit.
TEST(GenerationRun, NotesAboveTheDurationLimitAreRefusedWithTheLimit) {
    RunFixture fixture;
    GenerationSettings settings = shortNotes(1);
    settings.durationMs = GenerationSettings::kMaxDurationMs + 1;
    fixture.answerSettings(settings);
    fixture.run.generateNotes();
    ASSERT_EQ(fixture.delivery.messages.size(), 1u);
    EXPECT_TRUE(fixture.delivery.messages[0].contains("at most 60000 milliseconds"))
        << fixture.delivery.messages[0].toStdString();
    EXPECT_EQ(fixture.delivery.started, 0);
    EXPECT_TRUE(fixture.run.idle());
}

TEST(GenerationRun, AvailableMemoryIsKnown) {
    EXPECT_GT(availableMemoryBytes(), 0u);
}

// The untuned note's pitch is measured with the run's stop flag: Cancel does
// not wait for seconds of resonators.
TEST(GenerationRun, CancelDuringTheUntunedNotesMeasurementReturnsAtOnce) {
    RunFixture fixture;
    fixture.model = quickToRender;
    GenerationSettings settings = longNotes();
    settings.durationMs = 60'000;
    fixture.answerSettings(settings);
    NoteGenerator& generator = fixture.run.generator();
    std::atomic<bool> measuring{false};
    generator.setFrequencyMeter(
        [&measuring, meter = generator.frequencyMeter()](const pellamy::WAVEFORMATEX& format,
                                                         const std::int16_t* samples, unsigned count) {
            measuring = true;
            return meter(format, samples, count);
        });
    fixture.run.generateNotes();
    ASSERT_TRUE(waitUntil(measuring));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // well inside the measuring

    const auto start = std::chrono::steady_clock::now();
    fixture.run.cancel();
    EXPECT_LT(millisecondsSince(start), kPromptMs);
    EXPECT_TRUE(fixture.run.idle());
    EXPECT_EQ(fixture.delivery.count, 0);
}

// The last note is announced from inside the generator's run(); the records
// come only once the worker has left it and built them.
TEST(GenerationRun, TheRunEndsOnlyOnceTheWorkerHasLeftTheGenerator) {
    RunFixture fixture;
    fixture.answerSettings(shortNotes(1));
    fixture.run.generator().setWorkerCount(1);
    std::atomic<bool> release{false};
    fixture.run.setNoteObserver([&release](int note) {
        if (note == 11) {
            waitUntil(release);
        }
    });
    fixture.run.generateNotes();
    ASSERT_TRUE(testing::processEventsUntil([&] { return fixture.run.notesDone() == 12; }));
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::processEvents();
    }
    EXPECT_FALSE(fixture.run.idle());
    EXPECT_EQ(fixture.delivery.instrumentReadyCalls, 0) << "handed over while the worker is inside run()";

    release = true;
    ASSERT_TRUE(fixture.waitIdle());
    EXPECT_EQ(fixture.delivery.count, 12);
    EXPECT_EQ(fixture.delivery.notes, referenceNotes(shortNotes(1), smallMembrane()));
}

TEST(GenerationRun, ANewRunAbandonsTheMeasuringOfTheLastOne) {
    RunFixture fixture;
    fixture.model = quickToRender;
    fixture.answerSettings(longNotes());
    fixture.run.generateNotes();
    ASSERT_TRUE(waitIdleLong(fixture.run));
    ASSERT_EQ(fixture.delivery.count, 12);
    ASSERT_TRUE(fixture.delivery.tuning.isEmpty()) << "twelve notes of 10 s take seconds to measure";

    fixture.run.generateSingle();
    EXPECT_EQ(fixture.run.notesExpected(), 1);
    ASSERT_TRUE(fixture.waitIdle());
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(fixture.delivery.count, 1);
    EXPECT_EQ(fixture.delivery.notes.front().size(), 441'000u);
    EXPECT_TRUE(fixture.delivery.tuning.isEmpty()) << "the abandoned measuring shows nothing";
    EXPECT_TRUE(fixture.delivery.messages.empty());
}

TEST(GenerationRun, DestroyedWhileMeasuringReturnsPromptlyAndPostsNothing) {
    Delivery delivery;
    auto run = std::make_unique<GenerationRun>(nullptr, quickToRender);
    delivery.attach(*run);
    const testing::MessagesTo messages(
        [&delivery](QWidget*, const QString& text) { delivery.messages.push_back(text); });
    run->setSettingsQuestion([](QWidget*, GenerationSettings& settings) {
        settings = longNotes();
        return true;
    });
    run->generateNotes();
    ASSERT_TRUE(waitIdleLong(*run));
    ASSERT_EQ(delivery.instrumentReadyCalls, 1);
    ASSERT_TRUE(delivery.tuning.isEmpty()) << "twelve notes of 10 s take seconds to measure";

    const auto start = std::chrono::steady_clock::now();
    run.reset();
    EXPECT_LT(millisecondsSince(start), kPromptMs);
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(delivery.tuning.isEmpty());
    EXPECT_TRUE(delivery.messages.empty());
    EXPECT_EQ(delivery.instrumentReadyCalls, 1);
}

// The free bar at 8000 samples per second is too stiff for its top 19 notes:
// one message names them as `kivora-cli generate` does, and the tooltip
// carries the generator's own measure of every note.
TEST(GenerationRun, NotesPastTheStepLimitAreNamedInOneMessage) {
    RunFixture fixture;
    const muntero::ModelSnapshot bar = muntero::takeSnapshot(
        InstrumentKit::loadModelFile(KIVORA_SOURCE_DIR "/examples/models/free-bar.json"));
    fixture.model = [bar] { return bar; };
    GenerationSettings settings;
    settings.octaves = 3;
    settings.sampleRate = 8000;
    fixture.answerSettings(settings);
    fixture.run.generateNotes();
    ASSERT_TRUE(fixture.waitIdle());
    ASSERT_TRUE(testing::processEventsUntil([&] { return !fixture.delivery.messages.empty(); }));
    EXPECT_EQ(
        fixture.delivery.messages,
        std::vector<QString>{
            "The model is too stiff for 8000 samples per second in the notes 2F 2F# 2G 2G# 2A 2A# 2B 3C "
            "3C# 3D 3D# 3E 3F 3F# 3G 3G# 3A 3A# 3B: their integration is unstable, so they ring at a "
            "false pitch or end in silence (try a higher sample rate or fewer octaves)."});

    NoteGenerator reference;
    reference.configure(settings, bar);
    ASSERT_EQ(reference.run(), 0);
    const std::vector<NoteTuning> tuning = measureTuning(reference);
    const NoteTuning* largest = &tuning.front();
    for (const NoteTuning& note : tuning) {
        if (note.measuredHz > 0.0 && std::fabs(note.centsOff) > std::fabs(largest->centsOff)) {
            largest = &note;
        }
    }
    EXPECT_EQ(fixture.delivery.tuning, QStringLiteral("Tuning: at most %1 cents off (%2)")
                                           .arg(std::fabs(largest->centsOff), 0, 'f', 1)
                                           .arg(QString::fromStdString(largest->name)));
}

// A chain drawn with the editor's defaults (five nodes of mass 1, springs
// 1000, ends fixed, the middle one flagged and displaced) sounds at 3.85 Hz,
// below what the resonators measure: the run scales it into their range and
// tunes it; where the untuned note still measures at the range's edge, the
// run says why and what to change, and hands no notes over.
TEST(GenerationRun, AModelBelowTheMeasurableRangeIsTunedOrRefusedWithTheReason) {
    const auto defaultChain = [] {
        muntero::ModelSnapshot chain;
        for (int i = 0; i < 5; ++i) {
            const bool end = i == 0 || i == 4;
            kivora::testing::addNode(chain, 1.0, end, i == 2 ? 0.5 : 0.0);
            if (!end) {
                kivora::testing::addLink(chain, 1000.0, i - 1);
                kivora::testing::addLink(chain, 1000.0, i + 1);
            }
        }
        chain.soundingNode = 2;
        return chain;
    };
    GenerationSettings settings;
    settings.octaves = 1;
    settings.durationMs = 300;
    {
        RunFixture fixture;
        fixture.model = defaultChain;
        fixture.answerSettings(settings);
        fixture.run.generateNotes();
        ASSERT_TRUE(fixture.waitIdle());
        EXPECT_EQ(fixture.delivery.count, 12);
        ASSERT_TRUE(testing::processEventsUntil([&] { return !fixture.delivery.tuning.isEmpty(); }));
        EXPECT_TRUE(fixture.delivery.messages.empty()) << fixture.delivery.messages[0].toStdString();
        const double worstCents = fixture.delivery.tuning.section(QLatin1Char(' '), 3, 3).toDouble();
        EXPECT_LT(worstCents, 5.0) << fixture.delivery.tuning.toStdString();
    }
    RunFixture refused;
    refused.model = defaultChain;
    refused.answerSettings(settings);
    refused.run.generator().setFrequencyMeter(
        [](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) { return 38.0; });
    refused.run.generateNotes();
    ASSERT_TRUE(refused.waitIdle());
    EXPECT_EQ(refused.delivery.count, 0);
    ASSERT_EQ(refused.delivery.messages.size(), 1u);
    EXPECT_TRUE(refused.delivery.messages[0].startsWith(
        "The untuned note measures 38.00 Hz, the edge of the measurable range (38-2000 Hz)"))
        << refused.delivery.messages[0].toStdString();
    EXPECT_TRUE(refused.delivery.messages[0].contains("although every spring was scaled by"));
}

// The analyzer's tooltip lists each note's error with one decimal; one
// that rounds to zero has no sign.
TEST(GenerationRun, CentsReadWithOneDecimalAndNoNegativeZero) {
    const std::vector<std::pair<double, QString>> table = {{-0.04, "0.0"}, {0.04, "0.0"},   {-0.0, "0.0"},
                                                           {0.0, "0.0"},   {-0.06, "-0.1"}, {0.06, "0.1"},
                                                           {1.25, "1.3"},  {-3.14, "-3.1"}, {12.0, "12.0"}};
    for (const auto& [cents, text] : table)
        EXPECT_EQ(centsText(cents), text) << cents;
}

} // namespace
} // namespace kivora
