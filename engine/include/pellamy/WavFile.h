// RIFF WAVE files for the engine: reading a sound's data chunk, writing the
// engine's own files. Files written hold exactly the chunks RIFF/WAVE,
// "fmt " (16 bytes for PCM), "fact" (0) and "data".
#pragma once

#include <pellamy/Export.h>
#include <pellamy/WaveFormat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pellamy {

// Status codes: 0 for success, otherwise the negative result codes the
// engine's callers have always tested for.
using WavStatus = std::int32_t;
inline constexpr WavStatus kWavOk = 0;
inline constexpr WavStatus kWavFail = static_cast<WavStatus>(0x80004005u);            // E_FAIL
inline constexpr WavStatus kWavInvalidArgument = static_cast<WavStatus>(0x80070057u); // E_INVALIDARG
inline constexpr WavStatus kWavNotOpen = static_cast<WavStatus>(0x800401F0u);         // CO_E_NOTINITIALIZED
inline constexpr WavStatus kWavUnexpected = static_cast<WavStatus>(0x8000FFFFu);      // E_UNEXPECTED
inline constexpr WavStatus kWavOutOfMemory = static_cast<WavStatus>(0x8007000Eu);     // E_OUTOFMEMORY

// Thread: any single thread; one object is never shared.
class PELLAMY_API WavFile {
public:
    enum Mode : int { kClosed = 0, kRead = 1, kWrite = 2 };

    WavFile();
    ~WavFile();
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    // kRead opens `name` (format ignored); kWrite creates or truncates `name`
    // and writes the header for `format`.
    WavStatus open(const std::string& name, const WAVEFORMATEX* format, int mode);
    // Reads a WAV image held in memory (the bytes are copied).
    WavStatus openMemory(std::span<const std::uint8_t> bytes);

    // Delivers up to `length` bytes of the data chunk from the current point;
    // fewer at its end, with success.
    WavStatus read(std::uint8_t* dst, std::uint32_t length, std::uint32_t* delivered);
    // Appends `length` bytes to the data chunk.
    WavStatus write(std::uint32_t length, const std::uint8_t* src, std::uint32_t* written);
    // Finishes a written file (chunk sizes, the fact value) and closes it.
    // Reports a failed flush, so a full disk is noticed.
    WavStatus close();

    // Bytes in the data chunk found on opening for reading. A size declared
    // beyond the end of the file is cut to the bytes actually present.
    std::uint32_t size() const { return dataSize_; }
    // The format record; nullptr when nothing is open.
    const WAVEFORMATEX* format() const { return hasFormat_ ? &format_ : nullptr; }
    // The cbSize bytes that follow the record for a non-PCM format tag.
    std::span<const std::uint8_t> formatExtra() const { return formatExtra_; }
    int mode() const { return mode_; }

private:
    WavStatus openForRead();
    WavStatus openForWrite(const std::string& name, const WAVEFORMATEX& format);
    bool readAt(std::uint64_t offset, void* dst, std::size_t length);
    void reset();

    WAVEFORMATEX format_;
    bool hasFormat_ = false;
    std::vector<std::uint8_t> formatExtra_;
    std::FILE* handle_ = nullptr;
    std::vector<std::uint8_t> memoryImage_; // reading from memory
    bool fromMemory_ = false;
    std::uint64_t sourceSize_ = 0;
    std::uint64_t dataOffset_ = 0;    // first byte of the data chunk's contents
    std::uint32_t dataRemaining_ = 0; // data bytes not yet delivered
    std::uint32_t dataSize_ = 0;
    std::uint32_t dataWritten_ = 0;
    bool writeFailed_ = false;
    int mode_ = kClosed;
};

// Creates a WavFile and opens `name` for reading. A file with an empty data
// chunk counts as a failure (kWavFail). On failure `file` is left empty.
PELLAMY_API WavStatus openWavForRead(const std::string& name, std::unique_ptr<WavFile>& file);
// Opens an existing, closed WavFile for writing in `format`.
PELLAMY_API WavStatus openWavForWrite(const std::string& name, WavFile& file, const WAVEFORMATEX& format);

// Writes the whole WAV file `path` in `format` with `data` as its data chunk,
// all or nothing: under a temporary name in its folder, renamed over a
// previous file only once every byte is on the disk, so a failure leaves
// that file as it was (see kivora/base/ReplacingFile.h). Temporaries of ended
// processes in the folder are removed first. Returns 0, or the errno value of
// the step that failed (EIO where the system named none; EFBIG for data a
// WAV file cannot hold). Any thread.
PELLAMY_API int writeWavFile(const std::string& path, const WAVEFORMATEX& format,
                             std::span<const std::uint8_t> data);

} // namespace pellamy
