// A voice against the generator's notes, and the bank's polyphony, release,
// determinism and model changes.
#include <kivora/GenerationReport.h>
#include <kivora/NoteGenerator.h>
#include <kivora/voices/VoiceBank.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <vector>

using namespace kivora::voices;

namespace {

kivora::GenerationSettings shortNotes() {
    kivora::GenerationSettings settings;
    settings.durationMs = 250;
    return settings;
}

std::shared_ptr<const VoiceModel> modelOf(const InstrumentKit::Representation& representation,
                                          kivora::GenerationSettings settings = shortNotes()) {
    return std::make_shared<const VoiceModel>(muntero::takeSnapshot(representation),
                                              VoiceSettings{settings, {}});
}

std::shared_ptr<const VoiceModel> bundledModel(const char* name) {
    return modelOf(InstrumentKit::loadModelFile(std::string(KIVORA_SOURCE_DIR) + "/examples/models/" + name));
}

std::vector<std::int16_t> heldVoice(const VoiceModel& model, int key, int frames) {
    Voice voice(model);
    voice.start(key, 127, 1);
    std::vector<double> displacement(static_cast<std::size_t>(frames));
    voice.render(displacement.data(), displacement.size());
    std::vector<std::int16_t> samples;
    for (double x : displacement)
        samples.push_back(kivora::sampleOfDisplacement(x));
    return samples;
}

} // namespace

// The same springs, state and kernels as the generator's note: the same bits.
TEST(VoiceFidelity, HeldVoiceIsTheGeneratorsNoteBitForBit) {
    for (const auto& representation : {InstrumentKit::defaultModel(), InstrumentKit::makeMembrane(12, 12)}) {
        kivora::GenerationSettings settings = shortNotes();
        settings.octaves = 2;
        kivora::NoteGenerator generator;
        generator.configure(settings, muntero::takeSnapshot(representation));
        ASSERT_EQ(generator.run(), 0);
        const auto model = modelOf(representation);
        EXPECT_EQ(model->baseFrequency(), generator.baseFrequency());
        ASSERT_EQ(model->noteLengthInFrames(), generator.samplesPerNote());
        for (int note : {0, 1, 7, 23}) {
            const std::vector<std::int16_t> voice =
                heldVoice(*model, kFirstNoteKey + note, generator.samplesPerNote());
            const std::int16_t* expected = generator.noteBuffer(note);
            ASSERT_EQ(voice, std::vector<std::int16_t>(expected, expected + generator.samplesPerNote()))
                << "note " << note;
        }
        // Through the whole off-line path too, on one thread and on two.
        for (unsigned threads : {1u, 2u}) {
            const OfflineRendering rendering =
                renderOffline(model, {{0, KeyEvent::Kind::noteOn, kFirstNoteKey + 5, 127}},
                              static_cast<std::uint64_t>(generator.samplesPerNote()), 16, threads);
            EXPECT_TRUE(
                std::equal(rendering.samples.begin(), rendering.samples.end(), generator.noteBuffer(5)));
        }
    }
}

TEST(VoiceFidelity, KeysBeyondTheStabilityLimitAreRefusedOnce) {
    const auto model = bundledModel("plucked-string.json");
    int firstSilent = kKeyCount;
    for (int key = kKeyCount - 1; key >= 0 && !model->keySounds(key); --key)
        firstSilent = key;
    ASSERT_LT(firstSilent, kKeyCount) << "the string plays every key at 44.1 kHz";
    ASSERT_GT(firstSilent, kFirstNoteKey + 24);
    const OfflineRendering rendering = renderOffline(model,
                                                     {{0, KeyEvent::Kind::noteOn, firstSilent, 127},
                                                      {10, KeyEvent::Kind::noteOn, firstSilent, 127},
                                                      {20, KeyEvent::Kind::noteOn, kKeyCount - 1, 127}},
                                                     100);
    EXPECT_EQ(rendering.refusedKeys, (std::vector<int>{firstSilent, kKeyCount - 1}));
    EXPECT_TRUE(
        std::all_of(rendering.samples.begin(), rendering.samples.end(), [](auto s) { return s == 0; }));
}

TEST(VoiceFidelity, NoteNamesAreTheGeneratorsFromKey48) {
    EXPECT_EQ(noteNameOfKey(48), "1C");
    EXPECT_EQ(noteNameOfKey(61), "2C#");
    EXPECT_EQ(noteNameOfKey(47), "0B");
    EXPECT_EQ(keyOfNoteName("1C"), 48);
    EXPECT_EQ(keyOfNoteName("3B"), 83);
    EXPECT_EQ(keyOfNoteName("0A#"), 46);
    EXPECT_EQ(keyOfNoteName("1H"), -1);
    EXPECT_EQ(keyOfNoteName("simpleNote"), -1);
    for (int key = 0; key < kKeyCount; ++key)
        EXPECT_EQ(keyOfNoteName(noteNameOfKey(key)), key);
}

