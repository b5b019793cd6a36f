#include "DecimalCommaLocale.h"
#include "MelodyTestSupport.h"
#include "Mixer.h"

#include <pellamy/MelodyRenderer.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace pellamy;
using namespace melodytest;

namespace {

std::vector<std::int16_t> ramp(std::size_t n) {
    std::vector<std::int16_t> values(n);
    for (std::size_t i = 0; i < n; ++i)
        values[i] = static_cast<std::int16_t>(i + 1);
    return values;
}

// Renders `script` through `model` and returns the output's values.
std::vector<std::int16_t> renderThrough(InstrumentModel& model, const std::string& script,
                                        int mode = MixClip) {
    ScratchFolder folder;
    MelodyRenderer renderer(mode);
    renderer.setInstrument(&model);
    renderer.render(folder.write("tune.snc", script), folder.file("tune.wav"));
    return readWav(folder.file("tune.wav")).values;
}

class MelodyRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 1000 values per second: one value is one millisecond.
        buildInstrument(instrument, {{"low", ramp(2500)}, {"high", constant(3000, 10000)}}, 1000);
    }
    InstrumentModel instrument;
    ScratchFolder folder;
};

} // namespace

TEST(Mixer, MixesTruncatedProductsAndConsumesFromTheFront) {
    EXPECT_EQ(failureOf([] { Mixer bad(3); }), "(char*) Unknown mixer type");
    Mixer mixer(MixClip);
    const std::int16_t values[] = {-3, 3, 30000};
    EXPECT_EQ(mixer.mix(values, 3, 0.5f), 3u);
    EXPECT_EQ(mixer.mix(values, 3, 1.5f), 3u);
    // -3 × 0.5 truncates to -1, 3 × 1.5 to 4.
    EXPECT_EQ(std::vector<std::int32_t>(mixer.values().begin(), mixer.values().end()),
              (std::vector<std::int32_t>{-1 - 4, 1 + 4, 15000 + 45000}));
    std::int16_t out[4] = {7, 7, 7, 7};
    mixer.take(out, 4); // grows to 4 values, the new one 0
    EXPECT_EQ(std::vector<std::int16_t>(out, out + 4), (std::vector<std::int16_t>{-5, 5, 32767, 0}));
    mixer.consume(1);
    EXPECT_EQ(std::vector<std::int32_t>(mixer.values().begin(), mixer.values().end()),
              (std::vector<std::int32_t>{5, 60000, 0, 0}));
    mixer.consume(10);
    EXPECT_EQ(mixer.size(), 4u); // never shrinks while rendering
    EXPECT_EQ(mixer.values()[0], 0);

    Mixer untouched(MixNone);
    untouched.mix(values, 3, 1.0f);
    untouched.take(out, 2);
    EXPECT_EQ(out[0], -5);
}

TEST(Mixer, SumsSaturateInsteadOfOverflowing) {
    Mixer mixer(MixNormalize);
    const std::int16_t loud[] = {32767};
    for (int i = 0; i < 70000; ++i)
        mixer.mix(loud, 1, 1.0f);
    EXPECT_EQ(mixer.values()[0], 2147483647);
    std::int16_t out[1];
    mixer.take(out, 1);
    EXPECT_EQ(out[0], 28000);
}

TEST_F(MelodyRendererTest, ShortTuneKeepsItsTimingAndClearSparesTheStreamingSound) {
    const std::vector<std::int16_t> out = renderThrough(instrument, "-- a short tune\n"
                                                                    "!wait 0.5\n"
                                                                    "low a -1\n"
                                                                    "!wait 0.25\n"
                                                                    "high a 2\n"
                                                                    "!wait 1\n"
                                                                    "!clear\n"
                                                                    "!wait 2\n");
    ASSERT_EQ(out.size(), 3750u);
    for (std::size_t t = 0; t < out.size(); ++t) {
        int expected = 0;
        if (t >= 500 && t < 3000)
            expected += static_cast<int>(t - 500 + 1); // low streams on to its end
        if (t >= 750 && t < 1750)
            expected += 10000; // the second of high still pending at 1.75 s is dropped
        ASSERT_EQ(out[t], expected) << "at " << t << " ms";
    }
}

TEST_F(MelodyRendererTest, ScriptWithoutWaitsGivesAnEmptyDataChunk) {
    const std::string wav = folder.file("quiet.wav");
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    renderer.render(folder.write("quiet.snc", "low a 1\nhigh a -1\n"), wav);
    const RenderedWav result = readWav(wav);
    EXPECT_TRUE(result.values.empty());
    EXPECT_EQ(result.format.nSamplesPerSec, 1000u);
    EXPECT_EQ(result.format.wBitsPerSample, 16);
    EXPECT_EQ(std::filesystem::file_size(wav), 56u); // RIFF, fmt, fact and an empty data chunk
}

