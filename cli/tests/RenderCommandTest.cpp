// kivora-cli render as a user runs it.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace fs = std::filesystem;

namespace {

struct RenderRun {
    int status = -1;
    std::string out;
    std::string err;
};

class RenderCommand : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kivora-render-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override { fs::remove_all(scratch_); }

    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(scratch_ / name, std::ios::binary) << text;
        return (scratch_ / name).string();
    }

    RenderRun render(const std::string& arguments) {
        const fs::path errPath = scratch_ / "stderr.txt";
        const std::string command =
            std::string("'") + KIVORA_CLI + "' render " + arguments + " 2>'" + errPath.string() + "'";
        RenderRun run;
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

    fs::path scratch_;
    const std::string duo_ = std::string("'") + KIVORA_SOURCE_DIR + "/examples/instruments/duo.ins'";
};

} // namespace

TEST_F(RenderCommand, WritesBesideTheScriptOrWhereAsked) {
    const std::string script = write("tune.snc", "low a -1\n!wait 0.5\nhigh a 0.25\n!wait 0.5\n");
    RenderRun run = render("'" + script + "' -i " + duo_);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, (scratch_ / "tune.wav").string() + ": 22050 values at 22050 Hz, 1.000 s\n");
    EXPECT_EQ(fs::file_size(scratch_ / "tune.wav"), 56u + 2 * 22050);

    // The bundled march carries its own instrument.
    const std::string march = std::string("'") + KIVORA_SOURCE_DIR + "/examples/melodies/duo-march.snc'";
    run = render(march + " -o '" + (scratch_ / "march.wav").string() + "' --mix normalize");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(scratch_ / "march.wav"));
}

TEST_F(RenderCommand, ReportsFailuresAsOneLine) {
    const std::string unknown = write("unknown.snc", "nobody a 1\n!wait 1\n");
    RenderRun run = render("'" + unknown + "' -i " + duo_);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Sorry, unknown alias nobody\n");

    run = render("'" + write("bare.snc", "-- no instrument here\n!wait 1\n") + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "No instrument to render with\n");

    run = render("'" + write("syntax.snc", "low a\n") + "' -i " + duo_);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Incorrect syntax at line:1, need to be : alias flag duration\n");
    EXPECT_FALSE(fs::exists(scratch_ / "unknown.wav"));
    EXPECT_FALSE(fs::exists(scratch_ / "syntax.wav"));

    EXPECT_EQ(render("'" + unknown + "' --mix loud").status, 2);
}
