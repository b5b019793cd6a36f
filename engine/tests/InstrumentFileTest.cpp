#include "InstrumentFileFormat.h"
#include "TestFiles.h"

#include <pellamy/InstrumentModel.h>

#include <functional>
#include <gtest/gtest.h>

using namespace pellamy;
using namespace testfiles;

namespace {

// What an engine call threw: a character string or a string object.
struct Thrown {
    enum Kind { kNothing, kCharPointer, kStringObject } kind = kNothing;
    std::string text;
};

Thrown thrownBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const char* text) {
        return {Thrown::kCharPointer, text};
    } catch (const std::string& text) {
        return {Thrown::kStringObject, text};
    }
    return {};
}

std::vector<std::int16_t> ramp(std::size_t count, int start, int step = 1) {
    std::vector<std::int16_t> values(count);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = static_cast<std::int16_t>(start + static_cast<int>(i) * step);
    return values;
}

std::vector<std::int16_t> valuesOf(const InstrumentModel& model, const std::string& alias) {
    const Sound* sound = model.soundFor(alias);
    if (sound == nullptr)
        return {};
    std::vector<std::int16_t> values(sound->count());
    sound->peek(values.data(), sound->count(), 0);
    return values;
}

std::vector<std::string> aliasesOf(const InstrumentModel& model) {
    std::vector<std::string> aliases;
    for (std::size_t i = 0; i < model.soundCount(); ++i)
        aliases.push_back(model.aliasAt(i));
    return aliases;
}

constexpr const char* kDuoDefinition = "-- two notes and a drum\n"
                                       "!begin\n"
                                       "low 0 duo\\1\\low.wav\n"
                                       "high e duo\\1\\high.wav\n"
                                       "drum 0 drum.wav\n"
                                       "!end\n"
                                       "anything here is ignored\n";

// The duo instrument in <folder>/songs.
void writeDuo(const TempFolder& folder) {
    writeBytes(folder / "songs/duo/1/low.wav", wav16(ramp(100, -50), 22050));
    writeBytes(folder / "songs/duo/1/high.wav", wav16(ramp(80, 1000, -3), 22050));
    writeBytes(folder / "songs/drum.wav", wav16({7, -7, 7, -7}, 11025, 2));
    writeText(folder / "songs/duo.ins", kDuoDefinition);
}

// An in-memory reader for definitions: every name ending in ".wav" opens a
// small WAV image; names are recorded.
struct MemorySounds {
    std::vector<std::string> opened;
    Bytes image = wav16({1, 2, 3, 4});

    detail::SoundOpener opener() {
        return [this](const std::string& name) -> std::unique_ptr<WavFile> {
            opened.push_back(name);
            if (!name.ends_with(".wav"))
                return nullptr;
            auto file = std::make_unique<WavFile>();
            if (file->openMemory(image) != kWavOk)
                return nullptr;
            return file;
        };
    }
};

} // namespace

TEST(InstrumentFile, TheDuoExampleLoadsFromAnyCurrentDirectory) {
    TempFolder folder;
    writeDuo(folder);
    InstrumentModel model;
    model.loadFromFile((folder / "songs/duo.ins").string()); // the current directory is elsewhere
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"low", "high", "drum"}));
    EXPECT_EQ(model.keyForAlias("low"), 'Q');
    EXPECT_EQ(model.keyForAlias("high"), 'E');
    EXPECT_EQ(model.keyForAlias("drum"), 'W');
    EXPECT_EQ(model.aliasForKey('E'), "high");
    EXPECT_EQ(valuesOf(model, "low"), ramp(100, -50));
    EXPECT_EQ(valuesOf(model, "high"), ramp(80, 1000, -3));
    const Sound& drum = *model.soundFor("drum");
    EXPECT_EQ(drum.sampleRate(), 11025);
    EXPECT_EQ(drum.channels(), 2);
    EXPECT_EQ(drum.bitsPerSample(), 16);
    EXPECT_EQ(drum.gain(), 1.0);
}

