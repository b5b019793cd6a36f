#include "common/EngineGuard.h"

#include "AppTestSupport.h"
#include "piano/CPianoFrame.h"
#include "session/InstrumentSession.h"
#include "session/ModelSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <pellamy/InitFailedException.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;

TEST(EngineGuard, EveryKindOfFailureBecomesAMessage) {
    CapturedMessages messages;
    EXPECT_TRUE(guarded(nullptr, [] {}));
    EXPECT_FALSE(guarded(nullptr, [] { throw std::string("Can't open instrument file"); }));
    EXPECT_FALSE(guarded(nullptr, [] { throw "Using not-initialized object"; }));
    EXPECT_FALSE(guarded(nullptr, [] { throw pellamy::InitFailedException("DirectSoundCreate8 failed\n"); }));
    EXPECT_FALSE(guarded(nullptr, [] { throw std::runtime_error("disk full"); }));
    EXPECT_FALSE(guarded(nullptr, [] { throw 42; }));
    EXPECT_EQ(messages.texts, QStringList({"Can't open instrument file", "Using not-initialized object",
                                           "DirectSoundCreate8 failed", "disk full", "Unknown failure"}));
    // Asked to, the device failure goes to the caller instead.
    EXPECT_THROW(guarded(
                     nullptr, [] { throw pellamy::InitFailedException("x"); }, DeviceFailure::Rethrow),
                 pellamy::InitFailedException);
    EXPECT_EQ(messages.texts.size(), 5);
}

// SDL_AUDIODRIVER for the life of the object.
class AudioDriver {
public:
    explicit AudioDriver(const char* name) : previous_(qgetenv("SDL_AUDIODRIVER")) {
        qputenv("SDL_AUDIODRIVER", name);
    }
    ~AudioDriver() { qputenv("SDL_AUDIODRIVER", previous_); }
    AudioDriver(const AudioDriver&) = delete;
    AudioDriver& operator=(const AudioDriver&) = delete;

private:
    QByteArray previous_;
};

TEST(EngineGuard, WithoutASoundDeviceTheInstrumentPlaysSilentlyUntilTheDeviceIsBack) {
    CapturedMessages messages;
    InstrumentSession session;
    CPianoView view(session);
    {
        const AudioDriver missing("no-such-driver");
        ASSERT_TRUE(session.loadFile(duoInstrumentPath()));
        EXPECT_TRUE(session.isSilent());
        // The process's environment is left alone: other threads read it.
        EXPECT_EQ(qgetenv("SDL_AUDIODRIVER"), QByteArray("no-such-driver"));
        // Said once while the device stays away.
        ASSERT_TRUE(session.loadFile(duoInstrumentPath()));
    }
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts.front().startsWith(QStringLiteral("DirectSoundCreate8 failed: ")))
        << messages.texts.front().toStdString();
    QTest::keyPress(&view, Qt::Key_Q);
    EXPECT_TRUE(session.instrument()->soundFor("low")->isPlaying());
    QTest::keyRelease(&view, Qt::Key_Q);
    // The next instrument tries the device again.
    ASSERT_TRUE(session.loadFile(duoInstrumentPath()));
    EXPECT_FALSE(session.isSilent());
    EXPECT_EQ(messages.texts.size(), 1);
}

TEST(EngineGuard, AWavMelodyPlaysWithoutAnInstrument) {
    CapturedMessages messages;
    InstrumentSession session;
    CPianoView view(session);
    test::ScriptedFileChooser files;
    files.answers = {QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/duo/1/low.wav")};
    session.setFileChooser(files.chooser());
    view.playMelody();
    test::waitForBackgroundJobs();
    EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join('\n').toStdString();
    EXPECT_TRUE(view.melodyPlayer().isPlaying());
    view.melodyPlayer().stop();
    EXPECT_FALSE(view.melodyPlayer().isPlaying());
    // A file that is no WAV file is refused with a message.
    files.answers = {duoInstrumentPath().left(duoInstrumentPath().size() - 4) + ".wav"};
    view.playMelody();
    test::waitForBackgroundJobs();
    EXPECT_EQ(messages.texts.size(), 1);
}

TEST(EngineGuard, ControlOAndControlSOpenAndSaveTheModel) {
    CapturedMessages messages;
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    test::ScriptedFileChooser files;
    window->model().setFileChooser(files.chooser());
    frame.show();
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(&frame, Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(&frame, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(files.filters, QStringList({"Kivora model (*.json)", "Kivora model (*.json)"}));
}

} // namespace
} // namespace kivora