TEST_F(MelodyRendererTest, DurationsPortionsAndIgnoredFlags) {
    // 'a' 0.2 mixes exactly the first 0.2 s; 5 s of a 2.5 s sound mixes it once.
    EXPECT_EQ(renderThrough(instrument, "low a 0.2\n!wait 0.3\n"), [] {
        auto v = ramp(200);
        v.resize(300, 0);
        return v;
    }());
    EXPECT_EQ(renderThrough(instrument, "low a 5\n!wait 3\n"), [] {
        auto v = ramp(2500);
        v.resize(3000, 0);
        return v;
    }());
    // 'r' takes a portion of the sound's own length, also below one second.
    EXPECT_EQ(renderThrough(instrument, "low r 0.5\n!wait 2\n"), [] {
        auto v = ramp(1250);
        v.resize(2000, 0);
        return v;
    }());
    InstrumentModel shortSound;
    buildInstrument(shortSound, {{"tick", ramp(300)}}, 1000);
    EXPECT_EQ(renderThrough(shortSound, "tick r 1\n!wait 0.3\n"), ramp(300));
    // Any other flag is ignored; the sound streamed before keeps streaming.
    EXPECT_EQ(renderThrough(instrument, "low a -1\nlow b 1\n!wait 0.01\n"), ramp(10));

    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    EXPECT_EQ(failureOf([&] {
                  renderer.render(folder.write("r.snc", "low r 1.5\n!wait 1\n"), folder.file("r.wav"));
              }),
              "Incorrect portion of file, must be between 0 and 1");
    EXPECT_EQ(failureOf([&] { renderer.render(folder.write("n.snc", "low r nan\n"), folder.file("r.wav")); }),
              "Incorrect portion of file, must be between 0 and 1");
}

TEST_F(MelodyRendererTest, StreamingSoundEndsInTheWaitThatExhaustsIt) {
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    // A 2.5 s sound followed by one wait of 10 s: the sound, then silence.
    renderer.render(folder.write("long.snc", "!wait 0.5\nlow a -1\n!wait 10\n"), folder.file("long.wav"));
    const std::vector<std::int16_t> out = readWav(folder.file("long.wav")).values;
    ASSERT_EQ(out.size(), 10500u);
    EXPECT_EQ(std::count(out.begin(), out.begin() + 500, 0), 500);
    EXPECT_EQ(std::vector<std::int16_t>(out.begin() + 500, out.begin() + 3000), ramp(2500));
    EXPECT_EQ(std::count(out.begin() + 3000, out.end(), 0), 7500);
    EXPECT_FALSE(instrument.soundFor("low")->isPlaying());
}

TEST(MelodyRenderer, StreamingIsSeamlessAcrossWaitsOfFractionalMilliseconds) {
    // 0.029 s at 44100 Hz is 1278 values; whole milliseconds would read 28 ms.
    InstrumentModel model;
    buildInstrument(model, {{"tone", ramp(30000)}}, 44100);
    std::string script = "tone a -1\n";
    for (int i = 0; i < 20; ++i)
        script += "!wait 0.0290\n";
    const std::vector<std::int16_t> out = renderThrough(model, script);
    EXPECT_EQ(out, [] {
        auto v = ramp(30000);
        v.resize(20 * 1278);
        return v;
    }());
}

TEST(MelodyRenderer, ClipAndNormalize) {
    InstrumentModel model;
    buildInstrument(
        model, {{"a", constant(10, 30000)}, {"b", constant(10, 28000)}, {"c", constant(10, -1000)}}, 1000);
    EXPECT_EQ(renderThrough(model, "a a 1\nb a 1\n!wait 0.01\n", MixClip), constant(10, 32767));
    // A block whose peak is twice 28000 is halved.
    EXPECT_EQ(renderThrough(model, "b a 1\nb a 1\n!wait 0.01\n", MixNormalize), constant(10, 28000));
    EXPECT_EQ(
        renderThrough(model, "b a 1\n!wait 0.005\nb a 1\nb a 1\n!wait 0.005\n", MixNormalize),
        (std::vector<std::int16_t>{28000, 28000, 28000, 28000, 28000, 28000, 28000, 28000, 28000, 28000}));
    // Below 28000 nothing is scaled; MixNone writes silence.
    EXPECT_EQ(renderThrough(model, "c a 1\n!wait 0.01\n", MixNormalize), constant(10, -1000));
    EXPECT_EQ(renderThrough(model, "a a 1\n!wait 0.01\n", MixNone), constant(10, 0));
}

