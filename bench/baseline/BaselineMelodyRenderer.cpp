#include "BaselineMelodyRenderer.h"

#include <pellamy/MelodyScript.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <sys/stat.h>

namespace pellamy::baseline {

namespace {

constexpr const char* kNoInstrument = "No instrument to render with";
constexpr const char* kCantCreateOutput = "Can't create output wave file";
constexpr const char* kCantWrite = "Can't write to wav file";

// A WAV file's sizes are 32-bit: the data chunk ends before 4 GiB less the header.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 64;

// trunc(x) as a count of values: 0 for NaN and negatives, saturating above.
std::uint64_t countOf(double x) {
    if (!(x > 0))
        return 0;
    if (x >= 1.8e19)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(x);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

} // namespace

MelodyRenderer::MelodyRenderer(int mixMode)
    : mixer_(std::make_unique<Mixer>(mixMode)), outputLimitBytes_(kMaxDataBytes) {
    reset();
}

MelodyRenderer::~MelodyRenderer() {
    reset();
}

void MelodyRenderer::setInstrument(InstrumentModel* model) {
    if (model == nullptr)
        throw "Parser doesn't need any empty instruments!";
    ownInstrument_.reset();
    instrument_ = model;
    borrowed_ = true;
}

void MelodyRenderer::setOutputLimitBytes(std::uint64_t bytes) {
    outputLimitBytes_ = std::min(bytes, kMaxDataBytes);
}

void MelodyRenderer::reset() {
    mixer_->reset();
    // The renderer's own instrument is rewound too, so a sound still streaming
    // at the end of one rendering does not sound in the next.
    if (instrument_ != nullptr) {
        for (std::size_t i = 0; i < instrument_->soundCount(); ++i) {
            if (Sound* sound = instrument_->soundFor(instrument_->aliasAt(i))) {
                sound->setPosition(0);
                sound->setPlaying(false);
            }
        }
    }
    if (script_ != nullptr) {
        std::fclose(script_);
        script_ = nullptr;
    }
    // An output still open here belongs to a rendering that failed: it is
    // completed with what was written, as a finished one is.
    completeOutput();
    block_ = {};
    scratch_ = {};
    bytes_ = {};
}

void MelodyRenderer::completeOutput() {
    if (output_ != nullptr) {
        output_->close();
        output_.reset();
    }
}

void MelodyRenderer::render(const std::string& scriptPath, const std::string& wavPath) {
    lineNumber_ = 0;
    bytesWritten_ = 0;
    outputPath_ = wavPath;
    script_ = std::fopen(scriptPath.c_str(), "rb");
    if (script_ == nullptr)
        throw std::string("Can't open snc file!");
    try {
        if (instrument_ != nullptr)
            openOutput(scriptPath);
        renderLines(scriptPath);
        if (std::ferror(script_) != 0) // a folder, or a failing disk
            throw std::string("Can't open snc file!");

        std::fclose(script_);
        script_ = nullptr;
        if (output_ != nullptr) {
            const WavStatus status = output_->close();
            output_.reset();
            if (status != kWavOk)
                throw std::string(kCantWrite);
        }
    } catch (const std::bad_alloc&) {
        reset();
        throw std::string("Insufficient memory");
    } catch (...) {
        reset();
        throw;
    }
    reset();
}

void MelodyRenderer::openOutput(const std::string& scriptPath) {
    if (instrument_->soundCount() == 0)
        throw std::string(kNoInstrument);
    const Sound* first = instrument_->soundFor(instrument_->aliasAt(0));
    if (first == nullptr)
        throw std::string(kNoInstrument);
    // The values written are always 16-bit, whatever the first sound's file said.
    outputFormat_ = first->waveFormat();
    outputFormat_.nChannels = std::max<std::uint16_t>(outputFormat_.nChannels, 1);
    outputFormat_.wBitsPerSample = 16;
    outputFormat_.nBlockAlign = static_cast<std::uint16_t>(outputFormat_.nChannels * 2);
    outputFormat_.nAvgBytesPerSec = outputFormat_.nSamplesPerSec * outputFormat_.nBlockAlign;

    // Writing over the script being read would destroy it.
    if (sameFile(scriptPath, outputPath_))
        throw std::string(kCantCreateOutput);
    output_ = std::make_unique<WavFile>();
    if (openWavForWrite(outputPath_, *output_, outputFormat_) != kWavOk)
        throw std::string(kCantCreateOutput);
}

void MelodyRenderer::loadDefinitionBlock(const std::string& scriptPath) {
    auto model = std::make_unique<InstrumentModel>();
    try {
        model->loadFromFile(scriptPath);
    } catch (const char* text) {
        throw std::string(text);
    }
    if (model->soundCount() == 0)
        throw std::string(kNoInstrument);
    ownInstrument_ = std::move(model);
    instrument_ = ownInstrument_.get();
    borrowed_ = false;
    openOutput(scriptPath);
}

void MelodyRenderer::requireInstrument() const {
    if (instrument_ == nullptr)
        throw std::string(kNoInstrument);
}

void MelodyRenderer::syntaxError() const {
    throw scriptSyntaxErrorText(lineNumber_) + "\n";
}

// The scripts are read by the engine's own reader: the baseline differs from
// today's renderer in how it mixes, not in what it reads.
void MelodyRenderer::renderLines(const std::string& scriptPath) {
    MelodyScriptReader reader(script_);
    MelodyScriptLine line;
    while (reader.next(line)) {
        lineNumber_ = reader.lineNumber();
        switch (line.kind) {
        case MelodyScriptLine::Kind::definitionBlock:
            if (instrument_ == nullptr)
                loadDefinitionBlock(scriptPath);
            break;
        case MelodyScriptLine::Kind::clear:
            mixer_->reset();
            break;
        case MelodyScriptLine::Kind::wait:
            requireInstrument();
            if (!line.number)
                syntaxError();
            wait(*line.number);
            break;
        case MelodyScriptLine::Kind::play:
            if (!line.number)
                syntaxError();
            requireInstrument();
            play(line.alias, line.flag, *line.number);
            break;
        }
    }
}

void MelodyRenderer::play(const std::string& alias, std::string_view flag, double duration) {
    Sound* sound = instrument_->soundFor(alias);
    if (sound == nullptr)
        throw "Sorry, unknown alias " + alias;

    double seconds = 0;
    if (flag.front() == 'a') {
        if (!std::isfinite(duration) || (duration < 0 && duration != -1))
            syntaxError();
        sound->setPosition(0);
        if (duration == -1) {
            sound->setPlaying(true); // streamed by the following waits
            return;
        }
        sound->setPlaying(false);
        seconds = duration;
    } else if (flag.front() == 'r') {
        if (!(duration >= 0 && duration <= 1))
            throw std::string("Incorrect portion of file, must be between 0 and 1");
        const double lengthSeconds =
            sound->sampleRate() == 0 ? 0.0 : static_cast<double>(sound->count()) / sound->sampleRate();
        seconds = duration * lengthSeconds;
        sound->setPosition(0);
        sound->setPlaying(false);
    } else {
        return;
    }

    // The block holds trunc(rate × seconds) values; it is filled as readMs of
    // whole milliseconds would fill it, never past its end or the sound's.
    const double rate = sound->sampleRate();
    const std::uint64_t blockValues = countOf(rate * seconds);
    const std::uint64_t msValues = countOf(rate * std::trunc(seconds * 1000) * 0.001);
    const auto n =
        static_cast<std::uint32_t>(std::min({blockValues, msValues, std::uint64_t{sound->count()}}));
    try {
        if (block_.size() < n)
            block_.resize(n);
        const std::uint32_t delivered = sound->readNext(block_.data(), n);
        mixer_->mix(block_.data(), delivered, 1.0f);
    } catch (const std::bad_alloc&) {
        throw std::string("Insufficient memory");
    }
}

// The peak of the whole wait as one block would show it to the normalizing
// mixer, found without moving any sound: blocks of the wait then scale alike.
std::int64_t MelodyRenderer::waitPeak(std::uint64_t valueCount) {
    std::int64_t peak = Mixer::kNormalizePeak;
    const std::span<const std::int32_t> pending = mixer_->values();
    for (std::uint64_t offset = 0; offset < valueCount; offset += kWaitBlockValues) {
        const auto n =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kWaitBlockValues, valueCount - offset));
        scratch_.assign(n, 0);
        for (std::uint32_t i = 0; i < n && offset + i < pending.size(); ++i)
            scratch_[i] = pending[offset + i];
        for (std::size_t s = 0; s < instrument_->soundCount(); ++s) {
            const Sound* sound = instrument_->soundFor(instrument_->aliasAt(s));
            if (sound == nullptr || !sound->isPlaying())
                continue;
            const std::uint64_t index = std::uint64_t{sound->position()} + offset;
            if (index >= sound->count())
                continue;
            const std::uint32_t delivered = sound->peek(block_.data(), n, static_cast<std::uint32_t>(index));
            for (std::uint32_t i = 0; i < delivered; ++i)
                scratch_[i] = Mixer::addSaturated(scratch_[i], block_[i]);
        }
        for (std::uint32_t i = 0; i < n; ++i)
            peak = std::max<std::int64_t>(peak, std::llabs(scratch_[i]));
    }
    return peak;
}

