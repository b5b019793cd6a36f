// kivora-cli as a user runs it: output, exit statuses, one-line errors.
#include "CliTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kivora::cli::testing;

namespace {

class Cli : public CliFixture {};

} // namespace

TEST_F(Cli, InfoListsTheBundledInstrument) {
    const CliRun run = runCli("info " + duo_, scratch_);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "low Q 11025 22050 1 0.500\nhigh E 11025 22050 1 0.500\ndrum W 4410 22050 1 0.200\n");
}

TEST_F(Cli, ResaveWritesFoldersOrAFlatCopy) {
    const fs::path folders = scratch_ / "copy.ins";
    ASSERT_EQ(runCli("resave " + duo_ + " '" + folders.string() + "'", scratch_).status, 0);
    EXPECT_TRUE(fs::exists(scratch_ / "copy/1/drum.wav"));
    const CliRun info = runCli("info '" + folders.string() + "'", scratch_);
    EXPECT_EQ(info.out, "low Q 11025 22050 1 0.500\nhigh 2 11025 22050 1 0.500\ndrum W 4410 22050 1 0.200\n");

    const fs::path flat = scratch_ / "flat" / "copy.ins";
    fs::create_directories(flat.parent_path());
    ASSERT_EQ(runCli("resave --flat " + duo_ + " '" + flat.string() + "'", scratch_).status, 0);
    EXPECT_TRUE(fs::exists(scratch_ / "flat/low.wav"));
}

TEST_F(Cli, FailuresAreOneLineWithStatus1AndUsageErrorsStatus2) {
    const CliRun missing = runCli("info '" + (scratch_ / "none.ins").string() + "'", scratch_);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Can't open instrument file " + (scratch_ / "none.ins").string() +
                               ": No such file or directory\n");

    std::ofstream(scratch_ / "bad.ins") << "x 0 nowhere.wav\n";
    const CliRun badSound = runCli("info '" + (scratch_ / "bad.ins").string() + "'", scratch_);
    EXPECT_EQ(badSound.status, 1);
    EXPECT_EQ(badSound.err, "Can't open sound file nowhere.wav for alias 'x': No such file or directory\n");

    std::ofstream(scratch_ / "dup.ins") << "x 0 " KIVORA_SOURCE_DIR "/examples/instruments/drum.wav\n"
                                        << "x 0 " KIVORA_SOURCE_DIR "/examples/instruments/drum.wav\n";
    const CliRun duplicate = runCli("info '" + (scratch_ / "dup.ins").string() + "'", scratch_);
    EXPECT_EQ(duplicate.status, 1);
    EXPECT_EQ(duplicate.err,
              "Error occured: probably you have 2 same aliases in an instrument definition or you "
              "are trying to load instrument file, while having instrument definition in \"snc\" file\n");

    const CliRun unsaved =
        runCli("resave " + duo_ + " '" + (scratch_ / "no/such/folder.ins").string() + "'", scratch_);
    EXPECT_EQ(unsaved.status, 1);
    EXPECT_EQ(unsaved.err, "Can't open file for saving instrument " +
                               (scratch_ / "no/such/folder.ins").string() + ": No such file or directory\n");

    EXPECT_EQ(runCli("info", scratch_).status, 2);
    EXPECT_EQ(runCli("resave " + duo_, scratch_).status, 2);
    EXPECT_EQ(runCli("resave " + duo_ + " x.ins --folders", scratch_).status, 2);
    EXPECT_EQ(runCli("nosuchcommand", scratch_).status, 2);
    EXPECT_EQ(runCli("resave --help", scratch_).status, 0);
}