TEST(MelodyRenderer, LongWaitsAreWrittenInBlocksThatScaleAsOne) {
    // Two streaming sounds whose sum peaks at 56000 only after the first block
    // of 65536 values: the whole wait is halved, as one block would be.
    constexpr std::size_t kQuiet = 100000, kTotal = 132300;
    std::vector<std::int16_t> samples(kTotal, 10000);
    std::fill(samples.begin() + kQuiet, samples.end(), std::int16_t{28000});
    InstrumentModel model;
    buildInstrument(model, {{"x", samples}, {"y", samples}}, 44100);
    const std::vector<std::int16_t> out = renderThrough(model, "x a -1\ny a -1\n!wait 3\n", MixNormalize);
    ASSERT_EQ(out.size(), kTotal);
    EXPECT_EQ(std::count(out.begin(), out.begin() + kQuiet, 10000), static_cast<long>(kQuiet));
    EXPECT_EQ(std::count(out.begin() + kQuiet, out.end(), 28000), static_cast<long>(kTotal - kQuiet));

    const std::vector<std::int16_t> clipped = renderThrough(model, "x a -1\n!wait 3\n", MixClip);
    EXPECT_EQ(clipped, samples);
}

TEST_F(MelodyRendererTest, LineEndsAndLineCounting) {
    const std::string lf = "-- tune\n\nlow a 0.01\n!wait 0.02\nhigh a 0.005\n!wait 0.01\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const auto expected = renderThrough(instrument, lf);
    EXPECT_EQ(expected.size(), 30u);
    EXPECT_EQ(renderThrough(instrument, crlf), expected);
    // Without the final line feed the last wait is still read once.
    EXPECT_EQ(renderThrough(instrument, lf.substr(0, lf.size() - 1)), expected);

    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    renderer.render(folder.write("count.snc", lf), folder.file("count.wav"));
    EXPECT_EQ(renderer.lineNumber(), 6u);
}

TEST_F(MelodyRendererTest, DefinitionBlockIsSkippedWithAnInstrumentHeld) {
    // The block names files that do not exist and the script itself: never read.
    const std::string script =
        "!begin\nlow 0 missing.wav\nself 0 tune.snc\n!end\n!wait 0.002\nhigh a 1\n!wait 0.002\n";
    EXPECT_EQ(renderThrough(instrument, script), (std::vector<std::int16_t>{0, 0, 10000, 10000}));
}

TEST_F(MelodyRendererTest, SyntaxErrorsNameTheLine) {
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    auto failure = [&](const std::string& script) {
        return failureOf([&] { renderer.render(folder.write("bad.snc", script), folder.file("bad.wav")); });
    };
    const std::string at3 = "Incorrect syntax at line:3, need to be : alias flag duration\n";
    for (const char* bad : {"low a\n", "!wait \n", "!wait soon\n", "!wait -1\n", "!wait nan\n", "low a -2\n",
                            "low a nan\n", "low a 0,5\n", "!wait 0,5\n", "low b x\n", "!end\n", "   \n"})
        EXPECT_EQ(failure(std::string("-- two good lines\nlow a 0.001\n") + bad), at3) << bad;
    // A failed rendering leaves no output behind.
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"bad.snc"}));
}

TEST_F(MelodyRendererTest, UnknownAliasesAndLongLines) {
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    const std::string alias(300, 'k');
    const std::string tail = ": the instrument's aliases are low, high";
    EXPECT_EQ(
        failureOf([&] { renderer.render(folder.write("a.snc", alias + " a 1\n"), folder.file("a.wav")); }),
        "Sorry, unknown alias " + alias.substr(0, 60) + "\u2026 at line 1 of " + folder.file("a.snc") +
            tail); // quoted text is cut
    // Bytes of a binary file are quoted escaped.
    EXPECT_EQ(failureOf([&] {
                  renderer.render(folder.write("c.snc", "\x01\xFE\x1B[31m a 1\n"), folder.file("c.wav"));
              }),
              "Sorry, unknown alias \\x01\\xFE\\x1B[31m at line 1 of " + folder.file("c.snc") + tail);
    // A 1 MB line is read in pieces of 1023 bytes; the first piece is a
    // play line with one field.
    EXPECT_EQ(failureOf([&] {
                  renderer.render(folder.write("b.snc", std::string(1 << 20, 'x') + "\n"),
                                  folder.file("b.wav"));
              }),
              "Incorrect syntax at line:1, need to be : alias flag duration\n");
    // A long comment's further pieces count as lines of their own.
    renderer.render(folder.write("c.snc", "--" + std::string(2044, '-') + "\n!wait 0.001\n"),
                    folder.file("c.wav"));
    EXPECT_EQ(renderer.lineNumber(), 4u);
}