TEST(InstrumentFile, SoundFilesAreSoughtBesideTheDefinitionFirstThenInTheCurrentDirectory) {
    TempFolder folder;
    writeBytes(folder / "work/beside.wav", wav16({1, 1}));
    writeBytes(folder / "work/both.wav", wav16({2, 2}));
    writeBytes(folder / "both.wav", wav16({3, 3, 3}));
    writeBytes(folder / "cwd-only.wav", wav16({4}));
    writeText(folder / "work/set.ins",
              "a 0 beside.wav\nb 0 both.wav\nc 0 cwd-only.wav\nd 0 " + (folder / "both.wav").string() + "\n");
    CurrentDirectory inFolder(folder.path());
    InstrumentModel model;
    model.loadFromFile("work/set.ins");
    EXPECT_EQ(valuesOf(model, "a"), (std::vector<std::int16_t>{1, 1}));
    EXPECT_EQ(valuesOf(model, "b"), (std::vector<std::int16_t>{2, 2}));
    EXPECT_EQ(valuesOf(model, "c"), (std::vector<std::int16_t>{4}));
    EXPECT_EQ(valuesOf(model, "d"), (std::vector<std::int16_t>{3, 3, 3})); // absolute paths as written
}

TEST(InstrumentFile, LineGrammar) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> aliases;
    };
    const std::vector<Case> cases = {
        {"empty file", "", {}},
        {"comments and begin only", "-- nothing\n!begin\n-- still nothing\n", {}},
        {"begin is optional", "a 0 a.wav\n!begin\nb 0 b.wav\n", {"a", "b"}},
        {"end stops reading", "a 0 a.wav\n!end\nb 0 b.wav\n", {"a"}},
        {"end is a prefix", "a 0 a.wav\n!endless\nb 0 b.wav\n", {"a"}},
        {"empty and blank lines are skipped", "\na 0 a.wav\n\r\n  \t \n\nb 0 b.wav\n", {"a", "b"}},
        {"CR LF lines", "-- windows\r\n!begin\r\na 0 a.wav\r\n\r\nb 0 b.wav\r\n!end\r\n", {"a", "b"}},
        {"fields separated by tabs, extra fields ignored", "a\t0\ta.wav trailing words\n", {"a"}},
        {"last line without line feed", "a 0 a.wav", {"a"}},
        {"two fields end reading silently", "a 0 a.wav\nb 0\nc 0 c.wav\n", {"a"}},
        {"a NUL byte ends the line", std::string("a 0 a.wav\nb 0\0 b.wav\nc 0 c.wav\n", 30), {"a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySounds sounds;
        InstrumentModel model;
        detail::readDefinitionText(model, c.text, sounds.opener());
        EXPECT_TRUE(model.isLoaded());
        EXPECT_EQ(aliasesOf(model), c.aliases);
    }
}

TEST(InstrumentFile, KeysAreBoundByPositionForTheFirst24Lines) {
    std::string text = "s0 q a.wav\ns1 0 a.wav\ns2 0 a.wav\n";
    for (int i = 3; i < 26; ++i)
        text += "s" + std::to_string(i) + " 0 a.wav\n";
    MemorySounds sounds;
    InstrumentModel model;
    detail::readDefinitionText(model, text, sounds.opener());
    ASSERT_EQ(model.soundCount(), 26u);
    EXPECT_EQ(model.keyForAlias("s0"), 81);  // q upper-cased
    EXPECT_EQ(model.keyForAlias("s1"), '2'); // the explicit key used up position 0
    EXPECT_EQ(model.keyForAlias("s2"), 'W');
    EXPECT_EQ(model.keyForAlias("s23"), 'M');
    EXPECT_EQ(model.keyForAlias("s24"), 0); // the 25th sound line binds nothing
    EXPECT_NE(model.soundFor("s25"), nullptr);

    InstrumentModel first;
    detail::readDefinitionText(first, "x 0 a.wav\n", sounds.opener());
    EXPECT_EQ(first.aliasForKey('Q'), "x");
}

TEST(InstrumentFile, FailuresThrowTheirMessagesAndKeepTheSoundsBefore) {
    MemorySounds sounds;
    InstrumentModel model;

    Thrown badKey =
        thrownBy([&] { detail::readDefinitionText(model, "a 0 a.wav\nb qq b.wav\n", sounds.opener()); });
    EXPECT_EQ(badKey.kind, Thrown::kCharPointer);
    EXPECT_EQ(badKey.text, "Incorrect key bind");
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"a", "b"})); // the sound stays, unbound
    EXPECT_EQ(model.keyForAlias("b"), 0);

    Thrown duplicate =
        thrownBy([&] { detail::readDefinitionText(model, "a 0 a.wav\na 0 b.wav\n", sounds.opener()); });
    EXPECT_EQ(duplicate.kind, Thrown::kCharPointer);
    EXPECT_NE(duplicate.text.find("probably you have 2 same aliases"), std::string::npos);
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"a"}));

    // The sound file is opened before the alias is looked up.
    Thrown missing =
        thrownBy([&] { detail::readDefinitionText(model, "a 0 a.wav\na 0 gone.mp3\n", sounds.opener()); });
    EXPECT_EQ(missing.kind, Thrown::kStringObject);
    EXPECT_EQ(missing.text, "Can't open sound file gone.mp3 for alias 'a': not a WAV file with sound data");

    Thrown noDefinition = thrownBy([&] { model.loadFromFile("/nonexistent/x.ins"); });
    EXPECT_EQ(noDefinition.kind, Thrown::kStringObject);
    EXPECT_EQ(noDefinition.text, "Can't open instrument file /nonexistent/x.ins: No such file or directory");
    EXPECT_EQ(model.soundCount(), 0u);
    EXPECT_FALSE(model.isLoaded());

    TempFolder folder;
    EXPECT_EQ(thrownBy([&] { model.loadFromFile(folder.path().string()); }).text,
              "Can't open instrument file " + folder.path().string() + ": Is a directory");
}

