// Renders of instruments whose sounds share one mono format are pinned by the
// hash of the whole output file, as the mixer of the first release wrote them:
// a faster mixer or frame-aware timing must not change one byte of them.
#include "MelodyTestSupport.h"
#include "Mixer.h"

#include <pellamy/MelodyRenderer.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

using namespace pellamy;
using namespace melodytest;

namespace {

std::uint64_t fnv1a(const std::vector<char>& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char byte : bytes) {
        hash ^= static_cast<std::uint8_t>(byte);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// Decaying tones a fifth apart, loud enough that chords clip; the third sound
// has a gain that is not 1 (whose products are truncated).
InstrumentModel& goldenInstrument(InstrumentModel& model, std::uint32_t rate) {
    std::vector<ToneSpec> tones;
    for (int j = 0; j < 3; ++j) {
        const double hz = 220.0 * std::pow(1.5, j);
        std::vector<std::int16_t> samples(rate * (j + 1) / 2);
        for (std::size_t k = 0; k < samples.size(); ++k)
            samples[k] = static_cast<std::int16_t>(
                std::lround((20000.0 - 3000.0 * j) * std::sin(2 * M_PI * hz * static_cast<double>(k) / rate) *
                            (1.0 - static_cast<double>(k) / static_cast<double>(samples.size()))));
        tones.push_back({"n" + std::to_string(j), samples});
    }
    buildInstrument(model, tones, rate);
    std::vector<std::int16_t> quiet(rate / 3);
    for (std::size_t k = 0; k < quiet.size(); ++k)
        quiet[k] = static_cast<std::int16_t>(static_cast<int>(k * 37 % 2001) - 1000);
    model.addSound("g", Sound::make(quiet, rate, 1, 16, 0.7f));
    return model;
}

constexpr const char* kScript = R"(-- every kind of line
!wait 0.0103
n0 a -1
!wait 0.25
n1 a 0.3337
n2 r 0.5
g a -1
!wait 0.1
n1 a -1
n2 a -1
!wait 0.7771
!clear
g a 0.2
n0 r 1
!wait 0.0005
!wait 1.9
n0 a -1
n1 a -1
n2 a -1
!wait 0.05
!wait 0.05
!wait 3.2
)";

std::uint64_t renderedHash(std::uint32_t rate, int mode) {
    InstrumentModel model;
    ScratchFolder folder;
    MelodyRenderer renderer(mode);
    renderer.setInstrument(&goldenInstrument(model, rate));
    renderer.render(folder.write("golden.snc", kScript), folder.file("golden.wav"));
    std::ifstream file(folder.file("golden.wav"), std::ios::binary);
    return fnv1a(std::vector<char>(std::istreambuf_iterator<char>(file), {}));
}

} // namespace

TEST(MelodyGolden, MonoRendersOfOneFormatKeepEveryByte) {
    struct Case {
        std::uint32_t rate;
        int mode;
        std::uint64_t hash;
    };
    const Case cases[] = {
        {44100, MixClip, 13746911663180595098ull},     {44100, MixNormalize, 9760927690071669337ull},
        {44100, MixNone, 4690161233924103297ull},      {22050, MixClip, 11028154759701100051ull},
        {8000, MixNormalize, 11611486674318889428ull}, {48000, MixClip, 3646808048234846921ull},
    };
    for (const Case& c : cases)
        EXPECT_EQ(renderedHash(c.rate, c.mode), c.hash) << c.rate << " Hz, mode " << c.mode;
}
