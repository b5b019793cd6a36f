// WAV files as sox and Python's wave module write them, made at run time:
// each is listed by info, resaved, rendered and played through SDL's disk
// driver, and every result is measured by Python against the tone it holds.
#include "CliTestSupport.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

using namespace kivora::cli::testing;

namespace {

// Writes one of the files sox cannot: chunk layouts of other programs, or a
// plain file of Python's wave module. Tones: 441 Hz, and 661.5 Hz in a second channel.
constexpr const char* kMakeFiles = R"(
import math, struct, sys, wave
folder = sys.argv[1]

def tone(rate, channels, seconds=0.5):
    hz = [441.0, 661.5]
    frames = []
    for k in range(int(rate * seconds)):
        frames.append([int(round(12000 * math.sin(2 * math.pi * hz[c] * k / rate))) for c in range(channels)])
    return frames

def pcm16(frames):
    return b''.join(struct.pack('<%dh' % len(f), *f) for f in frames)

def chunk(cid, body):
    return cid + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')

def riff(chunks):
    body = b'WAVE' + b''.join(chunks)
    return b'RIFF' + struct.pack('<I', len(body)) + body

def fmt16(rate, channels):
    return chunk(b'fmt ', struct.pack('<HHIIHH', 1, channels, rate, rate * 2 * channels, 2 * channels, 16))

# A LIST chunk whose comment holds the word "data".
listing = chunk(b'LIST', b'INFO' + chunk(b'ICMT', b'data recorded by a test\0'))

def write(name, data):
    with open(folder + '/' + name, 'wb') as out:
        out.write(data)

guid = struct.pack('<H', 1) + bytes([0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71])
extensible = struct.pack('<HHIIHHHHI', 0xFFFE, 2, 44100, 44100 * 4, 4, 16, 22, 16, 3) + guid
name = sys.argv[2]
if name == 'list-before-fmt.wav':
    write(name, riff([listing, fmt16(44100, 1), chunk(b'data', pcm16(tone(44100, 1)))]))
elif name == 'list-after-fmt.wav':
    write(name, riff([fmt16(44100, 1), listing, chunk(b'data', pcm16(tone(44100, 1)))]))
elif name == 'extensible-16-stereo.wav':
    write(name, riff([chunk(b'fmt ', extensible), chunk(b'data', pcm16(tone(44100, 2)))]))
elif name == 'python-wave-22050.wav':
    with wave.open(folder + '/' + name, 'wb') as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(22050)
        out.writeframes(pcm16(tone(22050, 1)))
else:
    sys.exit('unknown file ' + name)
)";

// Prints "rate channels frames" and the frequency of every channel, from a
// WAV file (through wave) or from raw 16-bit frames; the frequency comes from
// the rising zero crossings of the middle, where the sound is steady.
constexpr const char* kMeasure = R"(
import struct, sys, wave
path, kind = sys.argv[1], sys.argv[2]
if kind == 'wav':
    with wave.open(path, 'rb') as f:
        assert f.getsampwidth() == 2
        rate, channels, data = f.getframerate(), f.getnchannels(), f.readframes(f.getnframes())
else:
    rate, channels = int(sys.argv[3]), int(sys.argv[4])
    data = open(path, 'rb').read()