// A script's own definition block is skipped while an instrument is held:
// an alias it defines is unknown then, and the message says so.
TEST_F(MelodyRendererTest, AnUnknownAliasNamesTheScriptAndTheSkippedDefinitions) {
    buildInstrument(
        instrument,
        {{"1C", ramp(10)}, {"1D", ramp(10)}, {"1E", ramp(10)}, {"1F", ramp(10)}, {"1G", ramp(10)}}, 1000);
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    const std::string script = folder.write("duo.snc", "!begin\nlow 0 low.wav\n!end\n1C a 0.001\nlow a 1\n");
    EXPECT_EQ(failureOf([&] { renderer.render(script, folder.file("duo.wav")); }),
              "Sorry, unknown alias low at line 5 of " + script +
                  ": the script's own definition block is skipped while an instrument is loaded, and the "
                  "loaded instrument's aliases are 1C, 1D, 1E, 1F, \u2026 (5 sounds)");
}

TEST_F(MelodyRendererTest, HugeAndManyLinesStayWithinBounds) {
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    // A play line of 1e300 seconds mixes the sound once; a wait of 1e300 s
    // cannot fit any WAV file and fails before writing.
    renderer.render(folder.write("big.snc", "low a 1e300\n!wait 3\n"), folder.file("big.wav"));
    EXPECT_EQ(readWav(folder.file("big.wav")).values.size(), 3000u);
    EXPECT_EQ(
        failureOf([&] { renderer.render(folder.write("w.snc", "!wait 1e300\n"), folder.file("w.wav")); }),
        "Can't write to wav file " + folder.file("w.wav") +
            ": the rendering would be longer than the output may hold");

    std::string script;
    for (int i = 0; i < 50000; ++i)
        script += "low a -1\n!wait 0.001\n";
    renderer.render(folder.write("many.snc", script), folder.file("many.wav"));
    EXPECT_EQ(renderer.lineNumber(), 100000u);
    EXPECT_EQ(readWav(folder.file("many.wav")).values, constant(50000, 1));
}

TEST_F(MelodyRendererTest, FailingRenderKeepsThePreviousOutput) {
    const std::string wav = folder.write("tune.wav", "previous contents");
    const auto previousOutput = [&] {
        std::ifstream in(wav, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    EXPECT_EQ(
        failureOf([&] { renderer.render(folder.write("t.snc", "low a -1\n!wait 1\nnobody a 1\n"), wav); }),
        "Sorry, unknown alias nobody at line 3 of " + folder.file("t.snc") +
            ": the instrument's aliases are low, high");
    EXPECT_FALSE(instrument.soundFor("low")->isPlaying()); // reset after the failure
    EXPECT_EQ(previousOutput(), "previous contents");
    EXPECT_EQ(failureOf([&] { renderer.render(folder.write("t.snc", "low a -1\n!wait 1\nlow a\n"), wav); }),
              "Incorrect syntax at line:3, need to be : alias flag duration\n");
    EXPECT_EQ(previousOutput(), "previous contents");
    // A script longer than the output may hold is refused before anything is written.
    renderer.setOutputLimitBytes(100);
    EXPECT_EQ(failureOf([&] { renderer.render(folder.write("t.snc", "!wait 0.04\n!wait 0.02\n"), wav); }),
              "Can't write to wav file " + wav + ": the rendering would be longer than the output may hold");
    EXPECT_EQ(previousOutput(), "previous contents");
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"t.snc", "tune.wav"})); // no temporary file left

    // Writing over the script itself is refused.
    EXPECT_EQ(failureOf([&] { renderer.render(folder.file("t.snc"), folder.file("t.snc")); }),
              "Can't create output wave file " + folder.file("t.snc") + ": it is the script being read");
    EXPECT_EQ(failureOf([&] { renderer.render(folder.file("t.snc"), folder.file("no/such/dir/x.wav")); }),
              "Can't create output wave file " + folder.file("no/such/dir/x.wav") +
                  ": No such file or directory");
    // A full disk: the reason the system gives.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(failureOf([&] {
                      renderer.render(folder.write("f.snc", "low a 0.01\n!wait 0.01\n"), "/dev/full");
                  }),
                  "Can't write to wav file /dev/full: No space left on device");
    }
    EXPECT_EQ(failureOf([&] { renderer.render(folder.file("absent.snc"), wav); }),
              "Can't open snc file! " + folder.file("absent.snc") + ": No such file or directory");
    EXPECT_EQ(failureOf([&] { renderer.render(folder.path().string(), wav); }),
              "Can't open snc file! " + folder.path().string() + ": Is a directory");
}

