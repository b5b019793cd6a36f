// kivora-cli generate: models it refuses and why, settings it refuses, the
// output checked before any note is rendered, and the tuning it reports.
#include "CliTestSupport.h"
#include "FirstChannel.h"
#include "SpectralPeak.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivora::cli::testing;

namespace {

class GenerateCommand : public CliFixture {
protected:
    CliRun generate(const std::string& arguments) const {
        return run("generate " + arguments + " -o '" + output() + "'");
    }
    std::string output() const { return (scratch_ / "out.ins").string(); }
    static std::string model(const char* name) {
        return std::string("'") + KIVORA_SOURCE_DIR + "/examples/models/" + name + "'";
    }
    // Rendering shows its progress on stderr, note by note.
    static bool rendered(const CliRun& run) { return run.err.find(" notes, ") != std::string::npos; }
};

TEST_F(GenerateCommand, RefusesModelsWithoutASoundingNodeSayingWhatToDo) {
    const struct {
        const char* json;
        const char* message;
        const char* singleNoteMessage = nullptr; // when it differs
    } cases[] = {
        {R"({"kivora_model":1,"elements":[{"nodes":[{"id":"a","x0":0.5}]}]})",
         "Put FLAG, to specify dot, which SOUNDs (the model file names no sounding node: set \"flag\")\n"},
        {R"({"kivora_model":1,"elements":[]})",
         "Draw something first... (the model file has no nodes: add an element with \"nodes\")\n"},
        {R"({"kivora_model":1,"flag":"a","elements":[{"nodes":[{"id":"a","fixed":true},
            {"id":"b","x0":0.5,"links":[{"to":"a","k":1e5}]}]}]})",
         "The untuned note would be silent: the flagged node is fixed (set \"flag\" to a node that is not "
         "\"fixed\")\n"},
        {R"({"kivora_model":1,"flag":"c","elements":[{"nodes":[{"id":"a","fixed":true},
            {"id":"b","x0":0.5,"links":[{"to":"a","k":1e5}]},{"id":"c","x0":0.3}]}]})",
         "The untuned note would be silent: the flagged node has no springs (give it \"links\" to the model, "
         "or set \"flag\" to a linked node)\n"},
        {R"({"kivora_model":1,"flag":"b","elements":[{"nodes":[{"id":"a","fixed":true},
            {"id":"b","links":[{"to":"a","k":1e5}]}]}]})",
         "The untuned note would be silent: the model is at rest (give some node an initial displacement "
         "\"x0\" or velocity \"v0\")\n"},
        // The moving part of the model never reaches the flagged node.
        {R"({"kivora_model":1,"flag":"c","elements":[{"nodes":[{"id":"a","fixed":true},
            {"id":"b","x0":0.5,"links":[{"to":"a","k":1e5}]},{"id":"c","links":[{"to":"a","k":1e5}]}]}]})",
         "The untuned note was silent: the flagged node does not move, so every note is silent and the "
         "tuning "
         "is meaningless (set \"flag\" to a node that the displaced or moving part of the model pulls)\n",
         "The note is silent: the flagged node does not move (set \"flag\" to a node that the displaced or "
         "moving part of the model pulls)\n"},
    };
    for (const auto& refused : cases) {
        const std::string path = write("model.json", refused.json);
        for (const char* octaves : {"0", "2"}) {
            const CliRun result = generate("'" + path + "' --octaves " + octaves + " --duration 100");
            EXPECT_EQ(result.status, 1) << refused.message;
            // Only the last line: the rendering of a note that turned out silent shows its progress.
            const std::size_t lastLine = result.err.rfind('\n', result.err.size() - 2);
            const bool single = *octaves == '0' && refused.singleNoteMessage != nullptr;
            EXPECT_EQ(result.err.substr(lastLine == std::string::npos ? 0 : lastLine + 1),
                      single ? refused.singleNoteMessage : refused.message);
            EXPECT_EQ(result.out, "");
            EXPECT_FALSE(fs::exists(output()));
        }
    }
}