TEST(InstrumentFile, SoundFileMessagesNameThePathAsWritten) {
    TempFolder folder;
    writeBytes(folder / "empty.wav",
               riffWave({chunk("fmt ", formatRecord(1, 1, 8000, 16)), chunk("data", {})}));
    writeBytes(folder / "adpcm.wav", riffWave({chunk("fmt ", formatRecord(2, 1, 8000, 4, Bytes(32, 0))),
                                               chunk("data", Bytes(64, 1))}));
    writeText(folder / "a.ins", "e 0 empty.wav\n");
    writeText(folder / "b.ins", "c 0 adpcm.wav\n");
    writeText(folder / "c.ins", "m 0 sub\\missing.wav\n");
    InstrumentModel model;
    EXPECT_EQ(thrownBy([&] { model.loadFromFile((folder / "a.ins").string()); }).text,
              "Can't open sound file empty.wav for alias 'e': not a WAV file with sound data");
    EXPECT_EQ(thrownBy([&] { model.loadFromFile((folder / "b.ins").string()); }).text,
              "Can't open sound file adpcm.wav for alias 'c': compressed WAV (format 2) is not supported");
    EXPECT_EQ(thrownBy([&] { model.loadFromFile((folder / "c.ins").string()); }).text,
              "Can't open sound file sub\\missing.wav for alias 'm': No such file or directory");
}

TEST(InstrumentFile, ABinaryLineIsQuotedEscapedAndTheAliasCut) {
    MemorySounds sounds;
    InstrumentModel model;
    EXPECT_EQ(thrownBy([&] {
                  detail::readDefinitionText(model, "\x01\x02\xFF 0 \x1B]0;x\x07.mp3\n", sounds.opener());
              }).text,
              "Can't open sound file \\x1B]0;x\\x07.mp3 for alias '\\x01\\x02\\xFF': not a WAV file with "
              "sound data");
    const std::string longAlias(300, 'a');
    EXPECT_EQ(thrownBy([&] {
                  detail::readDefinitionText(model, longAlias + " 0 none.mp3\n", sounds.opener());
              }).text,
              "Can't open sound file none.mp3 for alias '" + std::string(60, 'a') +
                  "\u2026': not a WAV file with sound data");
}

// A binary file read as a definition (a program, a WAV file named .ins) is
// no definition: the message names the file, not a garbled sound path, and
// it does not load as an empty instrument.
TEST(InstrumentFile, ABinaryFileIsNamedAsNoDefinition) {
    TempFolder folder;
    const struct {
        const char* name;
        std::string bytes;
        int line;
    } cases[] = {
        {"program.ins",
         std::string("\x7F"
                     "ELF\x02\x01\x01\0\0\0\0\x03\0>\0",
                     16),
         1},
        {"garbled.ins", "-- saved\nlow 0 \x1B]0;x\x07.wav\n", 2},
        {"wave.ins", std::string("RIFF$\x08\0\0WAVEfmt ", 16), 1},
    };
    for (const auto& c : cases) {
        writeBytes(folder / c.name, Bytes(c.bytes.begin(), c.bytes.end()));
        InstrumentModel model;
        const Thrown failure = thrownBy([&] { model.loadFromFile((folder / c.name).string()); });
        EXPECT_EQ(failure.kind, Thrown::kStringObject) << c.name;
        EXPECT_EQ(failure.text, "Can't open instrument file " + (folder / c.name).string() +
                                    ": not an instrument definition (line " + std::to_string(c.line) +
                                    " is binary data, not \"alias key sound-file\")");
    }
    // Text that merely is not UTF-8 still loads as before.
    writeText(folder / "latin1.ins", "caf\xE9 0 gone.wav\n");
    InstrumentModel model;
    EXPECT_EQ(thrownBy([&] { model.loadFromFile((folder / "latin1.ins").string()); }).text,
              "Can't open sound file gone.wav for alias 'caf\\xE9': No such file or directory");
}

