// The spectral library's WAV reader and the file measurement on arbitrary
// bytes: both must return (a negative result, -1.0 or a frequency) and never
// crash or read outside their buffers. The reader works on a file path, so
// the input goes through an in-memory file.
#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// An anonymous in-memory file, reached by path through /proc.
struct MemoryFile {
    MemoryFile() : descriptor(memfd_create("ostrel-fuzz-input", MFD_CLOEXEC)) {
        if (descriptor < 0) {
            std::abort();
        }
        path = "/proc/self/fd/" + std::to_string(descriptor);
    }
    void replace(const std::uint8_t* data, std::size_t size) const {
        if (ftruncate(descriptor, 0) != 0 ||
            (size > 0 && pwrite(descriptor, data, size, 0) != static_cast<ssize_t>(size))) {
            std::abort();
        }
    }
    int descriptor;
    std::string path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile file;
    file.replace(data, size);
    const char* const path = file.path.c_str();

    ostrel::SoundSynthesisWavReader reader;
    if (reader.openWav(path) == 0) {
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

    const double hz = ostrel::extractFrequency(path);
    if (!(hz == -1.0 || (hz >= 38.0 && hz <= 2000.0))) {
        std::abort();
    }
    return 0;
}