// A model at rest is refused with the words the generator's tuned run has
// for it, kept as the exception's text.
TEST(VoiceFidelity, ASilentModelIsRefusedWithTheGeneratorsSilenceMessage) {
    muntero::ModelSnapshot still = muntero::takeSnapshot(InstrumentKit::defaultModel());
    std::fill(still.initialDisplacements.begin(), still.initialDisplacements.end(), 0.0);
    std::fill(still.initialVelocities.begin(), still.initialVelocities.end(), 0.0);
    kivora::GenerationSettings settings = shortNotes();
    settings.octaves = 1;
    kivora::NoteGenerator generator;
    generator.configure(settings, still);
    ASSERT_EQ(generator.run(), 0);
    const std::string generatorSays = kivora::silenceMessageOf(generator);
    ASSERT_FALSE(generatorSays.empty());
    try {
        VoiceModel model(still, VoiceSettings{shortNotes(), {}});
        ADD_FAILURE() << "a silent model was tuned";
    } catch (const std::invalid_argument& refusal) {
        EXPECT_EQ(refusal.what(), generatorSays);
    }
}

class VoiceBankTest : public ::testing::Test {
protected:
    std::shared_ptr<const VoiceModel> model_ = modelOf(InstrumentKit::defaultModel());

    static std::vector<int> heldKeys(const VoiceBank& bank) {
        std::vector<int> keys;
        for (std::size_t v = 0; v < bank.currentSet().size(); ++v)
            keys.push_back(bank.currentSet().voice(v).active() ? bank.currentSet().voice(v).key() : -1);
        return keys;
    }
    static void play(VoiceBank& bank, std::size_t frames) {
        std::vector<double> mix(VoiceBank::kMaxBlockFrames);
        for (; frames > 0; frames -= std::min(frames, mix.size()))
            bank.render(mix.data(), std::min(frames, mix.size()));
    }
};

TEST_F(VoiceBankTest, StealsTheOldestReleasedVoiceThenTheOldestHeld) {
    VoiceBank bank(std::make_unique<VoiceSet>(model_, 2));
    bank.noteOn(48, 100);
    bank.noteOn(50, 100);
    bank.noteOn(52, 100); // both held: the oldest held (48) goes
    EXPECT_EQ(heldKeys(bank), (std::vector<int>{52, 50}));
    bank.noteOff(52);
    bank.noteOn(55, 100); // 50 is older, but 52 is released
    EXPECT_EQ(heldKeys(bank), (std::vector<int>{55, 50}));
    bank.noteOn(50, 100); // a held key pressed again restarts in its own place
    EXPECT_EQ(bank.soundingVoiceCount(), 2);
}

TEST_F(VoiceBankTest, ReleaseFadesOutIn30MsAndFreesTheVoice) {
    VoiceBank bank(std::make_unique<VoiceSet>(model_, 4));
    bank.noteOn(60, 127);
    play(bank, 441);
    bank.noteOff(60);
    const auto fadeFrames = static_cast<std::size_t>(std::lround(Voice::kReleaseMs * 44.1));
    std::vector<double> mix(fadeFrames);
    bank.render(mix.data(), 1000);
    EXPECT_EQ(bank.soundingVoiceCount(), 1);
    bank.render(mix.data() + 1000, fadeFrames - 1000);
    EXPECT_EQ(bank.soundingVoiceCount(), 0);
    // The fade ends within one 16-bit step of silence and never jumps.
    EXPECT_LT(std::fabs(mix.back()) * 32767.0, 1.0 + std::fabs(mix.front()) * 32767.0 / fadeFrames * 2);
    double peakFirst = 0.0, peakLast = 0.0;
    for (std::size_t f = 0; f < fadeFrames / 4; ++f) {
        peakFirst = std::max(peakFirst, std::fabs(mix[f]));
        peakLast = std::max(peakLast, std::fabs(mix[fadeFrames - 1 - f]));
    }
    EXPECT_LT(peakLast, peakFirst * 0.3);
    EXPECT_EQ(heldKeys(bank), (std::vector<int>{-1, -1, -1, -1}));
}

TEST_F(VoiceBankTest, DecayedVoiceIsFreedWhileHeld) {
    kivora::GenerationSettings heavy = shortNotes();
    heavy.linearDamping = 60.0;
    VoiceBank bank(std::make_unique<VoiceSet>(modelOf(InstrumentKit::defaultModel(), heavy), 1));
    bank.noteOn(48, 127);
    play(bank, 44100);
    EXPECT_EQ(bank.soundingVoiceCount(), 0);
}