TEST(InstrumentFile, LongLinesAreSplitAndFieldsCapped) {
    MemorySounds sounds;
    InstrumentModel model;
    const std::string longAlias(300, 'x');
    detail::readDefinitionText(model, longAlias + " 0 a.wav\n", sounds.opener());
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{std::string(255, 'x')}));

    // A line longer than 1023 characters arrives in pieces; the second piece
    // of this comment holds three fields and is read as a sound line.
    const std::string text = "-- " + std::string(1020, 'c') + "p2 0 a.wav extra\n" + "z 0 a.wav\n";
    detail::readDefinitionText(model, text, sounds.opener());
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"p2", "z"}));

    const std::string longPath = "a 0 " + std::string(5000, 'p') + ".wav\n";
    EXPECT_EQ(thrownBy([&] { detail::readDefinitionText(model, longPath, sounds.opener()); }).text,
              "Can't open sound file " + std::string(255, 'p') +
                  " for alias 'a': not a WAV file with sound data");
}

TEST(InstrumentFile, TenThousandSoundLinesStopAtTheLimit) {
    std::string text;
    for (int i = 0; i < 10000; ++i)
        text += "s" + std::to_string(i) + " 0 a.wav\n";
    MemorySounds sounds;
    InstrumentModel model;
    Thrown full = thrownBy([&] { detail::readDefinitionText(model, text, sounds.opener()); });
    EXPECT_EQ(full.kind, Thrown::kCharPointer);
    EXPECT_EQ(full.text, "Too many sounds in instrument");
    EXPECT_EQ(model.soundCount(), 256u);
    EXPECT_EQ(model.aliasAt(255), "s255");
}

TEST(InstrumentFile, SaveAndLoadAgainKeepsAliasesOrderAndSamples) {
    TempFolder folder;
    writeDuo(folder);
    // A rate above 65535 Hz is kept through loading and saving.
    writeBytes(folder / "songs/flûte.wav", wav16(ramp(300, -32768, 200), 96000));
    writeText(folder / "songs/duo.ins", "low 0 duo\\1\\low.wav\nhigh e duo\\1\\high.wav\ndrum 0 drum.wav\n"
                                        "flûte 0 flûte.wav\n");
    InstrumentModel original;
    original.loadFromFile((folder / "songs/duo.ins").string());

    for (bool withFolders : {true, false}) {
        SCOPED_TRACE(withFolders ? "with folders" : "flat");
        const fs::path saved = folder / (withFolders ? "saved/copy.ins" : "flat/copy.ins");
        fs::create_directories(saved.parent_path());
        original.saveToFile(saved.string(), withFolders);
        InstrumentModel copy;
        copy.loadFromFile(saved.string());
        EXPECT_EQ(aliasesOf(copy), aliasesOf(original));
        for (const std::string& alias : aliasesOf(original)) {
            EXPECT_EQ(valuesOf(copy, alias), valuesOf(original, alias)) << alias;
            EXPECT_EQ(copy.soundFor(alias)->sampleRate(), original.soundFor(alias)->sampleRate());
            EXPECT_EQ(copy.soundFor(alias)->channels(), original.soundFor(alias)->channels());
        }
        EXPECT_EQ(copy.soundFor("flûte")->sampleRate(), 96000u);
        EXPECT_EQ(copy.keyForAlias("high"), '2'); // the explicit E is replaced by its position
        EXPECT_EQ(copy.keyForAlias("drum"), 'W');
    }
    EXPECT_EQ(readText(folder / "flat/copy.ins"), "low 0 low.wav\nhigh 0 high.wav\ndrum 0 drum.wav\n"
                                                  "flûte 0 flûte.wav\n");
    EXPECT_TRUE(fs::exists(folder / "flat/drum.wav"));
}

