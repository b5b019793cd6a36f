// The spectral library's reader of 16-bit PCM WAV files: checks the RIFF
// header, takes the format from the "fmt " chunk (which must come first),
// walks the chunks after it to the "data" chunk and hands out whole frames of
// it in caller-sized portions, with a way back to the first sample for a
// second pass.
#pragma once

#include <ostrel/Export.h>
#include <ostrel/WaveFormat.h>

#include <cstdint>

namespace ostrel {

// Thread: one thread at a time per reader; readers share nothing. No member
// allocates: frames are read straight into the caller's buffer.
class OSTREL_API SoundSynthesisWavReader {
public:
    SoundSynthesisWavReader() = default;
    ~SoundSynthesisWavReader();
    // A reader owns its descriptor; copying would close it twice.
    SoundSynthesisWavReader(const SoundSynthesisWavReader&) = delete;
    SoundSynthesisWavReader& operator=(const SoundSynthesisWavReader&) = delete;

    // 0 when `path` is a usable PCM WAV file, positioned at its first sample;
    // a negative value otherwise. Never throws.
    int openWav(const char* path);
    // Reads up to `frames` whole frames of the "data" chunk into `buffer` and
    // returns how many were read (0 at the end of the data). Throws
    // std::runtime_error("File not opened yet\n") before a successful open.
    int readWavBuffer(void* buffer, int frames);
    // Returns to the first sample found by openWav. Throws like readWavBuffer.
    void resetPos();
    WAVEFORMATEX getWAVEFORMATEX() const { return format_; }
    void closeWav();

private:
    int fileDescriptor_ = -1;
    WAVEFORMATEX format_;
    bool opened_ = false;
    std::uint64_t dataStartByte_ = 0;
    std::uint64_t dataEndByte_ = 0;
    std::uint64_t positionByte_ = 0;
};

} // namespace ostrel