// Every command that takes generation settings applies the generator's one
// rule per setting, in its words, before any work.
TEST_F(GenerateCommand, SettingsFollowTheGeneratorsRulesInEveryCommand) {
    const std::string song = write("song.snc", "1C a -1\n");
    const std::string voices = "render '" + song + "' --model " + model("plucked-string.json") + " -o '" +
                               (scratch_ / "song.wav").string() + "'";
    const struct {
        std::string command;
        const char* refusal; // "" for accepted
    } rows[] = {
        {"generate --duration 0 -o '" + output() + "'",
         "--duration: The duration must be at least 1 millisecond: a note of 0 ms has no samples."},
        {"generate --duration 60001 -o '" + output() + "'",
         "--duration: The duration must be at most 60000 milliseconds (60001 ms is too long)."},
        {"generate --octaves 4 -o '" + output() + "'",
         "--octaves: The octaves must be 0 (a single note), 1, 2 or 3, not 4"},
        {"generate --rate 7 -o '" + output() + "'",
         "--rate: The sample rate must be 44100, 22050 or 8000 samples per second, not 7"},
        {"generate --rate 8000 --linear 30000 -o '" + output() + "'",
         "--linear: The linear attenuation 30000 is too strong for 8000 samples per second"},
        {"modes --rate 7", "--rate: The sample rate must be 44100, 22050 or 8000 samples per second, not 7"},
        {"modes --octaves 4", "--octaves: The octaves must be 0 (a single note), 1, 2 or 3, not 4"},
        {voices + " --rate 7",
         "--rate: The sample rate must be 44100, 22050 or 8000 samples per second, not 7"},
        {voices + " --rate 8000 --linear 30000", "--linear: The linear attenuation 30000 is too strong"},
        // A negative attenuation feeds the vibration: the note swells, as the window lets it.
        {"generate --linear -1 --square -0.01 --octaves 0 --duration 50 -o '" + output() + "'", ""},
        {voices + " --linear -1 --rate 8000", ""},
        {"modes --rate 8000", ""},
    };
    for (const auto& row : rows) {
        const CliRun result = run(row.command);
        if (*row.refusal == '\0') {
            EXPECT_EQ(result.status, 0) << row.command << "\n" << result.err;
            continue;
        }
        EXPECT_EQ(result.status, 2) << row.command;
        const std::string command = row.command.substr(0, row.command.find(' '));
        EXPECT_EQ(result.err.rfind("kivora-cli " + command + ": " + row.refusal, 0), 0u) << result.err;
        EXPECT_FALSE(rendered(result)) << row.command;
    }
}

// A generated instrument names its model file, the file's SHA-256 (as
// sha256sum computes it), its settings and tuning; info prints them back,
// and the engine still loads the notes.
TEST_F(GenerateCommand, TheInstrumentSaysWhereItCameFrom) {
    const std::string modelPath = std::string(KIVORA_SOURCE_DIR) + "/examples/models/plucked-string.json";
    const CliRun result = generate(model("plucked-string.json") + " --octaves 1 --duration 100 --rate 22050");
    ASSERT_EQ(result.status, 0) << result.err;
    std::FILE* tool = ::popen(("sha256sum '" + modelPath + "'").c_str(), "r");
    ASSERT_NE(tool, nullptr);
    char digest[65] = {};
    ASSERT_EQ(std::fread(digest, 1, 64, tool), 64u);
    ::pclose(tool);
    std::ifstream file(output());
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 16u + 12u);
    EXPECT_EQ(lines[0], "-- generated by kivora from " + modelPath);
    EXPECT_EQ(lines[1], std::string("-- model sha256: ") + digest);
    EXPECT_EQ(lines[2], "-- settings: octaves 1, rate 22050, duration 100 ms, linear 4, square 0.08");
    EXPECT_EQ(lines[3].rfind("-- untuned: ", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind("-- note 1C: target 130.81 Hz, measured 130.8", 0), 0u) << lines[4];
    EXPECT_EQ(lines[16].rfind("1C 0 ", 0), 0u) << lines[16];

    const CliRun info = run("info '" + output() + "'");
    ASSERT_EQ(info.status, 0) << info.err;
    std::string expected;
    for (std::size_t i = 0; i < 16; ++i)
        expected += lines[i] + "\n";
    EXPECT_EQ(info.out.substr(0, expected.size()), expected);
    EXPECT_NE(info.out.find("\n1C Q 2205 22050 1 0.100\n"), std::string::npos) << info.out;
}

