// The melody player on SDL's dummy driver, which has a single output device:
// a melody plays through the piano that holds it, and a device of the
// player's own is given back as soon as the melody has ended.
#include "piano/MelodyPlayer.h"

#include "AppTestSupport.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/SoundOutput.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace kivora {
namespace {

using test::duoInstrumentPath;
using test::waitUntil;

// 0.1 s of a quiet tone, stereo at 22050 Hz.
MelodyClip shortClip() {
    MelodyClip clip;
    clip.channels = 2;
    clip.rateHz = 22050;
    for (int i = 0; i < 2205; ++i)
        clip.values.insert(clip.values.end(), 2, static_cast<std::int16_t>((i % 50) * 40));
    return clip;
}

class MelodyPlayerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qgetenv("SDL_AUDIODRIVER"), "dummy"); }
};

TEST_F(MelodyPlayerTest, ADeviceOfItsOwnIsClosedWhenTheMelodyEnds) {
    MelodyPlayer player;
    player.play(shortClip());
    EXPECT_TRUE(player.isPlaying());
    EXPECT_TRUE(player.ownsDevice());
    ASSERT_TRUE(waitUntil([&] { return !player.ownsDevice(); }, 10000)) << "the device stayed open";
    EXPECT_FALSE(player.isPlaying());
    // The dummy driver's only device is free again.
    pellamy::InstrumentController piano;
    EXPECT_NO_THROW(piano.CreateInstrumentSuite(duoInstrumentPath().toStdString()));
}

TEST_F(MelodyPlayerTest, PlaysThroughThePianoThatHoldsTheOnlyDevice) {
    auto piano = std::make_unique<pellamy::InstrumentController>();
    piano->CreateInstrumentSuite(duoInstrumentPath().toStdString());
    ASSERT_NE(piano->soundOutput(), nullptr);
    MelodyPlayer player([&] { return piano ? piano->soundOutput() : nullptr; });
    ASSERT_NO_THROW(player.play(shortClip()));
    EXPECT_FALSE(player.ownsDevice());
    EXPECT_TRUE(player.isPlaying());
    EXPECT_TRUE(piano->soundOutput()->isClipPlaying());
    ASSERT_TRUE(waitUntil([&] { return !player.isPlaying(); }, 10000));
    EXPECT_TRUE(piano->soundOutput()->isSilent());

    // A piano that drops its output ends the melody; nothing follows the old one.
    MelodyClip longClip = shortClip();
    for (int i = 0; i < 6; ++i)
        longClip.values.insert(longClip.values.end(), longClip.values.begin(), longClip.values.end());
    player.play(longClip);
    EXPECT_TRUE(player.isPlaying());
    piano.reset();
    EXPECT_FALSE(player.isPlaying());
    player.stop();
}

TEST_F(MelodyPlayerTest, FilesThatCannotPlayAreMelodyErrors) {
    QTemporaryDir folder;
    EXPECT_THROW(MelodyPlayer::load(folder.filePath("missing.wav").toStdString()), MelodyError);
    QFile notWav(folder.filePath("text.wav"));
    ASSERT_TRUE(notWav.open(QIODevice::WriteOnly));
    notWav.write("RIFF but not really");
    notWav.close();
    try {
        MelodyPlayer::load(notWav.fileName().toStdString());
        ADD_FAILURE() << "a text file loaded";
    } catch (const MelodyError& failure) {
        EXPECT_NE(std::string(failure.what()).find("text.wav"), std::string::npos) << failure.what();
    }
    const MelodyClip low = MelodyPlayer::load(KIVORA_SOURCE_DIR "/examples/instruments/duo/1/low.wav");
    EXPECT_FALSE(low.values.empty());
    EXPECT_EQ(low.values.size() % low.channels, 0u);
}

} // namespace
} // namespace kivora
