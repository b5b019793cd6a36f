#include <ostrel/SoundSynthesisWavReader.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel {

namespace {

constexpr char kNotOpened[] = "File not opened yet\n";
constexpr std::uint64_t kFormatBodyByte = 20; // after "RIFF", size, "WAVE", "fmt ", size
constexpr std::uint32_t kPcmFormatBytes = 16;
constexpr std::uint64_t kChunkHeaderBytes = 8; // id and size

// Reads up to `size` bytes at `offset`; the count read, or -1 on an error.
ssize_t readUpTo(int descriptor, void* buffer, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(descriptor, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
bool readExactly(int descriptor, void* buffer, std::size_t size, std::uint64_t offset) {
    return readUpTo(descriptor, buffer, size, offset) == static_cast<ssize_t>(size);
}

std::uint16_t littleEndian16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

SoundSynthesisWavReader::~SoundSynthesisWavReader() {
    closeWav();
}

int SoundSynthesisWavReader::openWav(const char* path) {
    closeWav();
    fileDescriptor_ = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fileDescriptor_ < 0) {
        return fileDescriptor_;
    }
    struct stat status {};
    if (::fstat(fileDescriptor_, &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    const auto fileBytes = static_cast<std::uint64_t>(status.st_size);

    unsigned char header[12];
    if (!readExactly(fileDescriptor_, header, 8, 0) || std::memcmp(header, "RIFF", 4) != 0) {
        return -1;
    }
    // Nothing may follow the RIFF chunk, and it may not be cut short.
    if (fileBytes != std::uint64_t{littleEndian32(header + 4)} + 8) {
        return -1;
    }
    // The format chunk must come first, right after the form type.
    if (!readExactly(fileDescriptor_, header, 12, 8) || std::memcmp(header, "WAVEfmt ", 8) != 0) {
        return -1;
    }
    const std::uint32_t formatBytes = littleEndian32(header + 8);
    unsigned char body[kPcmFormatBytes];
    if (formatBytes < kPcmFormatBytes || !readExactly(fileDescriptor_, body, sizeof body, kFormatBodyByte)) {
        return -1;
    }
    WAVEFORMATEX format;
    format.wFormatTag = littleEndian16(body);
    format.nChannels = littleEndian16(body + 2);
    format.nSamplesPerSec = littleEndian32(body + 4);
    format.nAvgBytesPerSec = littleEndian32(body + 8);
    format.nBlockAlign = littleEndian16(body + 12);
    format.wBitsPerSample = littleEndian16(body + 14);
    format.cbSize = 18;
    // Frames are counted in block aligns; 0 would divide by zero.
    if (format.wFormatTag != kWaveFormatPcm || format.nBlockAlign == 0) {
        return -1;
    }

    // The chunks after "fmt " are walked to the "data" chunk: the word "data"
    // may also stand inside another chunk (a LIST chunk's text). Chunks of an
    // odd size are followed by a pad byte.
    std::uint64_t chunkByte = kFormatBodyByte + formatBytes + (formatBytes & 1u);
    std::uint32_t declaredBytes = 0;
    for (;;) {
        unsigned char chunkHeader[kChunkHeaderBytes] = {};
        const ssize_t got = readUpTo(fileDescriptor_, chunkHeader, sizeof chunkHeader, chunkByte);
        if (got < 4) {
            return -1;
        }
        // A size field cut off by the end of the file counts as 0.
        const std::uint32_t chunkBytes = got == 8 ? littleEndian32(chunkHeader + 4) : 0;
        if (std::memcmp(chunkHeader, "data", 4) == 0) {
            declaredBytes = chunkBytes;
            break;
        }
        chunkByte += kChunkHeaderBytes + chunkBytes + (chunkBytes & 1u);
    }
    // A declared size beyond the end of the file is cut to what is there.
    dataStartByte_ = chunkByte + kChunkHeaderBytes;
    dataEndByte_ =
        std::max(dataStartByte_, std::min<std::uint64_t>(dataStartByte_ + declaredBytes, fileBytes));
    positionByte_ = dataStartByte_;
    format_ = format;
    opened_ = true;
    return 0;
}

int SoundSynthesisWavReader::readWavBuffer(void* buffer, int frames) {
    if (!opened_) {
        throw std::runtime_error(kNotOpened);
    }
    if (frames <= 0) {
        return 0;
    }
    const std::uint64_t wanted = static_cast<std::uint64_t>(frames) * format_.nBlockAlign;
    const std::uint64_t available = dataEndByte_ - positionByte_;
    const auto size = static_cast<std::size_t>(std::min(wanted, available));
    const ssize_t got = readUpTo(fileDescriptor_, buffer, size, positionByte_);
    if (got < 0) {
        return -1;
    }
    // A trailing partial frame is consumed but not counted.
    positionByte_ += static_cast<std::uint64_t>(got);
    return static_cast<int>(static_cast<std::uint64_t>(got) / format_.nBlockAlign);
}

void SoundSynthesisWavReader::resetPos() {
    if (!opened_) {
        throw std::runtime_error(kNotOpened);
    }
    positionByte_ = dataStartByte_;
}

void SoundSynthesisWavReader::closeWav() {
    if (fileDescriptor_ >= 0) {
        ::close(fileDescriptor_);
    }
    fileDescriptor_ = -1;
    opened_ = false;
}

} // namespace ostrel