TEST_F(GenerateCommand, AnOutputThatCannotBeWrittenIsRefusedBeforeRendering) {
    const CliRun noFolder = run("generate --octaves 1 -o '" + (scratch_ / "no/such/out.ins").string() + "'");
    EXPECT_EQ(noFolder.status, 1);
    EXPECT_EQ(noFolder.err, "Can't open file for saving instrument (the folder \"" +
                                (scratch_ / "no/such").string() + "\" does not exist: create it first)\n");

    fs::create_directory(scratch_ / "taken.ins");
    const CliRun folder = run("generate --octaves 1 -o '" + (scratch_ / "taken.ins").string() + "'");
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("is a folder"), std::string::npos) << folder.err;
    EXPECT_FALSE(rendered(folder));

    write("notes", "a file where the notes' folder goes");
    const CliRun blocked = run("generate --octaves 1 -o '" + (scratch_ / "notes.ins").string() + "'");
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.err.find("use --flat"), std::string::npos) << blocked.err;
    EXPECT_FALSE(rendered(blocked));

    if (::geteuid() != 0) { // permissions do not bind root
        fs::create_directory(scratch_ / "locked");
        ::chmod((scratch_ / "locked").c_str(), 0555);
        const CliRun locked = run("generate --octaves 1 -o '" + (scratch_ / "locked/out.ins").string() + "'");
        EXPECT_EQ(locked.status, 1);
        EXPECT_NE(locked.err.find("is not writable"), std::string::npos) << locked.err;
        EXPECT_FALSE(rendered(locked));
        ::chmod((scratch_ / "locked").c_str(), 0755);
    }
}

// The report's measured frequencies agree with the pitch command's dominant
// frequency of each saved note, a measurement of its own.
TEST_F(GenerateCommand, ReportGivesEveryNotesTargetMeasurementAndError) {
    const CliRun result = generate(model("plucked-string.json") + " --octaves 1 --duration 300 --report");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find("warning"), std::string::npos) << result.err;
    std::istringstream lines(result.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("Base frequency: ", 0), 0u) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "note  target Hz  measured Hz  error cents");
    const char* names[] = {"1C", "1C#", "1D", "1D#", "1E", "1F", "1F#", "1G", "1G#", "1A", "1A#", "1B"};
    for (int note = 0; note < 12; ++note) {
        ASSERT_TRUE(std::getline(lines, line));
        char name[8];
        double target = 0, measured = 0, error = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%7s %lf %lf %lf", name, &target, &measured, &error), 4) << line;
        EXPECT_STREQ(name, names[note]);
        EXPECT_NEAR(target, 130.8127826502993 * std::exp2(note / 12.0), 0.005);
        // Both frequencies are printed to 0.01 Hz: up to 0.07 cents apart at 130 Hz.
        EXPECT_NEAR(error, 1200.0 * std::log2(measured / target), 0.1);
        EXPECT_LT(std::fabs(error), 1.0) << line;
        const CliRun pitch =
            run("pitch '" + (scratch_ / "out/1" / (std::string(name) + ".wav")).string() + "'");
        ASSERT_EQ(pitch.status, 0) << pitch.err;
        EXPECT_NEAR(std::stod(pitch.out), measured, 0.05) << name;
    }
    std::getline(lines, line);
    EXPECT_EQ(line, "Saved 12 notes: " + output());
}