// "--" ends the options, so a file whose name begins with '-' can be named;
// an option given twice is refused by name rather than as unknown.
TEST_F(Cli, DoubleDashEndsTheOptionsAndARepeatedOptionIsNamed) {
    fs::copy_file(KIVORA_SOURCE_DIR "/examples/instruments/duo.ins", scratch_ / "-duo.ins");
    fs::copy(KIVORA_SOURCE_DIR "/examples/instruments/duo", scratch_ / "duo", fs::copy_options::recursive);
    fs::copy_file(KIVORA_SOURCE_DIR "/examples/instruments/drum.wav", scratch_ / "drum.wav");
    const std::string dashed = "'" + (scratch_ / "-duo.ins").string() + "'";
    // Relative names, from inside the scratch folder.
    const std::string inScratch = "cd '" + scratch_.string() + "' && ";
    const CliRun info = runCli("info -- -duo.ins", scratch_, inScratch);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out.rfind("low Q 11025", 0), 0u) << info.out;
    const CliRun beforeTheEnd = runCli("info -duo.ins", scratch_, inScratch);
    EXPECT_EQ(beforeTheEnd.status, 2);
    EXPECT_NE(beforeTheEnd.err.find("unknown option -duo.ins"), std::string::npos) << beforeTheEnd.err;
    // Options still count before "--"; after it even --flat is a file name.
    fs::create_directory(scratch_ / "out");
    const CliRun resaved = runCli("resave --flat -- -duo.ins out/-copy.ins", scratch_, inScratch);
    EXPECT_EQ(resaved.status, 0) << resaved.err;
    EXPECT_TRUE(fs::exists(scratch_ / "out" / "low.wav"));
    EXPECT_EQ(runCli("info -- --help", scratch_, inScratch).status, 1) << "--help after -- is a file name";
    EXPECT_EQ(runCli("info -- " + dashed + " extra", scratch_).status, 2);

    const std::string script = "'" KIVORA_SOURCE_DIR "/examples/melodies/duo-march.snc'";
    const std::string out = "'" + (scratch_ / "a.wav").string() + "'";
    for (const std::string& twice : std::vector<std::string>{
             " -o " + out + " -o " + out, " --output=" + out + " -o " + out, " --mix clip --mix none"}) {
        const CliRun run = runCli("render " + script + twice, scratch_);
        EXPECT_EQ(run.status, 2) << twice;
        const std::string named = twice.find("--mix") != std::string::npos ? "--mix" : "-o";
        EXPECT_EQ(run.err.rfind("kivora-cli render: option " + named + " given twice\n", 0), 0u) << run.err;
    }
    const CliRun flatTwice = runCli("resave --flat --flat " + dashed + " x.ins", scratch_);
    EXPECT_EQ(flatTwice.status, 2);
    EXPECT_NE(flatTwice.err.find("option --flat given twice"), std::string::npos) << flatTwice.err;
    EXPECT_FALSE(fs::exists(scratch_ / "a.wav"));
}

namespace {

// A mono 16-bit WAV file of `seconds` of silence at 8 kHz.
void writeSilentWav(const fs::path& path, double seconds) {
    const auto dataBytes = static_cast<std::uint32_t>(8000 * seconds) * 2;
    std::ofstream out(path, std::ios::binary);
    const auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    const auto put16 = [&](std::uint16_t v) {
        out.put(static_cast<char>(v & 0xFF));
        out.put(static_cast<char>(v >> 8));
    };
    out.write("RIFF", 4);
    put32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(1);
    put16(1);
    put32(8000);
    put32(16000);
    put16(2);
    put16(16);
    out.write("data", 4);
    put32(dataBytes);
    for (std::uint32_t i = 0; i < dataBytes; ++i)
        out.put(0);
}

std::vector<std::int16_t> rawValues(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> values(bytes.size() / 2);
    std::memcpy(values.data(), bytes.data(), values.size() * 2);
    return values;
}

} // namespace

TEST_F(Cli, PlayPlaysAWavFileThroughTheSelectedDriverAndReturnsAtItsEnd) {
    const fs::path capture = scratch_ / "capture.raw";
    const std::string disk =
        "SDL_AUDIODRIVER=disk SDL_DISKAUDIODELAY=0 SDL_DISKAUDIOFILE='" + capture.string() + "' ";
    const CliRun played =
        runCli("play '" KIVORA_SOURCE_DIR "/examples/instruments/duo/1/low.wav'", scratch_, disk);
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_NE(played.out.find("low.wav: 0.500 s at 22050 Hz through a device buffer of"), std::string::npos);
    // 0.5 s at 22 050 Hz on the 48 kHz stereo device: about 24 000 frames sound.
    const std::vector<std::int16_t> values = rawValues(capture);
    std::size_t first = values.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i] != 0) {
            first = std::min(first, i / 2);
            last = i / 2;
        }
    ASSERT_LT(first, last);
    EXPECT_NEAR(static_cast<double>(last - first), 24000.0, 300.0);
}

