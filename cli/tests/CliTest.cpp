// kivora-cli as a user runs it: output, exit statuses, one-line errors.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun runCli(const std::string& arguments, const fs::path& scratch) {
    const fs::path errPath = scratch / "stderr.txt";
    const std::string command =
        std::string("'") + KIVORA_CLI + "' " + arguments + " 2>'" + errPath.string() + "'";
    CliRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int result = ::pclose(pipe);
    run.status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return run;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kivora-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override { fs::remove_all(scratch_); }

    fs::path scratch_;
    const std::string duo_ = std::string("'") + KIVORA_SOURCE_DIR + "/examples/instruments/duo.ins'";
};

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
    EXPECT_EQ(missing.err, "Can't open instrument file\n");

    std::ofstream(scratch_ / "bad.ins") << "x 0 nowhere.wav\n";
    const CliRun badSound = runCli("info '" + (scratch_ / "bad.ins").string() + "'", scratch_);
    EXPECT_EQ(badSound.status, 1);
    EXPECT_EQ(badSound.err, "Can't open sound file nowhere.wav for alias 'x'\n");

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
    EXPECT_EQ(unsaved.err, "Can't open file for saving instrument\n");

    EXPECT_EQ(runCli("info", scratch_).status, 2);
    EXPECT_EQ(runCli("resave " + duo_, scratch_).status, 2);
    EXPECT_EQ(runCli("resave " + duo_ + " x.ins --folders", scratch_).status, 2);
    EXPECT_EQ(runCli("nosuchcommand", scratch_).status, 2);
    EXPECT_EQ(runCli("resave --help", scratch_).status, 0);
}