// At 8000 samples per second the plucked string's highest mode outruns the
// step from 2G on. 2G never blows up: the square attenuation holds it as a
// steady false tone, which is reported with the notes that end in silence.
TEST_F(GenerateCommand, NotesWhoseIntegrationGrowsAreReported) {
    const CliRun result = generate(model("plucked-string.json") + " --octaves 3 --rate 8000 --duration 300");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("too stiff for 8000 samples per second in the notes 2G 2G# 2A"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("2F#"), std::string::npos) << result.err;
}

// Models whose untuned note lies far below the measurable range (a mass on
// a soft spring at 0.71 Hz, a chain drawn with the editor's defaults at
// 3.85 Hz) are scaled into it before they are measured: their notes are in
// tune, by a spectral estimate of the test's own.
TEST_F(GenerateCommand, ScalesAModelBelowTheMeasurableRangeIntoItAndTunesIt) {
    const std::string low = write("low.json", R"({"kivora_model":1,"flag":"b","elements":[{"nodes":[
        {"id":"a","fixed":true},{"id":"b","x0":0.5,"links":[{"to":"a","k":20}]}]}]})");
    const std::string chain = write("chain.json", R"({"kivora_model":1,"flag":"c","elements":[{"nodes":[
        {"id":"a","fixed":true},{"id":"b","mass":1,"links":[{"to":"a","k":1000},{"to":"c","k":1000}]},
        {"id":"c","mass":1,"x0":0.5,"links":[{"to":"b","k":1000},{"to":"d","k":1000}]},
        {"id":"d","mass":1,"links":[{"to":"c","k":1000},{"to":"e","k":1000}]},{"id":"e","fixed":true}]}]})");
    for (const auto& [model, base] : {std::pair{low, "0.71"}, std::pair{chain, "9.30"}}) {
        const CliRun tuned = generate("'" + model + "' --octaves 1 --duration 400 --flat");
        ASSERT_EQ(tuned.status, 0) << tuned.err;
        EXPECT_EQ(tuned.out.rfind(std::string("Base frequency: ") + base + " Hz (measured as ", 0), 0u)
            << tuned.out;
        // (The chain's centre lies on its second mode's nodal line, which is said.)
        EXPECT_EQ(tuned.err.find("edge"), std::string::npos) << tuned.err;
        EXPECT_EQ(tuned.err.find("cents off"), std::string::npos) << tuned.err;
        for (const auto& [note, semitones] : {std::pair{"1C", 0}, std::pair{"1B", 11}}) {
            const std::vector<double> samples =
                kivora::testing::firstChannelOf((scratch_ / (std::string(note) + ".wav")).string());
            const double expected = 130.8127826502993 * std::exp2(semitones / 12.0);
            const double peak = kivora::testing::spectralPeakNear(samples, 44100, expected, 0.03);
            EXPECT_NEAR(1200.0 * std::log2(peak / expected), 0.0, 5.0) << model << " " << note;
        }
    }

    const CliRun single = generate("'" + low + "' --octaves 0 --duration 200");
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(single.out, "Untuned note: 38.00 Hz\nSaved 1 note: " + output() + "\n");
    EXPECT_NE(single.err.find("lies outside it"), std::string::npos) << single.err;
}

} // namespace

namespace {

class CliRefusals : public CliFixture {};

// The engine's words come first, unchanged; the tool's advice follows.
TEST_F(CliRefusals, KeepTheirWordsAndSayWhatToDo) {
    const std::string badKey =
        write("key.ins", "low QQ " KIVORA_SOURCE_DIR "/examples/instruments/drum.wav\n");
    const CliRun key = run("info '" + badKey + "'");
    EXPECT_EQ(key.status, 1);
    EXPECT_EQ(key.err,
              "Incorrect key bind (a sound line's key is one character, or 0 for the next default key)\n");

    const CliRun noInstrument =
        run("play '" + write("bare.snc", "!wait 1\n") + "'", "SDL_AUDIODRIVER=dummy ");
    EXPECT_EQ(noInstrument.status, 1);
    EXPECT_EQ(noInstrument.err.rfind("No instrument to render with (give one with -i INSTRUMENT.ins", 0), 0u)
        << noInstrument.err;
}

} // namespace