TEST_F(MelodyRendererTest, ScriptsThatAreNoFilesCreateNoOutput) {
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    const std::string wav = folder.file("out.wav");
    // A folder, a device that never ends, a missing file: refused at once.
    const std::vector<std::pair<std::string, std::string>> refused = {
        {folder.path().string(), "Is a directory"},
        {"/dev/zero", "not a regular file"},
        {folder.file("none.snc"), "No such file or directory"}};
    for (const auto& [refusedScript, reason] : refused) {
        const std::string& script = refusedScript; // clang 14 lambdas cannot capture a structured binding
        EXPECT_EQ(failureOf([&] { renderer.render(script, wav); }),
                  "Can't open snc file! " + script + ": " + reason);
        EXPECT_EQ(folder.names(), std::vector<std::string>{}) << script;
    }
}

TEST_F(MelodyRendererTest, AByteOrderMarkAtTheStartIsSkipped) {
    EXPECT_EQ(renderThrough(instrument, "\xEF\xBB\xBFlow a 0.003\n!wait 0.004\n"),
              (std::vector<std::int16_t>{1, 2, 3, 0}));
    EXPECT_EQ(renderThrough(instrument, "\xEF\xBB\xBF!wait 0.002\n"), constant(2, 0));
    // Only at the start of the file.
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    EXPECT_EQ(failureOf([&] {
                  renderer.render(folder.write("b.snc", "!wait 0.001\n\xEF\xBB\xBF!wait 0.001\n"),
                                  folder.file("b.wav"));
              }),
              "Incorrect syntax at line:2, need to be : alias flag duration\n");
}

TEST_F(MelodyRendererTest, AStoppedRenderingKeepsThePreviousOutput) {
    const std::string wav = folder.write("tune.wav", "previous contents");
    const std::string script = folder.write("t.snc", "low a -1\n!wait 200\nhigh a 1\n!wait 1\n");
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    int asked = 0;
    renderer.setStopCheck([&] { return ++asked, false; });
    renderer.render(script, folder.file("count.wav"));
    std::filesystem::remove(folder.file("count.wav"));
    ASSERT_GT(asked, 5);
    for (int stopAt = 1; stopAt <= asked; ++stopAt) {
        int n = 0;
        renderer.setStopCheck([&] { return ++n >= stopAt; });
        EXPECT_EQ(failureOf([&] { renderer.render(script, wav); }), "Rendering stopped: nothing written");
        EXPECT_EQ(folder.names(), (std::vector<std::string>{"t.snc", "tune.wav"}));
        std::ifstream previous(wav, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "previous contents");
        EXPECT_FALSE(instrument.soundFor("low")->isPlaying());
    }
}

TEST_F(MelodyRendererTest, OutputsKeepPermissionsFollowLinksAndRefuseReadOnlyFiles) {
    const std::string script = folder.write("t.snc", "low a 0.002\n!wait 0.002\n");
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    const std::string wav = folder.write("kept.wav", "old");
    ASSERT_EQ(::chmod(wav.c_str(), 0604), 0);
    renderer.render(script, wav);
    struct stat status {};
    ASSERT_EQ(::stat(wav.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0604u);
    EXPECT_EQ(readWav(wav).values, (std::vector<std::int16_t>{1, 2}));

    std::filesystem::create_symlink("kept.wav", folder.file("link.wav"));
    renderer.render(folder.write("u.snc", "low a 0.003\n!wait 0.003\n"), folder.file("link.wav"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder.file("link.wav")));
    EXPECT_EQ(readWav(wav).values, (std::vector<std::int16_t>{1, 2, 3}));

    ASSERT_EQ(::chmod(wav.c_str(), 0444), 0);
    EXPECT_EQ(failureOf([&] { renderer.render(script, wav); }),
              "Can't create output wave file " + wav + ": Permission denied");
    EXPECT_EQ(readWav(wav).values, (std::vector<std::int16_t>{1, 2, 3}));
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"kept.wav", "link.wav", "t.snc", "u.snc"}));

    // A device is written into, never replaced.
    renderer.render(script, "/dev/null");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

