#include <kivora/base/ReplacingFile.h>
#include <pellamy/WavFile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pellamy {

namespace {

constexpr std::uint32_t kRiffHeaderBytes = 12; // "RIFF", size, "WAVE"
constexpr std::uint32_t kChunkHeaderBytes = 8;
constexpr std::uint32_t kPcmFormatBytes = 16;
constexpr std::uint32_t kFactPlaceholder = 0xFFFFFFFFu;

std::uint16_t readLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void putLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void putLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}
void putId(std::vector<std::uint8_t>& out, const char* id) {
    out.insert(out.end(), id, id + 4);
}

bool writeLe32At(std::FILE* file, long offset, std::uint32_t value) {
    std::vector<std::uint8_t> bytes;
    putLe32(bytes, value);
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fwrite(bytes.data(), 1, 4, file) == 4;
}

} // namespace

WavFile::WavFile() = default;

WavFile::~WavFile() {
    close();
}

void WavFile::reset() {
    hasFormat_ = false;
    format_ = {};
    formatExtra_.clear();
    memoryImage_.clear();
    memoryImage_.shrink_to_fit();
    fromMemory_ = false;
    sourceSize_ = 0;
    dataOffset_ = 0;
    dataRemaining_ = 0;
    dataSize_ = 0;
    dataWritten_ = 0;
    writeFailed_ = false;
}

