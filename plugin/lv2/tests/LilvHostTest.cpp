// The plugin in a lilv host, loaded by its URI from the build tree: pitch at
// the host's rates, the model parameter, state, block lengths, MIDI, and the
// same samples as kivora-cli's render --model.
#include "PluginHost.h"

#include <kivora/NoteGenerator.h>
#include <kivora/voices/VoiceBank.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <regex>
#include <sstream>

using kivora::test::PluginHost;
namespace fs = std::filesystem;

namespace {

const std::string kModels = std::string(KIVORA_SOURCE_DIR) + "/examples/models/";
const std::string kString = kModels + "plucked-string.json";
const std::string kMembrane = kModels + "struck-membrane.json";
constexpr double kC3 = 130.8127826502993;

double keyHz(int key) {
    return kC3 * std::exp2((key - 48) / 12.0);
}

// The strongest partial between 40 Hz and 4 kHz: a Hann-windowed DFT on a
// grid 0.5 % apart, refined on one 0.02 % apart around the best point.
double dominantFrequency(const std::vector<float>& samples, double rate) {
    const std::size_t n = samples.size();
    auto magnitude = [&](double hz) {
        double re = 0.0, im = 0.0;
        const double step = 2.0 * std::numbers::pi * hz / rate;
        for (std::size_t i = 0; i < n; ++i) {
            const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (n - 1));
            re += window * samples[i] * std::cos(step * i);
            im -= window * samples[i] * std::sin(step * i);
        }
        return std::hypot(re, im);
    };
    auto best = [&](double from, double to, double ratio) {
        double bestHz = from, bestMagnitude = -1.0;
        for (double hz = from; hz <= to; hz *= ratio)
            if (const double m = magnitude(hz); m > bestMagnitude)
                bestMagnitude = m, bestHz = hz;
        return bestHz;
    };
    const double coarse = best(40.0, 4000.0, 1.005);
    return best(coarse / 1.006, coarse * 1.006, 1.0002);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

fs::path freshFolder(const std::string& name) {
    const fs::path folder =
        fs::temp_directory_path() / ("kivora-lv2-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// The 16-bit samples of a canonical mono WAV file.
std::vector<std::int16_t> readWavSamples(const fs::path& path) {
    const std::string bytes = readText(path.string());
    const std::size_t data = bytes.find("data");
    if (data == std::string::npos)
        return {};
    std::uint32_t size = 0;
    std::memcpy(&size, bytes.data() + data + 4, 4);
    std::vector<std::int16_t> samples(std::min<std::size_t>(size, bytes.size() - data - 8) / 2);
    std::memcpy(samples.data(), bytes.data() + data + 8, samples.size() * 2);
    return samples;
}

// The voices library's own mix for one held key, as the plugin must give it.
std::vector<double> libraryMix(const kivora::voices::VoiceSettings& settings, const std::string& modelPath,
                               int key, std::size_t frames) {
    const auto representation =
        modelPath.empty() ? InstrumentKit::defaultModel() : InstrumentKit::loadModelFile(modelPath);
    auto model =
        std::make_shared<const kivora::voices::VoiceModel>(muntero::takeSnapshot(representation), settings);
    kivora::voices::VoiceBank bank(std::make_unique<kivora::voices::VoiceSet>(model, 16));
    bank.noteOn(key, 127);
    std::vector<double> mix(frames);
    for (std::size_t at = 0; at < frames; at += 512)
        bank.render(mix.data() + at, std::min<std::size_t>(512, frames - at));
    return mix;
}

kivora::voices::VoiceSettings settingsAt(int rate, double linear = 4.0, double square = 0.08) {
    kivora::voices::VoiceSettings settings;
    settings.generation.sampleRate = rate;
    settings.generation.linearDamping = linear;
    settings.generation.squareDamping = square;
    return settings;
}

bool silent(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (samples[i] != 0.0f)
            return false;
    return true;
}

} // namespace

// What a host reads to draw the controls: defaults are the voices' own.
TEST(LiveModelPlugin, DescribesItsPortsWithTheVoicesDefaults) {
    PluginHost host(48000);
    LilvNode* name = lilv_plugin_get_name(host.plugin());
    EXPECT_STREQ(lilv_node_as_string(name), "Kivora Model");
    lilv_node_free(name);
    EXPECT_STREQ(lilv_node_as_uri(lilv_plugin_class_get_uri(lilv_plugin_get_class(host.plugin()))),
                 LV2_CORE__InstrumentPlugin);

    const kivora::GenerationSettings generation;
    const struct {
        const char* symbol;
        double value;
    } defaults[] = {{"linear", generation.linearDamping},
                    {"square", generation.squareDamping},
                    {"release", kivora::voices::Voice::kReleaseMs},
                    {"gain", 0.0},
                    {"polyphony", kivora::voices::VoiceBank::kDefaultVoiceCount}};
    for (const auto& expected : defaults)
        EXPECT_FLOAT_EQ(host.control(expected.symbol), static_cast<float>(expected.value)) << expected.symbol;

    LilvNode* symbol = lilv_new_string(host.world(), "polyphony");
    LilvNode* integer = lilv_new_uri(host.world(), LV2_CORE__integer);
    EXPECT_TRUE(lilv_port_has_property(host.plugin(), lilv_plugin_get_port_by_symbol(host.plugin(), symbol),
                                       integer));
    lilv_node_free(symbol);
    lilv_node_free(integer);
}

// Keys 48, 52 and 55 are C3, E3 and G3 within 1 % at every rate a host runs.
TEST(LiveModelPlugin, KeysSoundTheirNotesAtTheHostsRate) {
    for (const double rate : {44100.0, 48000.0, 88200.0, 96000.0}) {
        PluginHost host(rate);
        for (const int key : {48, 52, 55}) {
            const std::uint64_t start = host.position();
            host.noteOn(start, key);
            host.noteOff(start + static_cast<std::uint64_t>(rate / 2), key);
            const std::vector<float> note = host.render(static_cast<std::uint64_t>(rate / 2), 512);
            const double hz = dominantFrequency(note, rate);
            EXPECT_NEAR(hz / keyHz(key), 1.0, 0.01)
                << "key " << key << " at " << rate << " Hz: " << hz << " Hz";
            host.render(static_cast<std::uint64_t>(rate / 10), 512); // the release
        }
    }
}

// A held voice is the note kivora-cli render --model writes for the key, and
// the voices library's mix bit for bit.
TEST(LiveModelPlugin, AHeldVoiceIsTheToolsNote) {
    const std::string cli = KIVORA_CLI;
    const fs::path folder = freshFolder("held");
    constexpr std::size_t kFrames = 22050; // the note's 500 ms at 44.1 kHz
    for (const int key : {48, 55, 67}) {
        const fs::path script = folder / "note.snc";
        const fs::path wav = folder / "note.wav";
        writeText(script, kivora::voices::noteNameOfKey(key) + " a -1\n!wait 0.5\n");
        const std::string command = cli + " render " + script.string() + " --model " + kString + " -o " +
                                    wav.string() + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const std::vector<std::int16_t> tool = readWavSamples(wav);
        ASSERT_EQ(tool.size(), kFrames);

        PluginHost host(44100);
        host.setModel(0, kString);
        host.render(64);
        const std::uint64_t start = host.position();
        host.noteOn(start, key);
        const std::vector<float> played = host.render(kFrames, 441);
        const std::vector<double> mix = libraryMix(settingsAt(44100), kString, key, kFrames);
        std::size_t exact = 0;
        for (std::size_t i = 0; i < kFrames; ++i) {
            ASSERT_EQ(played[i], static_cast<float>(mix[i])) << "key " << key << " frame " << i;
            // The host's floats carry 24 bits: a value on the edge of a
            // 16-bit step may round across it.
            const int sample = kivora::sampleOfDisplacement(played[i]);
            ASSERT_LE(std::abs(sample - tool[i]), 1) << "key " << key << " frame " << i;
            exact += sample == tool[i] ? 1 : 0;
        }
        EXPECT_GE(exact, kFrames - kFrames / 1000) << "key " << key;
    }
}

// The same notes in blocks of 1, 64 and 1000 frames, each event at its frame.
TEST(LiveModelPlugin, AnyBlockLengthGivesTheSameSamples) {
    auto play = [](std::uint32_t blockFrames) {
        PluginHost host(48000);
        host.noteOn(777, 48, 100);
        host.noteOn(1500, 55, 64);
        host.controller(2001, 64, 127);
        host.noteOff(2002, 48);
        host.noteOff(3333, 55);
        host.controller(6001, 64, 0);
        host.noteOn(7000, 60);
        host.noteOff(9999, 60);
        return host.render(12000, blockFrames);
    };
    const std::vector<float> reference = play(1);
    EXPECT_TRUE(silent(reference, 0, 777));
    EXPECT_NE(reference[777], 0.0f) << "a note sounds at its own frame";
    for (const std::uint32_t blockFrames : {64u, 1000u, 4096u})
        EXPECT_EQ(play(blockFrames), reference) << blockFrames << " frames per block";
}

// Pedal, all notes off, all sound off and the release time, as a player
// expects them: whether the key still sounds at a given time after its note-off.
TEST(LiveModelPlugin, PedalAndControllersEndNotes) {
    constexpr std::uint64_t kOff = 4800; // the note-off, 100 ms in at 48 kHz
    const struct Case {
        const char* what;
        std::function<void(PluginHost&)> events;
        std::uint64_t silentFrom; // first frame that must be 0; 0 for "still sounding at the end"
    } cases[] = {
        {"a plain note-off fades in 30 ms", [](PluginHost& h) { h.noteOff(kOff, 48); }, kOff + 1440},
        {"the pedal holds a released key",
         [](PluginHost& h) {
             h.controller(10, 64, 127);
             h.noteOff(kOff, 48);
         },
         0},
        {"lifting the pedal releases it",
         [](PluginHost& h) {
             h.controller(10, 64, 127);
             h.noteOff(kOff, 48);
             h.controller(kOff + 2400, 64, 0);
         },
         kOff + 2400 + 1440},
        {"all notes off (CC 123) releases", [](PluginHost& h) { h.controller(kOff, 123, 0); }, kOff + 1440},
        {"all sound off (CC 120) stops at once", [](PluginHost& h) { h.controller(kOff, 120, 0); }, kOff},
        {"a release of 200 ms",
         [](PluginHost& h) {
             h.setControl("release", 200.0f);
             h.noteOff(kOff, 48);
         },
         kOff + 9600},
    };
    for (const Case& c : cases) {
        PluginHost host(48000);
        host.noteOn(0, 48);
        c.events(host);
        const std::vector<float> out = host.render(kOff + 12000, 256);
        if (c.silentFrom == 0) {
            EXPECT_FALSE(silent(out, out.size() - 480, out.size())) << c.what;
        } else {
            EXPECT_FALSE(silent(out, c.silentFrom - 8, c.silentFrom)) << c.what;
            EXPECT_TRUE(silent(out, c.silentFrom, out.size())) << c.what;
        }
    }
}

// patch:Set loads the bundled struck membrane on the worker; the next note
// plays it, tuned, and patch:Get is answered with its path.
TEST(LiveModelPlugin, TheModelParameterSwitchesToTheMembrane) {
    PluginHost host(48000);
    host.noteOn(0, 48);
    const std::vector<float> string = host.render(24000, 512);
    host.setModel(host.position(), kMembrane);
    host.render(1024, 512); // loaded after the first block, announced in the second
    ASSERT_FALSE(host.announcedModels().empty());
    EXPECT_EQ(host.announcedModels().back(), kMembrane);
    host.getModel(host.position());
    host.render(512, 512);
    EXPECT_EQ(host.announcedModels().size(), 2u);
    EXPECT_EQ(host.announcedModels().back(), kMembrane);

    host.render(4800, 512); // the string's voice fades
    host.noteOn(host.position(), 48);
    const std::vector<float> membrane = host.render(24000, 512);
    EXPECT_NEAR(dominantFrequency(membrane, 48000) / kC3, 1.0, 0.01);
    const std::vector<double> expected = libraryMix(settingsAt(48000), kMembrane, 48, membrane.size());
    for (std::size_t i = 0; i < membrane.size(); ++i)
        ASSERT_EQ(membrane[i], static_cast<float>(expected[i])) << "frame " << i;
    EXPECT_NE(membrane, string);
}

// A file that cannot be played keeps the model in use and says why.
TEST(LiveModelPlugin, AModelThatFailsToLoadKeepsTheOneInUse) {
    const fs::path folder = freshFolder("failing");
    writeText(folder / "broken.json", "{\"kivora_model\": 1, \"elements\": [");
    writeText(folder / "silent.json",
              std::regex_replace(readText(kString), std::regex("\"x0\": [0-9.]+"), "\"x0\": 0.0"));
    const struct {
        fs::path file;
        const char* reason;
    } cases[] = {{folder / "missing.json", "cannot open"},
                 {folder / "broken.json", "line 1"},
                 {folder / "silent.json", "The untuned note was silent"}};
    for (const auto& c : cases) {
        PluginHost host(44100);
        host.setModel(0, kMembrane);
        host.render(64);
        host.setModel(host.position(), c.file.string());
        host.render(64);
        EXPECT_EQ(host.countInLog(c.file.string() + ": "), 1u) << c.file;
        EXPECT_EQ(host.countInLog(c.reason), 1u) << c.file;
        host.noteOn(host.position(), 48);
        const std::vector<float> played = host.render(4410, 441);
        const std::vector<double> membrane = libraryMix(settingsAt(44100), kMembrane, 48, played.size());
        for (std::size_t i = 0; i < played.size(); ++i)
            ASSERT_EQ(played[i], static_cast<float>(membrane[i])) << c.file << " frame " << i;
    }
}

// A song keeps the model's text and the controls: restored into a new
// instance where the file is gone, it renders the same samples.
TEST(LiveModelPlugin, SavedStateRestoresTheSameSamplesWithoutTheFile) {
    const fs::path folder = freshFolder("state");
    const fs::path model = folder / "my-membrane.json";
    fs::copy_file(kMembrane, model);
    auto play = [](PluginHost& host) {
        const std::uint64_t at = host.position();
        host.noteOn(at + 10, 48, 90);
        host.noteOn(at + 3000, 55);
        host.noteOff(at + 9000, 48);
        return host.render(20000, 500);
    };
    std::vector<float> original;
    {
        PluginHost host(48000);
        host.setControl("linear", 3.0f);
        host.setControl("release", 120.0f);
        host.setModel(0, model.string());
        host.render(1024);
        host.saveState((folder / "song").string());
        original = play(host);
    }
    fs::remove(model);
    PluginHost restored(48000);
    restored.restoreState((folder / "song").string());
    EXPECT_FLOAT_EQ(restored.control("linear"), 3.0f);
    EXPECT_FLOAT_EQ(restored.control("release"), 120.0f);
    restored.render(1024);
    EXPECT_EQ(play(restored), original);
    EXPECT_TRUE(restored.log().empty()) << restored.log().front();
}

// Keys past the Runge-Kutta stability limit are silent and named once; a
// model that runs away is muted and reported, never sent to the host.
TEST(LiveModelPlugin, UnplayableKeysAndRunawayModelsStaySilent) {
    const kivora::voices::VoiceModel model(muntero::takeSnapshot(InstrumentKit::defaultModel()),
                                           settingsAt(44100));
    int tooStiff = 127;
    while (tooStiff > 48 && !model.keySounds(tooStiff - 1))
        --tooStiff;
    ASSERT_FALSE(model.keySounds(tooStiff));
    {
        PluginHost host(44100);
        host.noteOn(0, tooStiff);
        host.noteOff(100, tooStiff);
        host.noteOn(200, tooStiff);
        const std::vector<float> out = host.render(4410);
        EXPECT_TRUE(silent(out, 0, out.size()));
        EXPECT_EQ(host.countInLog("key " + std::to_string(tooStiff) + " (" +
                                  kivora::voices::noteNameOfKey(tooStiff) + ") is too stiff"),
                  1u);
    }
    const fs::path folder = freshFolder("runaway");
    writeText(folder / "wild.json",
              std::regex_replace(readText(kString), std::regex("\"x0\": 0.4,"), "\"x0\": 40000.0,"));
    PluginHost host(44100);
    // Undamped by the square term, which would make the model refuse to load
    // (its untuned note diverging) rather than run away while it plays.
    host.setControl("square", 0.0f);
    host.setModel(0, (folder / "wild.json").string());
    host.render(128, 64);
    ASSERT_EQ(host.announcedModels().size(), 1u) << (host.log().empty() ? "" : host.log().back());
    host.noteOn(host.position(), 48);
    const std::vector<float> out = host.render(4410);
    EXPECT_TRUE(silent(out, 0, out.size()));
    EXPECT_EQ(host.countInLog("ran away"), 1u);
}

// The controls: attenuations retune the model off the audio thread, the
// gain scales the mix, the polyphony limits the voices.
TEST(LiveModelPlugin, ControlsActAsTheVoicesSettings) {
    PluginHost host(48000);
    host.setControl("linear", 8.0f);
    host.setControl("square", 0.5f);
    host.render(256);
    host.noteOn(host.position(), 52);
    const std::vector<float> damped = host.render(9600, 480);
    const std::vector<double> expected = libraryMix(settingsAt(48000, 8.0, 0.5), "", 52, damped.size());
    for (std::size_t i = 0; i < damped.size(); ++i)
        ASSERT_EQ(damped[i], static_cast<float>(expected[i])) << "frame " << i;

    PluginHost loud(48000), quiet(48000);
    quiet.setControl("gain", -20.0f);
    for (PluginHost* h : {&loud, &quiet})
        h->noteOn(0, 48);
    const std::vector<float> a = loud.render(2400), b = quiet.render(2400);
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(b[i], a[i] * 0.1f, 1e-6f) << "frame " << i;

    // Helper threads step some voices: the same mix (a bank of their own).
    auto chord = [](int helpers) {
        PluginHost h(48000);
        h.setControl("helpers", static_cast<float>(helpers));
        h.render(256);
        for (const int key : {48, 52, 55, 60})
            h.noteOn(h.position() + static_cast<std::uint64_t>(key), key);
        return h.render(4800);
    };
    EXPECT_EQ(chord(2), chord(0));

    PluginHost single(48000);
    single.setControl("polyphony", 1.0f);
    single.render(256);
    single.noteOn(single.position(), 48);
    single.noteOn(single.position() + 1000, 55); // takes the only voice
    const std::vector<float> stolen = single.render(3400);
    const std::vector<double> alone = libraryMix(settingsAt(48000), "", 55, 2400);
    for (std::size_t i = 0; i < alone.size(); ++i)
        ASSERT_EQ(stolen[1000 + i], static_cast<float>(alone[i])) << "frame " << i;
}
