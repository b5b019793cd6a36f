// kivora-cli render as a user runs it.
#include "CliTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

using namespace kivora::cli::testing;

namespace {

class RenderCommand : public CliFixture {
protected:
    CliRun render(const std::string& arguments) const { return run("render " + arguments); }
};

} // namespace

TEST_F(RenderCommand, WritesBesideTheScriptOrWhereAsked) {
    const std::string script = write("tune.snc", "low a -1\n!wait 0.5\nhigh a 0.25\n!wait 0.5\n");
    CliRun run = render("'" + script + "' -i " + duo_);
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
    const std::string unknown = write("unknown.snc", "low a 0.1\n!wait 0.1\nnobody a 1\n!wait 1\n");
    const std::string previous = write("unknown.wav", "an earlier rendering");
    CliRun run = render("'" + unknown + "' -i " + duo_);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Sorry, unknown alias nobody at line 3 of " + unknown +
                           ": the instrument's aliases are low, high, drum\n");
    std::ifstream kept(previous, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "an earlier rendering");

    run = render("'" + write("bare.snc", "-- no instrument here\n!wait 1\n") + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "No instrument to render with (give one with -i INSTRUMENT.ins, or begin the script with "
              "its own !begin ... !end block)\n");

    run = render("'" + write("syntax.snc", "low a\n") + "' -i " + duo_);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Incorrect syntax at line:1, need to be : alias flag duration\n");
    // A failed rendering writes nothing.
    EXPECT_FALSE(fs::exists(scratch_ / "syntax.wav"));
    EXPECT_FALSE(fs::exists(scratch_ / "bare.wav"));

    EXPECT_EQ(render("'" + unknown + "' --mix loud").status, 2);
}
