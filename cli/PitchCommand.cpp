#include "CommandLine.h"

#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>

#include <cstdio>
#include <vector>

namespace kivora::cli {

namespace {

CommandFailure unusable(const std::string& path) {
    return CommandFailure("cannot measure \"" + path + "\": not a readable 16-bit PCM WAV file");
}

// Reads the whole file into memory and measures it with the buffer variant.
double measureFromBuffer(const std::string& path) {
    ostrel::SoundSynthesisWavReader reader;
    if (reader.openWav(path.c_str()) != 0) {
        throw unusable(path);
    }
    ostrel::WAVEFORMATEX format = reader.getWAVEFORMATEX();
    if (format.wBitsPerSample != 16 || format.nChannels == 0 || format.nBlockAlign != format.nChannels * 2) {
        throw unusable(path);
    }
    std::vector<std::int16_t> samples;
    std::vector<std::int16_t> chunk(std::size_t{4096} * format.nChannels);
    unsigned frames = 0;
    for (int read; (read = reader.readWavBuffer(chunk.data(), 4096)) > 0;) {
        samples.insert(samples.end(), chunk.begin(), chunk.begin() + read * format.nChannels);
        frames += static_cast<unsigned>(read);
    }
    return ostrel::extractFrequency(format, samples.data(), frames);
}

} // namespace

int runPitch(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const bool fromBuffer = line.takeFlag("buffer");
    const std::string path = line.takePositionals(1, 1).front();
    const double hz = fromBuffer ? measureFromBuffer(path) : ostrel::extractFrequency(path.c_str());
    if (hz <= 0) {
        throw unusable(path);
    }
    std::printf("%.2f\n", hz);
    return 0;
}

} // namespace kivora::cli