TEST(InstrumentFile, ThirteenSoundsFillTwoNumberedFolders) {
    TempFolder folder;
    InstrumentModel model;
    for (int i = 0; i < 13; ++i)
        model.addSound("n" + std::to_string(i), Sound::make(ramp(10, i), 8000, 1, 16, 1.0f));
    model.saveToFile((folder / "keys.ins").string(), true);

    std::string expected;
    for (int i = 0; i < 13; ++i)
        expected +=
            "n" + std::to_string(i) + " 0 keys/" + (i < 12 ? "1" : "2") + "/n" + std::to_string(i) + ".wav\n";
    EXPECT_EQ(readText(folder / "keys.ins"), expected);
    EXPECT_TRUE(fs::exists(folder / "keys/1/n11.wav"));
    EXPECT_TRUE(fs::exists(folder / "keys/2/n12.wav"));
    EXPECT_FALSE(fs::exists(folder / "keys/1/n12.wav"));
    EXPECT_FALSE(fs::exists(folder / "keys/3"));
    for (const auto& entry : fs::recursive_directory_iterator(folder.path()))
        EXPECT_FALSE(entry.path().filename().string().ends_with(".tmp")) << entry.path();
}

TEST(InstrumentFile, SaveWithoutAFolderPartUsesTheCurrentDirectory) {
    TempFolder folder;
    InstrumentModel model;
    model.addSound("a", Sound::make(ramp(4, 0), 8000, 1, 16, 1.0f));
    CurrentDirectory inFolder(folder.path());
    model.saveToFile("plain.ins", true);
    EXPECT_EQ(readText(folder / "plain.ins"), "a 0 plain/1/a.wav\n");
    model.saveToFile("flat.ins", false);
    EXPECT_EQ(readText(folder / "flat.ins"), "a 0 a.wav\n");
    EXPECT_TRUE(fs::exists(folder / "plain/1/a.wav"));
    EXPECT_TRUE(fs::exists(folder / "a.wav"));
}

TEST(InstrumentFile, SaveFailures) {
    TempFolder folder;
    InstrumentModel model;
    model.addSound("ok", Sound::make(ramp(4, 0), 8000, 1, 16, 1.0f));
    model.addSound("blocked", Sound::make(ramp(4, 9), 8000, 1, 16, 1.0f));
    model.addSound("after", Sound::make(ramp(4, 7), 8000, 1, 16, 1.0f));

    Thrown noFolder = thrownBy([&] { model.saveToFile((folder / "missing/x.ins").string(), true); });
    EXPECT_EQ(noFolder.kind, Thrown::kStringObject);
    EXPECT_EQ(noFolder.text, "Can't open file for saving instrument " + (folder / "missing/x.ins").string() +
                                 ": No such file or directory");

    // A folder where a WAV file should go: the save stops there and writes
    // nothing at all.
    fs::create_directories(folder / "x/1/blocked.wav");
    Thrown blocked = thrownBy([&] { model.saveToFile((folder / "x.ins").string(), true); });
    EXPECT_EQ(blocked.kind, Thrown::kStringObject);
    EXPECT_EQ(blocked.text,
              "Can't write sound file " + (folder / "x/1/blocked.wav").string() + ": Is a directory");
    EXPECT_FALSE(fs::exists(folder / "x.ins"));
    EXPECT_FALSE(fs::exists(folder / "x/1/ok.wav"));
    EXPECT_FALSE(fs::exists(folder / "x/1/after.wav"));

    // An alias never writes outside its folder; it is refused before anything is written.
    fs::remove_all(folder / "x/1/blocked.wav");
    model.addSound("../escape", Sound::make(ramp(4, 5), 8000, 1, 16, 1.0f));
    Thrown escape = thrownBy([&] { model.saveToFile((folder / "x.ins").string(), true); });
    EXPECT_EQ(escape.text, "Can't write sound file " + (folder / "x/1/../escape.wav").string());
    EXPECT_FALSE(fs::exists(folder / "x/escape.wav"));
    EXPECT_FALSE(fs::exists(folder / "x.ins"));
    EXPECT_FALSE(fs::exists(folder / "x/1/ok.wav"));
}