// Voices are summed in a fixed order on one thread: any number of threads
// gives the same bits.
TEST_F(VoiceBankTest, OfflineRenderingIsTheSameOnEveryThreadCount) {
    const auto membrane = modelOf(InstrumentKit::makeMembrane(12, 12));
    std::mt19937 random(7);
    std::vector<KeyEvent> events;
    for (std::uint64_t frame = 0; frame < 44100; frame += 300 + random() % 900) {
        const int key = 40 + static_cast<int>(random() % 30);
        events.push_back({frame, KeyEvent::Kind::noteOn, key, 1 + static_cast<int>(random() % 127)});
        events.push_back({frame + 2000 + random() % 4000, KeyEvent::Kind::noteOff, key, 0});
    }
    std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.frame < b.frame; });
    const OfflineRendering one = renderOffline(membrane, events, 50000, 16, 1);
    EXPECT_GT(*std::max_element(one.samples.begin(), one.samples.end()), 1000);
    for (unsigned threads : {2u, 3u, 5u})
        EXPECT_EQ(renderOffline(membrane, events, 50000, 16, threads).samples, one.samples) << threads;
}

// A new model reaches the next note at once; the old voices fade out with
// their own model and their set is handed back for freeing.
TEST_F(VoiceBankTest, ModelChangeAppliesToTheNextNoteBetweenBlocks) {
    const auto membrane = modelOf(InstrumentKit::makeMembrane(12, 12));
    VoiceBank bank(std::make_unique<VoiceSet>(model_, 4), 2);
    bank.noteOn(48, 127);
    play(bank, 1000);
    bank.replaceSet(std::make_unique<VoiceSet>(membrane, 4));
    bank.noteOn(55, 127);
    EXPECT_EQ(bank.takeRetiredSet(), nullptr) << "the string is still fading";
    std::vector<double> mix(VoiceBank::kMaxBlockFrames * 4);
    for (std::size_t at = 0; at < mix.size(); at += VoiceBank::kMaxBlockFrames)
        bank.render(mix.data() + at, VoiceBank::kMaxBlockFrames);
    EXPECT_NE(bank.takeRetiredSet(), nullptr);
    // After the fade only the membrane's note sounds, as if it had played alone.
    const OfflineRendering alone =
        renderOffline(membrane, {{0, KeyEvent::Kind::noteOn, 55, 127}}, mix.size());
    const std::size_t fadeFrames = 1323;
    for (std::size_t f = fadeFrames; f < mix.size(); ++f)
        ASSERT_EQ(kivora::sampleOfDisplacement(mix[f]), alone.samples[f]) << f;
}

// Voices stepped in batches of any size sound as voices stepped alone: keys
// pressed at different frames (other phases in one batch), velocities,
// releases, steals and freed lanes taken again, bit for bit in the mix.
TEST_F(VoiceBankTest, BatchedVoicesMixAsVoicesSteppedAlone) {
    const auto membrane = modelOf(InstrumentKit::makeMembrane(10, 10));
    std::mt19937 random(29);
    std::vector<KeyEvent> events;
    for (std::uint64_t frame = 0; frame < 30000; frame += 100 + random() % 1500) {
        const int key = 36 + static_cast<int>(random() % 36);
        events.push_back({frame, KeyEvent::Kind::noteOn, key, 1 + static_cast<int>(random() % 127)});
        events.push_back({frame + 500 + random() % 3000, KeyEvent::Kind::noteOff, key, 0});
    }
    std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.frame < b.frame; });
    const auto play = [&](int lanesPerBatch, unsigned threads) {
        VoiceBank bank(std::make_unique<VoiceSet>(membrane, 11, lanesPerBatch), threads);
        std::vector<double> mix(32000);
        std::size_t next = 0;
        // Blocks of 97 frames: events land inside what would be a longer block.
        for (std::size_t at = 0; at < mix.size(); at += 97) {
            for (; next < events.size() && events[next].frame <= at; ++next) {
                if (events[next].kind == KeyEvent::Kind::noteOn)
                    bank.noteOn(events[next].key, events[next].velocity);
                else
                    bank.noteOff(events[next].key);
            }
            bank.render(mix.data() + at, std::min<std::size_t>(97, mix.size() - at));
        }
        return mix;
    };
    const std::vector<double> alone = play(1, 1);
    EXPECT_GT(*std::max_element(alone.begin(), alone.end()), 0.05);
    for (int lanes : {0, 3, 4, 8, 11}) {
        const std::vector<double> batched = play(lanes, 2);
        for (std::size_t f = 0; f < alone.size(); ++f)
            ASSERT_EQ(std::memcmp(&batched[f], &alone[f], sizeof(double)), 0)
                << lanes << " lanes, frame " << f;
    }
    const VoiceSet set(membrane, 11, 4);
    EXPECT_EQ(set.batchCount(), 3u);
    EXPECT_TRUE(set.voice(10).batched());
    EXPECT_FALSE(VoiceSet(membrane, 2, 1).voice(0).batched());
}