void MelodyRenderer::wait(double seconds) {
    const std::uint64_t valueCount = countOf(static_cast<double>(outputFormat_.nSamplesPerSec) * seconds);
    if (valueCount > (outputLimitBytes_ - bytesWritten_) / 2)
        throw std::string(kCantWrite);
    try {
        waitInBlocks(valueCount);
    } catch (const std::bad_alloc&) {
        throw std::string("Can't allocate more memory!");
    }
}

void MelodyRenderer::waitInBlocks(std::uint64_t valueCount) {
    if (block_.size() < kWaitBlockValues)
        block_.resize(kWaitBlockValues);
    const std::int64_t peak = mixer_->mode() == MixNormalize ? waitPeak(valueCount) : 0;

    for (std::uint64_t offset = 0; offset < valueCount; offset += kWaitBlockValues) {
        const auto n =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kWaitBlockValues, valueCount - offset));
        for (std::size_t s = 0; s < instrument_->soundCount(); ++s) {
            Sound* sound = instrument_->soundFor(instrument_->aliasAt(s));
            if (sound == nullptr || !sound->isPlaying())
                continue;
            const std::uint32_t delivered = sound->readNext(block_.data(), n);
            mixer_->mix(block_.data(), delivered, 1.0f);
            if (delivered < n || sound->position() >= sound->count()) {
                // The sound's data is exhausted: it has ended.
                sound->setPosition(0);
                sound->setPlaying(false);
            }
        }
        std::fill_n(block_.begin(), n, std::int16_t{0});
        if (mixer_->mode() == MixNormalize)
            mixer_->take(block_.data(), n, peak);
        else
            mixer_->take(block_.data(), n);
        writeBlock(block_.data(), n);
        mixer_->consume(n);
    }
}

void MelodyRenderer::writeBlock(const std::int16_t* values, std::uint32_t n) {
    bytes_.resize(std::size_t{n} * 2);
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto value = static_cast<std::uint16_t>(values[i]);
        bytes_[2 * i] = static_cast<std::uint8_t>(value);
        bytes_[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    std::uint32_t written = 0;
    if (output_ == nullptr || output_->write(n * 2, bytes_.data(), &written) != kWavOk || written != n * 2)
        throw std::string(kCantWrite);
    bytesWritten_ += std::uint64_t{n} * 2;
}

} // namespace pellamy::baseline
