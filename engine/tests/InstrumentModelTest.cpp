#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundStreamDescription.h>

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

using namespace pellamy;

namespace {

Sound makeSound(std::vector<std::int16_t> values, std::uint16_t rate = 8000) {
    return Sound::make(values, rate, 1, 16, 1.0f);
}

std::string thrownText(const std::function<void()>& action) {
    try {
        action();
    } catch (const char* text) {
        return text;
    }
    return {};
}

} // namespace

TEST(Sound, ReadNextTruncatesAppliesGainAndClearsPlayingAtTheEnd) {
    Sound sound = Sound::make(std::vector<std::int16_t>{100, -101, 32767, -32768}, 8000, 1, 16, 0.5f);
    sound.setPlaying(true);
    std::int16_t out[8] = {};
    EXPECT_EQ(sound.readNext(out, 3), 3u);
    EXPECT_EQ(out[0], 50);
    EXPECT_EQ(out[1], -50); // toward zero, not rounded
    EXPECT_EQ(out[2], 16383);
    EXPECT_TRUE(sound.isPlaying());
    EXPECT_EQ(sound.readNext(out, 3), 1u);
    EXPECT_EQ(out[0], -16384);
    EXPECT_FALSE(sound.isPlaying());

    sound.setPlaying(true);
    EXPECT_EQ(sound.readNext(out, 3), 0u); // already at the end: playing stays as it was
    EXPECT_TRUE(sound.isPlaying());
}

TEST(Sound, GainAboveOneKeepsTheLow16BitsAndReadMsCountsBySampleRateOnly) {
    Sound loud = Sound::make(std::vector<std::int16_t>{20000}, 8000, 2, 16, 2.0f);
    std::int16_t out[1];
    loud.peek(out, 1, 0);
    EXPECT_EQ(out[0], static_cast<std::int16_t>(40000 - 65536));

    Sound sound = makeSound(std::vector<std::int16_t>(100, 7), 1000);
    std::int16_t block[100];
    EXPECT_EQ(sound.readMs(block, 0), 0u);
    EXPECT_EQ(sound.position(), 0u);
    EXPECT_EQ(sound.readMs(block, 33), 33u);
    EXPECT_EQ(sound.peek(block, 10, 95), 5u);
    EXPECT_EQ(sound.position(), 33u);
    EXPECT_EQ(sound.peek(block, 10, 100), 0u);

    Sound invalid;
    EXPECT_EQ(invalid.readMs(block, 10), 0u);
    EXPECT_EQ(invalid.readNext(block, 10), 0u);
}

TEST(Sound, WaveFormatDescribesPcm) {
    const WAVEFORMATEX format = Sound::make(std::vector<std::int16_t>{0}, 44100, 2, 16, 1.0f).waveFormat();
    EXPECT_EQ(format.wFormatTag, 1);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.nAvgBytesPerSec, 44100u * 4);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);
}

TEST(InstrumentModel, LookupsAnswerOnlyWhileLoaded) {
    InstrumentModel model;
    model.bindKey('Q', "low");
    EXPECT_EQ(model.aliasForKey('Q'), "");
    EXPECT_EQ(model.soundFor("low"), nullptr);
    model.clear();
    EXPECT_FALSE(model.isLoaded());
    EXPECT_EQ(model.soundCount(), 0u);

    model.addSound("low", makeSound({1, 2, 3}));
    model.bindKey('Q', "low");
    EXPECT_EQ(model.aliasForKey('Q'), "low");
    EXPECT_EQ(model.aliasForKey('Q' + 256), "low"); // codes are taken modulo 256
    ASSERT_NE(model.soundFor("low"), nullptr);
    EXPECT_EQ(model.soundFor("low")->count(), 3u);
    EXPECT_EQ(model.soundFor("LOW"), nullptr);
}

TEST(InstrumentModel, KeyForAliasGivesTheLowestCodeAndNeverLooksAt255) {
    InstrumentModel model;
    model.addSound("a", makeSound({1}));
    model.addSound("b", makeSound({1}));
    model.bindKey('W', "a");
    model.bindKey('E', "a");
    model.bindKey(255, "b");
    EXPECT_EQ(model.keyForAlias("a"), 'E');
    EXPECT_EQ(model.keyForAlias("b"), 0);
    EXPECT_EQ(model.keyForAlias("unknown"), 0);
}

TEST(InstrumentModel, RefusesDuplicatesAndA257thSoundWithoutChange) {
    InstrumentModel model;
    model.addSound("x", makeSound({1}));
    EXPECT_EQ(thrownText([&] { model.addSound("x", makeSound({2})); }), "Key redefenition found");
    EXPECT_EQ(model.soundCount(), 1u);

    for (int i = 1; i < 256; ++i)
        model.addSound("s" + std::to_string(i), makeSound({1}));
    EXPECT_EQ(thrownText([&] { model.addSound("one-too-many", makeSound({1})); }),
              "Too many sounds in instrument");
    EXPECT_EQ(model.soundCount(), 256u);
    EXPECT_EQ(model.aliasAt(0), "x");
    EXPECT_EQ(model.aliasAt(255), "s255");
}

TEST(InstrumentModel, EnumerationOrderIsStableWhileUnchanged) {
    InstrumentModel model;
    for (int i = 0; i < 40; ++i)
        model.addSound("n" + std::to_string(i), makeSound({1}));
    std::vector<std::string> first, second;
    model.forEachSound([&](const std::string& alias, Sound&) { first.push_back(alias); });
    model.soundFor("n3")->setPlaying(true);
    model.forEachSound([&](const std::string& alias, const Sound&) { second.push_back(alias); });
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.size(), 40u);
}

TEST(GeneratedInstrument, BindsTheFirst24InDefaultKeyOrder) {
    std::vector<std::int16_t> samples(500, 9);
    std::vector<SoundStreamDescription> records(36);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].name = "n" + std::to_string(i);
        records[i].format = {1, 1, 44100, 88200, 2, 16, 1234};
        records[i].dataBytes = 1001; // odd: the last byte is lost
        records[i].data = samples.data();
    }
    InstrumentModel model;
    model.loadFromDescriptions(static_cast<int>(records.size()), records.data());
    ASSERT_EQ(model.soundCount(), 36u);
    EXPECT_EQ(model.soundFor("n0")->count(), 500u);
    EXPECT_EQ(model.soundFor("n0")->sampleRate(), 44100);
    EXPECT_EQ(model.aliasForKey('Q'), "n0");
    EXPECT_EQ(model.aliasForKey('2'), "n1");
    EXPECT_EQ(model.aliasForKey('M'), "n23");
    EXPECT_EQ(model.keyForAlias("n24"), 0);

    InstrumentModel empty;
    empty.loadFromDescriptions(0, nullptr);
    EXPECT_TRUE(empty.isLoaded());
    EXPECT_EQ(empty.aliasForKey('Q'), "");
}

TEST(GeneratedInstrument, DuplicateNameThrowsAfterTheFirstIsBound) {
    std::vector<std::int16_t> samples(4, 1);
    SoundStreamDescription records[2];
    for (auto& r : records) {
        r.name = "simpleNote";
        r.format = {1, 1, 8000, 16000, 2, 16, 0};
        r.dataBytes = 8;
        r.data = samples.data();
    }
    InstrumentModel model;
    const std::string text = thrownText([&] { model.loadFromDescriptions(2, records); });
    EXPECT_NE(text.find("probably you have 2 same aliases"), std::string::npos);
    EXPECT_EQ(model.soundCount(), 1u);
    EXPECT_EQ(model.aliasForKey('Q'), "simpleNote");
}
