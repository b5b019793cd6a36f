// Renders fuzzed melody scripts. The first byte chooses the mixer mode and
// whether an instrument is handed in; without one, a definition block in the
// script may build it from the small WAV files beside the script.
#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/SoundStreamDescription.h>
#include <pellamy/WavFile.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A low rate keeps long waits cheap: 400 values per second.
constexpr std::uint32_t kRate = 400;

struct Setup {
    std::string folder;
    pellamy::InstrumentModel instrument;

    Setup() {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/kivora-melody-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        folder = pattern;

        std::vector<std::vector<std::int16_t>> samples;
        const char* names[] = {"low", "high", "drum", "1C", "1C#"};
        for (int i = 0; i < 5; ++i) {
            std::vector<std::int16_t> values(static_cast<std::size_t>(50 * (i + 1)));
            for (std::size_t k = 0; k < values.size(); ++k)
                values[k] = static_cast<std::int16_t>(
                    (k * 977 + static_cast<std::size_t>(i) * 12345) % 65536 - 32768);
            samples.push_back(values);
            writeWav(folder + "/" + names[i] + ".wav", values);
        }
        std::vector<pellamy::SoundStreamDescription> records(5);
        for (int i = 0; i < 5; ++i) {
            // One stereo sound and one of another rate: converted when a rendering starts.
            const std::uint16_t channels = i == 3 ? 2 : 1;
            const std::uint32_t rate = i == 4 ? 2 * kRate : kRate;
            records[i].name = names[i];
            records[i].format = {
                1, channels, rate, rate * 2u * channels, static_cast<std::uint16_t>(2 * channels), 16, 0};
            records[i].dataBytes = static_cast<std::uint32_t>(samples[i].size() * 2);
            records[i].data = samples[i].data();
        }
        instrument.loadFromDescriptions(5, records.data());
    }

    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    static void writeWav(const std::string& path, const std::vector<std::int16_t>& values) {
        pellamy::WavFile file;
        const pellamy::WAVEFORMATEX format{1, 1, kRate, kRate * 2, 2, 16, 0};
        std::uint32_t written = 0;
        if (file.open(path, &format, pellamy::WavFile::kWrite) != pellamy::kWavOk ||
            file.write(static_cast<std::uint32_t>(values.size() * 2),
                       reinterpret_cast<const std::uint8_t*>(values.data()), &written) != pellamy::kWavOk ||
            file.close() != pellamy::kWavOk)
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size == 0)
        return 0;
    const std::uint8_t control = data[0];
    const std::string script = setup.folder + "/tune.snc";
    const std::string output = setup.folder + "/tune.wav";
    std::FILE* file = std::fopen(script.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);

    pellamy::MelodyRenderer renderer(control % 3);
    renderer.setOutputLimitBytes(1 << 16);
    if ((control & 0x80) == 0)
        renderer.setInstrument(&setup.instrument);
    try {
        renderer.render(script, output);
    } catch (const std::string&) {
    } catch (const char*) {
    }
    return 0;
}