TEST(MelodyRenderer, RefusesToRenderWithoutInstrument) {
    ScratchFolder folder;
    InstrumentModel empty; // outlives the renderer that borrows it
    MelodyRenderer renderer;
    EXPECT_EQ(failureOf([&] { renderer.setInstrument(nullptr); }),
              "(char*) Parser doesn't need any empty instruments!");
    EXPECT_EQ(failureOf([&] { MelodyRenderer bad(7); }), "(char*) Unknown mixer type");
    EXPECT_EQ(
        failureOf([&] { renderer.render(folder.write("a.snc", "-- x\nlow a 1\n"), folder.file("a.wav")); }),
        "No instrument to render with");
    EXPECT_EQ(failureOf([&] { renderer.render(folder.write("b.snc", "!wait 1\n"), folder.file("b.wav")); }),
              "No instrument to render with");
    empty.loadFromDescriptions(0, nullptr);
    renderer.setInstrument(&empty);
    EXPECT_EQ(failureOf([&] { renderer.render(folder.file("b.snc"), folder.file("b.wav")); }),
              "No instrument to render with");
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"a.snc", "b.snc"}));
}

TEST_F(MelodyRendererTest, NumbersAreReadWithPointDecimalsUnderAnyLocale) {
    if (!kivora::testing::useDecimalCommaLocale(folder.path()))
        GTEST_SKIP() << "no locale with a decimal comma is available";
    const auto out = renderThrough(instrument, "high a 0.5\n!wait 0.75\n");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(out.size(), 750u);
    EXPECT_EQ(std::count(out.begin(), out.end(), 10000), 500);
}

TEST_F(MelodyRendererTest, OutputOpensInSoxAndPythonWave) {
    const std::string wav = folder.file("tune.wav");
    MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    renderer.render(
        folder.write("tune.snc", "!wait 0.5\nlow a -1\n!wait 0.25\nhigh a 2\n!wait 1\n!clear\n!wait 2\n"),
        wav);
    bool checked = false;
    if (haveCommand("soxi")) {
        const auto [status, samples] = runCommand("soxi -s '" + wav + "'");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(samples, "3750\n");
        EXPECT_EQ(runCommand("soxi -r '" + wav + "'").second, "1000\n");
        checked = true;
    }
    if (haveCommand("python3")) {
        const std::string program = "import wave,struct,sys\n"
                                    "w=wave.open(sys.argv[1])\n"
                                    "d=w.readframes(w.getnframes())\n"
                                    "v=struct.unpack('<%dh'%(len(d)//2),d)\n"
                                    "print(w.getnchannels(),w.getsampwidth(),w.getframerate(),w.getnframes(),"
                                    "v[499],v[500],v[750],v[2999],v[3000])\n";
        const auto [status, text] = runCommand("python3 -c \"" + program + "\" '" + wav + "'");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(text, "1 2 1000 3750 0 1 10251 2500 0\n");
        checked = true;
    }
    if (!checked)
        GTEST_SKIP() << "neither soxi nor python3 found";
}

namespace {

void writeWavFile(const std::string& path, const std::vector<std::int16_t>& values, std::uint32_t rate) {
    WavFile file;
    const WAVEFORMATEX format{1, 1, rate, rate * 2, 2, 16, 0};
    ASSERT_EQ(file.open(path, &format, WavFile::kWrite), kWavOk);
    std::uint32_t written = 0;
    ASSERT_EQ(file.write(static_cast<std::uint32_t>(values.size() * 2),
                         reinterpret_cast<const std::uint8_t*>(values.data()), &written),
              kWavOk);
    ASSERT_EQ(file.close(), kWavOk);
}

} // namespace

TEST(MelodyRenderer, DefinitionBlockAtTheHeadBuildsTheInstrument) {
    ScratchFolder folder;
    writeWavFile(folder.file("low.wav"), constant(50, 300), 2000);
    writeWavFile(folder.file("high.wav"), constant(50, 700), 4000);
    MelodyRenderer renderer;
    const std::string script =
        folder.write("duo.snc", "-- a duo\n!begin\nlow 0 low.wav\nhigh e high.wav\n!end\n"
                                "low a -1\n!wait 0.01\nhigh a -1\n!wait 0.01\n");
    renderer.render(script, folder.file("duo.wav"));
    ASSERT_NE(renderer.instrument(), nullptr);
    EXPECT_EQ(renderer.instrument()->soundCount(), 2u);
    const RenderedWav out = readWav(folder.file("duo.wav"));
    EXPECT_EQ(out.format.nSamplesPerSec, 2000u); // the first sound's rate
    // 20 values per wait at the output's rate; low streams on under high,
    // which is converted from 4000 Hz and so keeps its level (and its pitch).
    ASSERT_EQ(out.values.size(), 40u);
    EXPECT_EQ(std::vector<std::int16_t>(out.values.begin(), out.values.begin() + 20), constant(20, 300));
    double sum = 0;
    for (std::size_t i = 24; i < 40; ++i)
        sum += out.values[i];
    EXPECT_NEAR(sum / 16, 1000, 10);
}