values = struct.unpack('<%dh' % (len(data) // 2), data[:len(data) // 2 * 2])
frames = len(values) // channels
out = ['%d %d %d' % (rate, channels, frames)]
for c in range(channels):
    x = values[c::channels]
    sounding = [i for i, v in enumerate(x) if abs(v) > 1000]
    if not sounding:
        out.append('silent')
        continue
    start, end = sounding[0] + rate // 20, sounding[-1] - rate // 20
    crossings = [i + x[i] / float(x[i] - x[i + 1]) for i in range(start, end) if x[i] < 0 <= x[i + 1]]
    if len(crossings) < 2:
        out.append('silent')
        continue
    out.append('%.1f' % ((len(crossings) - 1) * rate / (crossings[-1] - crossings[0])))
print(' '.join(out))
)";

struct RealWav {
    std::string name;       // file name in the scratch folder
    std::string soxCommand; // sox arguments after "-n", or empty for the Python-made files
    std::uint32_t rate;
    unsigned channels;
};

const std::vector<RealWav> kRealWavs = {
    {"sox-8-bit.wav", "-r 44100 -c 1 -b 8 -e unsigned-integer", 44100, 1},
    {"sox-16-bit.wav", "-r 44100 -c 1 -b 16 -e signed-integer", 44100, 1},
    {"sox-24-bit.wav", "-r 44100 -c 1 -b 24 -e signed-integer", 44100, 1},
    {"sox-32-bit.wav", "-r 44100 -c 1 -b 32 -e signed-integer", 44100, 1},
    {"sox-float.wav", "-r 44100 -c 1 -b 32 -e floating-point", 44100, 1},
    {"sox-96k.wav", "-r 96000 -c 1 -b 16 -e signed-integer", 96000, 1},
    {"sox-stereo.wav", "-r 48000 -c 2 -b 16 -e signed-integer", 48000, 2},
    {"sox-stereo-24-bit.wav", "-r 44100 -c 2 -b 24 -e signed-integer", 44100, 2},
    {"list-before-fmt.wav", "", 44100, 1},
    {"list-after-fmt.wav", "", 44100, 1},
    {"extensible-16-stereo.wav", "", 44100, 2},
    {"python-wave-22050.wav", "", 22050, 1},
};

std::string shellOutput(const std::string& command, int* status) {
    std::string output;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    *status = ::pclose(pipe);
    return output;
}

class RealWavFiles : public CliFixture, public ::testing::WithParamInterface<RealWav> {
protected:
    void SetUp() override {
        CliFixture::SetUp();
        if (std::system("sox --version >/dev/null 2>&1") != 0 ||
            std::system("python3 -V >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "sox and python3 are needed";
        write("make.py", kMakeFiles);
        write("measure.py", kMeasure);
        const RealWav& file = GetParam();
        if (file.soxCommand.empty()) {
            int status = 0;
            shellOutput("python3 '" + (scratch_ / "make.py").string() + "' '" + scratch_.string() + "' " +
                            file.name,
                        &status);
            ASSERT_EQ(status, 0);
        } else {
            // The same tones as the Python-made files, undithered.
            const std::string command = "sox -D -n " + file.soxCommand + " '" +
                                        (scratch_ / file.name).string() + "' synth 0.5 sine 441" +
                                        (file.channels == 2 ? " sine 661.5" : "") + " vol 0.366";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
    }

    // "rate channels frames hz..." of a WAV file or of raw device frames.
    std::string measure(const fs::path& path, const std::string& raw = {}) const {
        int status = 0;
        const std::string output =
            shellOutput("python3 '" + (scratch_ / "measure.py").string() + "' '" + path.string() + "' " +
                            (raw.empty() ? "wav" : "raw " + raw),
                        &status);
        EXPECT_EQ(status, 0) << path;
        return output.empty() ? output : output.substr(0, output.size() - 1);
    }

    // What measure() says of the tones: 441 Hz, and 661.5 Hz in a second channel.
    static std::string tones(unsigned channels) { return channels == 1 ? "441.0" : "441.0 661.5"; }
};

// The measured frequencies, each written as the tone it lies within 0.5 % of.
std::string roughly(const std::string& measured) {
    std::istringstream in(measured);
    std::string rate, channels, frames, word, result;
    in >> rate >> channels >> frames;
    while (in >> word) {
        std::string rounded = word;
        for (const double hz : {441.0, 661.5})
            if (word != "silent" && std::abs(std::stod(word) - hz) <= hz * 0.005)
                rounded = hz == 441.0 ? "441.0" : "661.5";
        result += (result.empty() ? "" : " ") + rounded;
    }
    return result;
}

} // namespace

TEST_P(RealWavFiles, AreListedResavedRenderedAndPlayedWithTheirTones) {
    const RealWav& file = GetParam();
    const fs::path wav = scratch_ / file.name;
    const std::string alias = fs::path(file.name).stem().string();
    const std::string ins = write(alias + ".ins", alias + " 0 " + file.name + "\n");

    // info: the file's rate and channels, half a second.
    CliRun run = this->run("info '" + ins + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string listed =
        " " + std::to_string(file.rate) + " " + std::to_string(file.channels) + " 0.500\n";
    EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), listed.size())), listed) << run.out;

    // resave: a 16-bit file of the same rate, channels and tones (in a folder
    // of its own: a save never replaces the sounds it read).
    fs::create_directories(scratch_ / "copies");
    const fs::path copy = scratch_ / "copies" / ("copy-" + alias + ".ins");
    run = this->run("resave --flat '" + ins + "' '" + copy.string() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string saved = measure(scratch_ / "copies" / (alias + ".wav"));
    EXPECT_EQ(saved.substr(0, saved.find(' ', saved.find(' ') + 1)),
              std::to_string(file.rate) + " " + std::to_string(file.channels));
    EXPECT_EQ(roughly(saved), tones(file.channels)) << saved;

    // render: the output in the sound's format, 0.6 s long.
    const std::string script = write(alias + ".snc", alias + " a -1\n!wait 0.6\n");
    const fs::path rendered = scratch_ / ("rendered-" + alias + ".wav");
    run = this->run("render '" + script + "' -i '" + ins + "' -o '" + rendered.string() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string output = measure(rendered);
    EXPECT_EQ(output.substr(0, output.find(' ', output.find(' ', output.find(' ') + 1) + 1)),
              std::to_string(file.rate) + " " + std::to_string(file.channels) + " " +
                  std::to_string(file.rate * 6 / 10));
    EXPECT_EQ(roughly(output), tones(file.channels)) << output;

    // play: 48 kHz stereo device frames; a mono tone sounds in both channels.
    const fs::path capture = scratch_ / ("played-" + alias + ".raw");
    run =
        this->run("play '" + wav.string() + "'",
                  "SDL_AUDIODRIVER=disk SDL_DISKAUDIODELAY=0 SDL_DISKAUDIOFILE='" + capture.string() + "' ");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(roughly(measure(capture, "48000 2")), file.channels == 1 ? "441.0 441.0" : "441.0 661.5");
}

INSTANTIATE_TEST_SUITE_P(SoxAndPython, RealWavFiles, ::testing::ValuesIn(kRealWavs), [](const auto& info) {
    std::string name = fs::path(info.param.name).stem().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
});