TEST(InstrumentFile, AByteOrderMarkAtTheStartIsSkipped) {
    MemorySounds sounds;
    InstrumentModel model;
    detail::readDefinitionText(model, "\xEF\xBB\xBFlow 0 low.wav\nhigh 0 high.wav\n", sounds.opener());
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"low", "high"}));
    detail::readDefinitionText(model, "\xEF\xBB\xBF!begin\nlow 0 low.wav\n", sounds.opener());
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"low"}));
    detail::readDefinitionText(model, "\xEF\xBB\xBF\nlow 0 low.wav\n", sounds.opener());
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"low"}));
    // Elsewhere the mark is part of the line; a two-field line still ends reading.
    detail::readDefinitionText(model, "low 0 low.wav\n\xEF\xBB\xBFhigh 0 high.wav\nend here\nx 0 x.wav\n",
                               sounds.opener());
    EXPECT_EQ(aliasesOf(model), (std::vector<std::string>{"low", "\xEF\xBB\xBFhigh"}));
}

TEST(InstrumentFile, FilesThatAreNoTextFailAtOnce) {
    TempFolder folder;
    InstrumentModel model;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"/dev/zero", "not a regular file"}, {folder.path().string(), "Is a directory"}};
    for (const auto& [refusedPath, reason] : refused) {
        const std::string& path = refusedPath; // clang 14 lambdas cannot capture a structured binding
        const std::string expected = "Can't open instrument file " + path + ": " + reason;
        EXPECT_EQ(thrownBy([&] { model.loadFromFile(path); }).text, expected);
        EXPECT_EQ(thrownBy([&] { InstrumentModel::soundFilesOf(path); }).text, expected);
    }
}

TEST(InstrumentFile, SoundFilesOfAndFilesSavedToNameWhatLoadAndSaveTouch) {
    TempFolder folder;
    writeDuo(folder);
    const fs::path songs = folder / "songs";
    EXPECT_EQ(InstrumentModel::soundFilesOf((songs / "duo.ins").string()),
              (std::vector<std::string>{(songs / "duo/1/low.wav").string(),
                                        (songs / "duo/1/high.wav").string(), (songs / "drum.wav").string()}));
    InstrumentModel model;
    model.loadFromFile((songs / "duo.ins").string());
    EXPECT_EQ(model.filesSavedTo((songs / "my copy.ins").string(), true),
              (std::vector<std::string>{
                  (songs / "my_copy/1/low.wav").string(), (songs / "my_copy/1/high.wav").string(),
                  (songs / "my_copy/1/drum.wav").string(), (songs / "my copy.ins").string()}));
    EXPECT_EQ(model.filesSavedTo((songs / "flat.ins").string(), false),
              (std::vector<std::string>{(songs / "low.wav").string(), (songs / "high.wav").string(),
                                        (songs / "drum.wav").string(), (songs / "flat.ins").string()}));
}

// A generated instrument says where it came from in the comments it begins
// with: written first, one physical line each, and read back; a comment after
// the first sound line is not one of them.
TEST(InstrumentFile, LeadingCommentsAreReadAndWrittenFirst) {
    TempFolder folder;
    writeDuo(folder);
    writeText(folder / "songs/duo.ins", "-- made by hand\n!begin\n--no blank\nlow 0 duo\\1\\low.wav\n"
                                        "-- between sounds\ndrum 0 drum.wav\n");
    EXPECT_EQ(InstrumentModel::leadingCommentsOf((folder / "songs/duo.ins").string()),
              (std::vector<std::string>{"made by hand", "no blank"}));
    InstrumentModel model;
    model.loadFromFile((folder / "songs/duo.ins").string());
    EXPECT_TRUE(model.comments().empty()) << "saving again writes none unless asked";

    model.setComments({"settings: one", "two\nlines", std::string(2000, 'x')});
    const fs::path saved = folder / "flat/copy.ins";
    fs::create_directories(saved.parent_path());
    model.saveToFile(saved.string(), false);
    const std::string text = readText(saved);
    EXPECT_EQ(text.substr(0, text.find("low 0")),
              "-- settings: one\n-- two lines\n-- " + std::string(1019, 'x') + "\n");
    InstrumentModel copy;
    copy.loadFromFile(saved.string());
    EXPECT_EQ(aliasesOf(copy), (std::vector<std::string>{"low", "drum"}));
    EXPECT_EQ(InstrumentModel::leadingCommentsOf(saved.string()).size(), 3u);
    model.clear();
    EXPECT_TRUE(model.comments().empty());
}
