// kivora-cli modes, and the prediction generate prints before rendering.
#include "CliTestSupport.h"

namespace {

using kivora::cli::testing::CliFixture;

class Modes : public CliFixture {};

const std::string kString = std::string("'") + KIVORA_SOURCE_DIR + "/examples/models/plucked-string.json'";

TEST_F(Modes, ListsTheLowestModesWithTheLoudestMarked) {
    const auto result = run("modes " + kString);
    ASSERT_EQ(result.status, 0) << result.err;
    // The bundled string's untuned note measures 98.00 Hz.
    EXPECT_NE(result.out.find("\n1         98.00 Hz"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("<- loudest"), std::string::npos);
    EXPECT_NE(result.out.find("24 notes at 44100 samples per second: all stable"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.err, "");
}

// Tuned three octaves up at 8000 Hz, the string's stiffest mode passes the
// stability limit from 2G on: modes and generate both say so before rendering.
TEST_F(Modes, PredictsTheNotesThatBlowUpAndGenerateWarnsBeforeRendering) {
    const auto modes = run("modes " + kString + " --octaves 3 --rate 8000");
    ASSERT_EQ(modes.status, 0) << modes.err;
    EXPECT_NE(modes.out.find("unstable: 2G 2G# 2A"), std::string::npos) << modes.out;
    EXPECT_NE(modes.err.find("exceeds the Runge-Kutta stability limit in the notes 2G "), std::string::npos)
        << modes.err;

    const auto generate = run("generate " + kString + " --octaves 3 --rate 8000 --duration 50 -o '" +
                              (scratch_ / "g.ins").string() + "'");
    EXPECT_EQ(generate.status, 0) << generate.err;
    EXPECT_NE(generate.err.find("stability limit in the notes 2G "), std::string::npos) << generate.err;
}

TEST_F(Modes, WarnsWhenTheFlagSitsOnANodalLine) {
    // Three masses between fixed ends, flagged in the middle: the second mode
    // has its node there.
    const std::string model = write("centre.json", R"({"kivora_model": 1, "flag": "b",
      "elements": [{"nodes": [
        {"id": "l", "fixed": true},
        {"id": "a", "x0": 0.5, "links": [{"to": "l", "k": 1e5}, {"to": "b", "k": 1e5}]},
        {"id": "b", "links": [{"to": "a", "k": 1e5}, {"to": "c", "k": 1e5}]},
        {"id": "c", "links": [{"to": "b", "k": 1e5}, {"to": "r", "k": 1e5}]},
        {"id": "r", "fixed": true}]}]})");
    const auto result = run("modes '" + model + "'");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("nodal line of mode 2"), std::string::npos) << result.err;
}

TEST_F(Modes, RefusesAModelWithoutFreeNodesAndBadOptions) {
    const std::string model = write("still.json", R"({"kivora_model": 1,
      "elements": [{"nodes": [{"id": "a", "fixed": true}]}]})");
    const auto still = run("modes '" + model + "'");
    EXPECT_EQ(still.status, 1);
    EXPECT_EQ(still.err, "No modes: the model has no free node\n");
    EXPECT_EQ(run("modes --count 0").status, 2);
    EXPECT_EQ(run("modes --octaves 4").status, 2);
}

} // namespace