bool WavFile::readAt(std::uint64_t offset, void* dst, std::size_t length) {
    if (offset > sourceSize_ || length > sourceSize_ - offset)
        return false;
    if (length == 0)
        return true; // dst may be the empty buffer's null pointer
    if (fromMemory_) {
        std::memcpy(dst, memoryImage_.data() + offset, length);
        return true;
    }
    return fseeko(handle_, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(dst, 1, length, handle_) == length;
}

WavStatus WavFile::open(const std::string& name, const WAVEFORMATEX* format, int mode) {
    close();
    reset();
    if (mode == kWrite) {
        if (format == nullptr)
            return kWavInvalidArgument;
        return openForWrite(name, *format);
    }
    if (mode != kRead)
        return kWavInvalidArgument;
    handle_ = std::fopen(name.c_str(), "rb");
    if (handle_ == nullptr)
        return kWavFail; // no program resources on this platform
    mode_ = kRead;       // from here on close() releases the handle
    const off_t end = fseeko(handle_, 0, SEEK_END) == 0 ? ftello(handle_) : -1;
    if (end < 0) {
        close();
        return kWavFail;
    }
    sourceSize_ = static_cast<std::uint64_t>(end);
    const WavStatus status = openForRead();
    if (status != kWavOk)
        close();
    return status;
}

WavStatus WavFile::openMemory(std::span<const std::uint8_t> bytes) {
    close();
    reset();
    memoryImage_.assign(bytes.begin(), bytes.end());
    fromMemory_ = true;
    sourceSize_ = memoryImage_.size();
    mode_ = kRead;
    const WavStatus status = openForRead();
    if (status != kWavOk)
        close();
    return status;
}

// Walks the RIFF form: "fmt " of at least 16 bytes first, then "data".
// Chunk sizes are never trusted beyond the bytes the source holds.
WavStatus WavFile::openForRead() {
    std::uint8_t header[kRiffHeaderBytes];
    if (!readAt(0, header, sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0)
        return kWavFail;
    const std::uint64_t formEnd =
        std::min<std::uint64_t>(8 + std::uint64_t{readLe32(header + 4)}, sourceSize_);

    // Returns the offset of the contents of the first chunk `id` within the form.
    auto findChunk = [&](const char* id, std::uint32_t& chunkSize) -> std::int64_t {
        std::uint64_t offset = kRiffHeaderBytes;
        while (offset + kChunkHeaderBytes <= formEnd) {
            std::uint8_t chunk[kChunkHeaderBytes];
            if (!readAt(offset, chunk, sizeof chunk))
                return -1;
            chunkSize = readLe32(chunk + 4);
            if (std::memcmp(chunk, id, 4) == 0)
                return static_cast<std::int64_t>(offset + kChunkHeaderBytes);
            // In 64 bits: a size near 4 GiB must not wrap the step to zero.
            offset += std::uint64_t{kChunkHeaderBytes} + chunkSize + (chunkSize & 1u); // padded to even sizes
        }
        return -1;
    };

    std::uint32_t formatSize = 0;
    const std::int64_t formatOffset = findChunk("fmt ", formatSize);
    if (formatOffset < 0 || formatSize < kPcmFormatBytes)
        return kWavFail;
    std::uint8_t record[kPcmFormatBytes];
    if (!readAt(static_cast<std::uint64_t>(formatOffset), record, sizeof record))
        return kWavFail;
    format_.wFormatTag = readLe16(record);
    format_.nChannels = readLe16(record + 2);
    format_.nSamplesPerSec = readLe32(record + 4);
    format_.nAvgBytesPerSec = readLe32(record + 8);
    format_.nBlockAlign = readLe16(record + 12);
    format_.wBitsPerSample = readLe16(record + 14);
    format_.cbSize = 0;
    // The two bytes after the record give the size of what follows it. A
    // 16-byte chunk has no such field (float files written without one): no
    // extra bytes.
    if (format_.wFormatTag != kWaveFormatPcm && formatSize >= kPcmFormatBytes + 2) {
        std::uint8_t extraSize[2];
        if (!readAt(static_cast<std::uint64_t>(formatOffset) + kPcmFormatBytes, extraSize, 2))
            return kWavFail;
        format_.cbSize = readLe16(extraSize);
        if (formatSize < kPcmFormatBytes + 2u + format_.cbSize)
            return kWavFail;
        formatExtra_.resize(format_.cbSize);
        if (!readAt(static_cast<std::uint64_t>(formatOffset) + kPcmFormatBytes + 2, formatExtra_.data(),
                    formatExtra_.size()))
            return kWavFail;
    }
    hasFormat_ = true;

    std::uint32_t declaredDataSize = 0;
    const std::int64_t dataOffset = findChunk("data", declaredDataSize);
    if (dataOffset < 0) {
        hasFormat_ = false;
        return kWavFail;
    }
    dataOffset_ = static_cast<std::uint64_t>(dataOffset);
    const std::uint64_t present = sourceSize_ - std::min(sourceSize_, dataOffset_);
    dataSize_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(declaredDataSize, present));
    dataRemaining_ = dataSize_;
    return kWavOk;
}

WavStatus WavFile::openForWrite(const std::string& name, const WAVEFORMATEX& format) {
    handle_ = std::fopen(name.c_str(), "wb");
    if (handle_ == nullptr)
        return kWavFail;
    format_ = format;
    hasFormat_ = true;
    mode_ = kWrite;

    std::vector<std::uint8_t> header;
    putId(header, "RIFF");
    putLe32(header, 0); // corrected on close
    putId(header, "WAVE");
    putId(header, "fmt ");
    const bool pcm = format.wFormatTag == kWaveFormatPcm;
    putLe32(header, pcm ? kPcmFormatBytes : kPcmFormatBytes + 2u + format.cbSize);
    putLe16(header, format.wFormatTag);
    putLe16(header, format.nChannels);
    putLe32(header, format.nSamplesPerSec);
    putLe32(header, format.nAvgBytesPerSec);
    putLe16(header, format.nBlockAlign);
    putLe16(header, format.wBitsPerSample);
    if (!pcm) {
        // The record carries no bytes beyond cbSize itself; they are written as zeros.
        putLe16(header, format.cbSize);
        header.insert(header.end(), format.cbSize, 0);
        if (header.size() & 1u)
            header.push_back(0);
    }
    putId(header, "fact");
    putLe32(header, 4);
    putLe32(header, kFactPlaceholder);
    putId(header, "data");
    putLe32(header, 0); // corrected on close
    dataOffset_ = header.size();
    if (std::fwrite(header.data(), 1, header.size(), handle_) != header.size()) {
        std::fclose(handle_);
        handle_ = nullptr;
        mode_ = kClosed;
        hasFormat_ = false;
        return kWavFail;
    }
    return kWavOk;
}

WavStatus WavFile::read(std::uint8_t* dst, std::uint32_t length, std::uint32_t* delivered) {
    if (dst == nullptr || delivered == nullptr)
        return kWavInvalidArgument;
    if (mode_ == kClosed)
        return kWavNotOpen;
    if (mode_ != kRead)
        return kWavUnexpected;
    const std::uint32_t n = std::min(length, dataRemaining_);
    const std::uint64_t offset = dataOffset_ + (dataSize_ - dataRemaining_);
    if (n > 0 && !readAt(offset, dst, n))
        return kWavFail;
    dataRemaining_ -= n;
    *delivered = n;
    return kWavOk;
}

WavStatus WavFile::write(std::uint32_t length, const std::uint8_t* src, std::uint32_t* written) {
    if (mode_ == kClosed)
        return kWavNotOpen;
    if (src == nullptr || written == nullptr)
        return kWavInvalidArgument;
    if (mode_ != kWrite)
        return kWavUnexpected;
    const std::size_t copied = std::fwrite(src, 1, length, handle_);
    dataWritten_ += static_cast<std::uint32_t>(copied);
    *written = static_cast<std::uint32_t>(copied);
    if (copied != length) {
        writeFailed_ = true;
        return kWavFail;
    }
    return kWavOk;
}

WavStatus WavFile::close() {
    if (mode_ == kClosed)
        return kWavOk;
    WavStatus status = kWavOk;
    if (mode_ == kWrite && handle_ != nullptr) {
        const std::uint64_t dataEnd = dataOffset_ + dataWritten_;
        bool ok = !writeFailed_;
        if (ok && (dataWritten_ & 1u))
            ok = std::fputc(0, handle_) != EOF; // pad byte, not counted in the chunk size
        ok = ok && writeLe32At(handle_, static_cast<long>(dataOffset_ - 4), dataWritten_);
        ok = ok && writeLe32At(handle_, 4, static_cast<std::uint32_t>(dataEnd + (dataWritten_ & 1u) - 8));
        ok = ok && writeLe32At(handle_, static_cast<long>(dataOffset_ - kChunkHeaderBytes - 4), 0); // fact
        ok = std::fflush(handle_) == 0 && ok;
        ok = std::ferror(handle_) == 0 && ok;
        if (!ok)
            status = kWavFail;
    }
    if (handle_ != nullptr && std::fclose(handle_) != 0 && mode_ == kWrite)
        status = kWavFail;
    handle_ = nullptr;
    mode_ = kClosed;
    memoryImage_.clear();
    return status;
}

WavStatus openWavForRead(const std::string& name, std::unique_ptr<WavFile>& file) {
    file.reset();
    auto opened = std::make_unique<WavFile>();
    const WavStatus status = opened->open(name, nullptr, WavFile::kRead);
    if (status != kWavOk)
        return status;
    if (opened->size() == 0)
        return kWavFail;
    file = std::move(opened);
    return kWavOk;
}

WavStatus openWavForWrite(const std::string& name, WavFile& file, const WAVEFORMATEX& format) {
    const WavStatus status = file.open(name, &format, WavFile::kWrite);
    return status < 0 ? status : kWavOk;
}

int writeWavFile(const std::string& path, const WAVEFORMATEX& format, std::span<const std::uint8_t> data) {
    // The sizes of the RIFF and data chunks are 32-bit.
    if (data.size() > 0xFFFFFFFFull - 64)
        return EFBIG;
    const auto failure = [] { return errno != 0 ? errno : EIO; };
    kivora::base::ReplacingFile file(path);
    kivora::base::removeStaleTemporaries(file.targetPath().has_parent_path() ? file.targetPath().parent_path()
                                                                             : std::filesystem::path("."));
    errno = 0;
    if (!file.create())
        return failure();
    WavFile wav;
    errno = 0;
    bool ok = wav.open(file.temporaryPath().string(), &format, WavFile::kWrite) == kWavOk;
    const auto length = static_cast<std::uint32_t>(data.size());
    std::uint32_t written = 0;
    // An empty rendering is a valid file with an empty data chunk (and no buffer to pass).
    ok = ok && (length == 0 || (wav.write(length, data.data(), &written) == kWavOk && written == length));
    ok = wav.close() == kWavOk && ok;
    if (!ok)
        return failure();
    errno = 0;
    return file.commit() ? 0 : failure();
}

} // namespace pellamy
