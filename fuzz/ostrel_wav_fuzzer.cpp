// The spectral library's WAV reader and the file measurement on arbitrary
// bytes: both must return (a negative result, -1.0 or a frequency) and never
// crash or read outside their buffers. The input goes through a temporary
// file because the reader works on a file descriptor.
#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const std::string& scratchPath() {
    static const std::string path = [] {
        char pattern[] = "/tmp/ostrel-fuzz-XXXXXX";
        const int descriptor = mkstemp(pattern);
        if (descriptor < 0) {
            std::abort();
        }
        close(descriptor);
        std::atexit([] { unlink(scratchPath().c_str()); });
        return std::string(pattern);
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = scratchPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::abort();
    }
    std::fclose(file);

    ostrel::SoundSynthesisWavReader reader;
    if (reader.openWav(path.c_str()) == 0) {
        unsigned char buffer[5120];
        const ostrel::WAVEFORMATEX format = reader.getWAVEFORMATEX();
        const int frames = static_cast<int>(sizeof buffer / format.nBlockAlign);
        for (int pass = 0; pass < 2; ++pass) {
            while (reader.readWavBuffer(buffer, frames) > 0) {
            }
            reader.resetPos();
        }
    }
    reader.closeWav();

    const double hz = ostrel::extractFrequency(path.c_str());
    if (!(hz == -1.0 || (hz >= 38.0 && hz <= 2000.0))) {
        std::abort();
    }
    return 0;
}