TEST(MelodyRenderer, BrokenDefinitionBlocksFailWithTheReadersMessage) {
    ScratchFolder folder;
    auto failure = [&](const std::string& text) {
        MelodyRenderer renderer;
        const std::string message =
            failureOf([&] { renderer.render(folder.write("tune.snc", text), folder.file("tune.wav")); });
        EXPECT_EQ(renderer.instrument(), nullptr) << text;
        return message;
    };
    EXPECT_EQ(failure("!begin\nself 0 tune.snc\n!end\n!wait 1\n"),
              "Can't open sound file tune.snc for alias 'self': not a WAV file with sound data");
    EXPECT_EQ(failure("!begin\nx 0 missing.wav\n!end\n!wait 1\n"),
              "Can't open sound file missing.wav for alias 'x': No such file or directory");
    EXPECT_EQ(failure("!begin\n!end\n!wait 1\n"), "No instrument to render with");
    EXPECT_EQ(failure("!wait 1\n!begin\n!end\n"), "No instrument to render with");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"tune.snc"});
}

TEST(MelodyRenderer, BundledExampleMelodiesRender) {
    ScratchFolder folder;
    const std::string melodies = std::string(KIVORA_SOURCE_DIR) + "/examples/melodies/";
    MelodyRenderer own;
    own.render(melodies + "duo-march.snc", folder.file("march.wav"));
    ASSERT_NE(own.instrument(), nullptr);
    EXPECT_EQ(own.instrument()->soundCount(), 3u);
    EXPECT_EQ(readWav(folder.file("march.wav")).values.size(), own.writtenValues());
    EXPECT_GT(own.writtenValues(), 80000u);

    // The generated instrument's names: octave number and note name.
    const char* noteNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    std::vector<ToneSpec> notes;
    for (int j = 0; j < 24; ++j)
        notes.push_back({std::to_string(j / 12 + 1) + noteNames[j % 12],
                         constant(4000, static_cast<std::int16_t>(100 + j))});
    InstrumentModel generated;
    buildInstrument(generated, notes, 8000);
    MelodyRenderer renderer;
    renderer.setInstrument(&generated);
    renderer.render(melodies + "generated-tune.snc", folder.file("tune.wav"));
    EXPECT_GT(renderer.writtenValues(), 8000u * 5);
}

namespace {

struct FormatTone {
    std::string alias;
    std::vector<std::int16_t> values; // interleaved
    std::uint32_t rate;
    std::uint16_t channels;
};

void buildMixedInstrument(InstrumentModel& model, const std::vector<FormatTone>& tones) {
    std::vector<SoundStreamDescription> records(tones.size());
    for (std::size_t i = 0; i < tones.size(); ++i) {
        const auto blockAlign = static_cast<std::uint16_t>(2 * tones[i].channels);
        records[i].name = tones[i].alias;
        records[i].format = {1, tones[i].channels, tones[i].rate, tones[i].rate * blockAlign, blockAlign, 16,
                             0};
        records[i].dataBytes = static_cast<std::uint32_t>(tones[i].values.size() * 2);
        records[i].data = tones[i].values.data();
    }
    model.loadFromDescriptions(static_cast<int>(records.size()), records.data());
}

std::vector<std::int16_t> sine(double hz, std::uint32_t rate, std::size_t frames, unsigned channels = 1) {
    std::vector<std::int16_t> values;
    for (std::size_t k = 0; k < frames; ++k)
        values.insert(values.end(), channels,
                      static_cast<std::int16_t>(std::lround(10000 * std::sin(2 * M_PI * hz * k / rate))));
    return values;
}

// Sign changes from negative to positive, and the index after the last value that is not 0.
std::pair<int, std::size_t> risingCrossingsAndEnd(const std::vector<std::int16_t>& values) {
    int crossings = 0;
    std::size_t end = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0 && values[i - 1] < 0 && values[i] >= 0)
            ++crossings;
        if (values[i] != 0)
            end = i + 1;
    }
    return {crossings, end};
}

} // namespace