TEST_F(Cli, PlayRendersAScriptBesideItselfFirst) {
    const fs::path script = scratch_ / "tune.snc";
    std::ofstream(script) << "low a -1\n!wait 0.25\nhigh a -1\n!wait 0.5\n";
    const CliRun played =
        runCli("play '" + script.string() + "' -i " + duo_, scratch_, "SDL_AUDIODRIVER=dummy ");
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_TRUE(fs::exists(scratch_ / "tune.wav"));
    EXPECT_NE(played.out.find("tune.wav: 0.750 s at 22050 Hz"), std::string::npos) << played.out;

    const CliRun missing =
        runCli("play '" + (scratch_ / "none.wav").string() + "'", scratch_, "SDL_AUDIODRIVER=dummy ");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "Can't open WAV file " + (scratch_ / "none.wav").string() + ": No such file or directory\n");
    const std::string ulaw = (scratch_ / "ulaw.wav").string();
    if (std::system(("sox -n -r 8000 -e u-law '" + ulaw + "' synth 0.1 sine 440 2>/dev/null").c_str()) == 0) {
        const CliRun compressed = runCli("play '" + ulaw + "'", scratch_, "SDL_AUDIODRIVER=dummy ");
        EXPECT_EQ(compressed.status, 1);
        EXPECT_EQ(compressed.err, ulaw + ": compressed WAV (format 7) is not supported\n");
    }
    EXPECT_EQ(runCli("play x.wav -i " + duo_, scratch_).status, 2);
    const CliRun noDevice = runCli("play '" KIVORA_SOURCE_DIR "/examples/instruments/drum.wav'", scratch_,
                                   "SDL_AUDIODRIVER=none ");
    EXPECT_EQ(noDevice.status, 1);
    // The interface's text, SDL's reason after a colon, then what to do.
    EXPECT_EQ(noDevice.err.rfind("DirectSoundCreate8 failed: ", 0), 0u) << noDevice.err;
    EXPECT_NE(noDevice.err.find(" (no sound device could be opened"), std::string::npos) << noDevice.err;
}

TEST_F(Cli, CtrlCStopsPlayingAtOnce) {
    writeSilentWav(scratch_ / "long.wav", 60.0);
    // The signal waits until the tool has opened the device and said so.
    const std::string command = "sh -c \"SDL_AUDIODRIVER=dummy '" + std::string(KIVORA_CLI) + "' play '" +
                                (scratch_ / "long.wav").string() + "' > '" + (scratch_ / "out.txt").string() +
                                "' 2>&1 & pid=\\$!; while [ ! -s '" + (scratch_ / "out.txt").string() +
                                "' ]; do sleep 0.05; done; kill -INT \\$pid; wait \\$pid\"";
    const int result = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(result));
    EXPECT_EQ(WEXITSTATUS(result), 130);
    std::ifstream out(scratch_ / "out.txt");
    const std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("stopped\n"), std::string::npos) << text;
}

TEST_F(Cli, GenerateStopsOnCtrlCAndSavesNothing) {
    const fs::path output = scratch_ / "long.ins";
    const fs::path err = scratch_ / "err.txt";
    // The signal waits for the first progress line, which comes once Ctrl-C
    // is caught; a minute per note keeps the notes rendering until then.
    const std::string command = "sh -c \"'" + std::string(KIVORA_CLI) + "' generate --duration 60000 -o '" +
                                output.string() + "' 2> '" + err.string() + "' & pid=\\$!; while [ ! -s '" +
                                err.string() + "' ]; do sleep 0.05; done; kill -INT \\$pid; wait \\$pid\"";
    const int result = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(result));
    std::ifstream in(err);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(WEXITSTATUS(result), 130) << text;
    EXPECT_NE(text.find("Interrupted: nothing saved"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(scratch_ / "long"));
}