TEST(MelodyRenderer, StereoSoundsCountWaitsInFrames) {
    // Left counts up from 100, right down from -100: a swap shows at once.
    std::vector<std::int16_t> frames;
    for (int k = 0; k < 50; ++k)
        frames.insert(frames.end(),
                      {static_cast<std::int16_t>(100 + k), static_cast<std::int16_t>(-100 - k)});
    InstrumentModel model;
    buildMixedInstrument(model, {{"st", frames, 1000, 2}});

    ScratchFolder folder;
    MelodyRenderer renderer;
    renderer.setInstrument(&model);
    // A wait of an odd number of milliseconds, then more than the rest.
    renderer.render(folder.write("s.snc", "st a -1\n!wait 0.005\n!wait 0.06\n"), folder.file("s.wav"));
    const RenderedWav out = readWav(folder.file("s.wav"));
    EXPECT_EQ(out.format.nChannels, 2);
    ASSERT_EQ(out.values.size(), 2u * 65); // 65 ms of two channels
    std::vector<std::int16_t> expected = frames;
    expected.resize(130, 0);
    EXPECT_EQ(out.values, expected);

    // Durations and portions count frames too.
    renderer.render(folder.write("d.snc", "st a 0.01\n!wait 0.02\nst r 0.5\n!wait 0.03\n"),
                    folder.file("d.wav"));
    const std::vector<std::int16_t> played = readWav(folder.file("d.wav")).values;
    ASSERT_EQ(played.size(), 2u * 50);
    EXPECT_EQ(std::vector<std::int16_t>(played.begin(), played.begin() + 20),
              std::vector<std::int16_t>(frames.begin(), frames.begin() + 20));
    EXPECT_EQ(std::count(played.begin() + 20, played.begin() + 40, 0), 20);
    EXPECT_EQ(std::vector<std::int16_t>(played.begin() + 40, played.begin() + 90),
              std::vector<std::int16_t>(frames.begin(), frames.begin() + 50));
    EXPECT_EQ(std::count(played.begin() + 90, played.end(), 0), 10);
}

TEST(MelodyRenderer, SoundsOfAnotherFormatAreConvertedAndKeepPitchAndLength) {
    // 440 Hz for 0.5 s at 44100 Hz, and the same tone at 11025 Hz.
    InstrumentModel model;
    buildMixedInstrument(model, {{"first", sine(440, 44100, 22050), 44100, 1},
                                 {"slow", sine(440, 11025, 5512), 11025, 1},
                                 {"wide", sine(440, 44100, 22050, 2), 44100, 2}});
    for (const std::string alias : {"first", "slow", "wide"}) {
        SCOPED_TRACE(alias);
        const std::vector<std::int16_t> out = renderThrough(model, alias + " a -1\n!wait 1\n");
        ASSERT_EQ(out.size(), 44100u);
        const auto [crossings, end] = risingCrossingsAndEnd(out);
        EXPECT_NEAR(crossings, 220, 2); // 440 Hz for 0.5 s
        EXPECT_NEAR(static_cast<double>(end), 22050, 60);
        const auto peak = std::abs(*std::max_element(out.begin(), out.end()));
        EXPECT_NEAR(peak, 10000, 150); // a stereo sound is averaged, not summed
    }

    // A mono sound in a stereo rendering sounds in both channels.
    InstrumentModel stereo;
    buildMixedInstrument(
        stereo, {{"st", std::vector<std::int16_t>(20, 0), 1000, 2}, {"mono", constant(10, 500), 1000, 1}});
    std::vector<std::int16_t> expected = constant(20, 500);
    expected.resize(24, 0);
    EXPECT_EQ(renderThrough(stereo, "mono a -1\n!wait 0.012\n"), expected);
}

TEST(MelodyRenderer, ADefinitionBlockAfterAByteOrderMarkBuildsTheInstrument) {
    ScratchFolder folder;
    writeWavFile(folder.file("one.wav"), ramp(3), 1000);
    MelodyRenderer renderer;
    renderer.render(
        folder.write("own.snc", "\xEF\xBB\xBF!begin\none 0 one.wav\n!end\none a -1\n!wait 0.004\n"),
        folder.file("own.wav"));
    EXPECT_EQ(readWav(folder.file("own.wav")).values, (std::vector<std::int16_t>{1, 2, 3, 0}));
}
