#include "FrameConversion.h"
#include "Messages.h"
#include "Mixer.h"
#include "ReplacingFile.h"

#include <pellamy/ErrorText.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/MelodyScript.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pellamy {

namespace {

constexpr const char* kNoInstrument = "No instrument to render with";
constexpr const char* kCantCreateOutput = "Can't create output wave file";
constexpr const char* kCantWrite = "Can't write to wav file";
constexpr const char* kCantOpenScript = "Can't open snc file!";
constexpr const char* kTooLong = "the rendering would be longer than the output may hold";

// The failure of the output file, with the reason errno holds (a failing
// call that set none counts as an input/output error).
std::string outputFailure(const char* fixedText, const std::string& outputPath) {
    return fileFailureText(fixedText, outputPath, systemReason(errno != 0 ? errno : EIO));
}

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

// A folder or a device (/dev/zero) is no script: reading it fails or never
// ends. A pipe is read as it comes.
// Why `file` cannot be read as a script, "" when it can.
std::string whyNotText(std::FILE* file) {
    struct stat status {};
    if (::fstat(::fileno(file), &status) != 0)
        return systemReason(errno);
    if (S_ISDIR(status.st_mode))
        return systemReason(EISDIR);
    if (!S_ISREG(status.st_mode) && !S_ISFIFO(status.st_mode))
        return "not a regular file";
    return {};
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
    // An output still open here belongs to a rendering that failed.
    discardOutput();
    tracks_ = {};
    block_ = {};
    scratch_ = {};
    bytes_ = {};
}

void MelodyRenderer::setStopCheck(std::function<bool()> stopRequested) {
    stopRequested_ = std::move(stopRequested);
}

void MelodyRenderer::throwIfStopped() {
    if (!stopRequested_ || !stopRequested_())
        return;
    discardOutput();
    throw std::string(messages::kRenderStopped);
}

// Nothing of a rendering that did not finish is kept: its temporary file is
// removed and the previous output stays as it was.
void MelodyRenderer::discardOutput() {
    output_.reset();
    replacing_.reset();
}

void MelodyRenderer::render(const std::string& scriptPath, const std::string& wavPath) {
    lineNumber_ = 0;
    bytesWritten_ = 0;
    outputPath_ = wavPath;
    script_ = std::fopen(scriptPath.c_str(), "rb");
    if (script_ == nullptr)
        throw fileFailureText(kCantOpenScript, scriptPath, systemReason(errno));
    if (const std::string reason = whyNotText(script_); !reason.empty()) {
        std::fclose(script_);
        script_ = nullptr;
        throw fileFailureText(kCantOpenScript, scriptPath, reason);
    }
    try {
        if (instrument_ != nullptr)
            openOutput(scriptPath);
        renderLines(scriptPath);

        std::fclose(script_);
        script_ = nullptr;
        throwIfStopped();
        if (output_ != nullptr) {
            errno = 0;
            const WavStatus status = output_->close();
            output_.reset();
            if (status != kWavOk)
                throw outputFailure(kCantWrite, outputPath_);
            errno = 0;
            if (!replacing_->commit())
                throw outputFailure(kCantWrite, outputPath_);
            replacing_.reset();
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
    prepareTracks();

    // Writing over the script being read would destroy it.
    if (sameFile(scriptPath, outputPath_))
        throw fileFailureText(kCantCreateOutput, outputPath_, "it is the script being read");
    replacing_ = std::make_unique<detail::ReplacingFile>(outputPath_);
    detail::removeStaleTemporaries(replacing_->targetPath().has_parent_path()
                                       ? replacing_->targetPath().parent_path()
                                       : std::filesystem::path("."));
    errno = 0;
    if (!replacing_->create())
        throw outputFailure(kCantCreateOutput, outputPath_);
    // A rendering refused for its size writes nothing (its temporary file goes
    // with the failure).
    if (scriptWaitBytes(scriptPath) > outputLimitBytes_)
        throw fileFailureText(kCantWrite, outputPath_, kTooLong);
    output_ = std::make_unique<WavFile>();
    errno = 0;
    if (openWavForWrite(replacing_->temporaryPath().string(), *output_, outputFormat_) != kWavOk)
        throw outputFailure(kCantCreateOutput, outputPath_);
}

// Every sound as the output's frames: sounds in the output's rate and channel
// count are read as they are; the others are converted once here, so they keep
// their pitch and length. Each track holds its 16-bit values (gain applied),
// read once instead of at every play and wait.
void MelodyRenderer::prepareTracks() {
    const std::uint32_t rate = outputFormat_.nSamplesPerSec;
    const unsigned channels = outputFormat_.nChannels;
    tracks_.clear();
    tracks_.reserve(instrument_->soundCount());
    for (std::size_t i = 0; i < instrument_->soundCount(); ++i) {
        Track track;
        track.sound = instrument_->soundFor(instrument_->aliasAt(i));
        if (track.sound == nullptr)
            continue;
        const Sound& sound = *track.sound;
        track.values.resize(sound.count());
        track.values.resize(sound.peek(track.values.data(), sound.count(), 0));
        const unsigned soundChannels = std::max<unsigned>(sound.channels(), 1);
        const bool sameFormat = sound.sampleRate() == rate && soundChannels == channels;
        if (!sameFormat && sound.channels() != 0 && canConvertRate(sound.sampleRate(), rate)) {
            try {
                track.values =
                    convertToDevice(track.values, soundChannels, sound.sampleRate(), channels, rate);
            } catch (const std::runtime_error& failure) {
                throw std::string(failure.what());
            }
            track.rate = rate;
            track.channels = channels;
        } else {
            // Sounds that cannot be converted (no rate) play as they are.
            track.rate = sound.sampleRate();
            track.channels = soundChannels;
        }
        tracks_.push_back(std::move(track));
    }
}

MelodyRenderer::Track* MelodyRenderer::trackFor(const Sound* sound) {
    for (Track& track : tracks_)
        if (track.sound == sound)
            return &track;
    return nullptr;
}

// Reads like Sound::readNext, from the track's values at the sound's cursor.
std::uint32_t MelodyRenderer::Track::readNext(const std::int16_t*& values, std::uint32_t n) {
    const auto size = static_cast<std::uint32_t>(this->values.size());
    const std::uint32_t position = sound->position();
    if (position >= size)
        return 0;
    n = std::min(n, size - position);
    values = this->values.data() + position;
    sound->setPosition(position + n);
    if (position + n >= size)
        sound->setPlaying(false);
    return n;
}

// The bytes every wait of the script writes together, read ahead in a pass
// of its own (lines as the rendering reads them; definition blocks skipped).
std::uint64_t MelodyRenderer::scriptWaitBytes(const std::string& scriptPath) const {
    std::FILE* script = std::fopen(scriptPath.c_str(), "rb");
    if (script == nullptr)
        return 0;
    if (!whyNotText(script).empty() || ::lseek(::fileno(script), 0, SEEK_CUR) < 0) {
        std::fclose(script); // a pipe can be read only once
        return 0;
    }
    std::uint64_t total = 0;
    MelodyScriptReader reader(script);
    MelodyScriptLine line;
    while (reader.next(line))
        if (line.kind == MelodyScriptLine::Kind::wait && line.number)
            total = std::min<std::uint64_t>(total + waitBytes(*line.number), UINT64_MAX / 2);
    std::fclose(script);
    return total;
}

std::uint64_t MelodyRenderer::waitBytes(double seconds) const {
    // A wait writes trunc(rate × seconds) frames of every channel.
    const std::uint64_t frameCount = countOf(static_cast<double>(outputFormat_.nSamplesPerSec) * seconds);
    const std::uint64_t channels = std::max<std::uint64_t>(outputFormat_.nChannels, 1);
    return std::min<std::uint64_t>(frameCount, UINT64_MAX / 4 / channels) * channels * 2;
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

namespace {

// Which script and line named the alias, and what the instrument holds
// instead: a script's own definition block is skipped while an instrument is
// loaded, which leaves the script's aliases unknown.
std::string unknownAliasText(const std::string& alias, const std::string& scriptPath,
                             std::uint32_t lineNumber, const InstrumentModel& instrument,
                             bool skippedOwnDefinitions) {
    std::string text = "Sorry, unknown alias " + printableText(alias) + " at line " +
                       std::to_string(lineNumber) + " of " +
                       printableText(scriptPath, std::numeric_limits<std::size_t>::max());
    text += skippedOwnDefinitions
                ? ": the script's own definition block is skipped while an instrument is loaded, "
                  "and the loaded instrument's aliases are "
                : ": the instrument's aliases are ";
    constexpr std::size_t kAliasesShown = 4;
    for (std::size_t i = 0; i < std::min(instrument.soundCount(), kAliasesShown); ++i)
        text += (i == 0 ? "" : ", ") + printableText(instrument.aliasAt(i));
    if (instrument.soundCount() > kAliasesShown)
        text += ", \u2026 (" + std::to_string(instrument.soundCount()) + " sounds)";
    return text;
}

} // namespace

void MelodyRenderer::renderLines(const std::string& scriptPath) {
    bool skippedOwnDefinitions = false;
    MelodyScriptReader reader(script_);
    MelodyScriptLine line;
    while (reader.next(line)) {
        lineNumber_ = reader.lineNumber();
        throwIfStopped();
        switch (line.kind) {
        case MelodyScriptLine::Kind::definitionBlock:
            if (instrument_ == nullptr)
                loadDefinitionBlock(scriptPath);
            else
                skippedOwnDefinitions = skippedOwnDefinitions || borrowed_;
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
            if (instrument_->soundFor(line.alias) == nullptr)
                throw unknownAliasText(line.alias, scriptPath, lineNumber_, *instrument_,
                                       skippedOwnDefinitions);
            play(line.alias, line.flag, *line.number);
            break;
        }
    }
    lineNumber_ = reader.lineNumber();
    if (std::ferror(script_) != 0) // a failing disk
        throw fileFailureText(kCantOpenScript, scriptPath, systemReason(errno != 0 ? errno : EIO));
}

void MelodyRenderer::play(const std::string& alias, std::string_view flag, double duration) {
    Sound* sound = instrument_->soundFor(alias);
    if (sound == nullptr)
        throw "Sorry, unknown alias " + printableText(alias);

    Track* track = trackFor(sound);
    if (track == nullptr)
        throw std::string(kNoInstrument);
    double seconds = 0;
    switch (playLengthOf(flag, duration)) {
    case PlayLength::faulty:
        syntaxError();
    case PlayLength::portionOutOfRange:
        throw std::string(kPortionOutOfRangeText);
    case PlayLength::nothing:
        return;
    case PlayLength::whole:
        sound->setPosition(0);
        sound->setPlaying(true); // streamed by the following waits
        return;
    case PlayLength::seconds:
        sound->setPosition(0);
        sound->setPlaying(false);
        seconds = duration;
        break;
    case PlayLength::portion: {
        // The sound's length in seconds: its whole frames at its own rate.
        const std::uint32_t frames = sound->count() / std::max<std::uint32_t>(sound->channels(), 1);
        const double lengthSeconds =
            sound->sampleRate() == 0 ? 0.0 : static_cast<double>(frames) / sound->sampleRate();
        seconds = duration * lengthSeconds;
        sound->setPosition(0);
        sound->setPlaying(false);
        break;
    }
    }

    // The block holds trunc(rate × seconds) frames; it is filled as readMs of
    // whole milliseconds would fill it, never past its end or the sound's.
    const double rate = track->rate;
    const std::uint64_t blockFrames = countOf(rate * seconds);
    const std::uint64_t msFrames = countOf(rate * std::trunc(seconds * 1000) * 0.001);
    const std::uint64_t values = std::min(blockFrames, msFrames) * std::uint64_t{track->channels};
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(values, track->values.size()));
    try {
        const std::int16_t* block = nullptr;
        const std::uint32_t delivered = track->readNext(block, n);
        mixer_->mix(block, delivered, 1.0f);
    } catch (const std::bad_alloc&) {
        throw std::string("Insufficient memory");
    }
}

// The peak of the whole wait as one block would show it to the normalizing
// mixer, found without moving any sound: blocks of the wait then scale alike.
std::int64_t MelodyRenderer::waitPeak(std::uint64_t valueCount) {
    std::int64_t peak = Mixer::kNormalizePeak;
    const std::span<const std::int32_t> pending = mixer_->values();
    const std::uint32_t blockValues = waitBlockValues();
    for (std::uint64_t offset = 0; offset < valueCount; offset += blockValues) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockValues, valueCount - offset));
        scratch_.assign(n, 0);
        for (std::uint32_t i = 0; i < n && offset + i < pending.size(); ++i)
            scratch_[i] = pending[offset + i];
        for (const Track& track : tracks_) {
            if (!track.sound->isPlaying())
                continue;
            const std::uint64_t index = std::uint64_t{track.sound->position()} + offset;
            if (index >= track.values.size())
                continue;
            const auto delivered =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(n, track.values.size() - index));
            for (std::uint32_t i = 0; i < delivered; ++i)
                scratch_[i] = Mixer::addSaturated(scratch_[i], track.values[index + i]);
        }
        for (std::uint32_t i = 0; i < n; ++i)
            peak = std::max<std::int64_t>(peak, std::llabs(scratch_[i]));
    }
    return peak;
}

void MelodyRenderer::wait(double seconds) {
    // A wait writes whole frames: every channel of trunc(rate × seconds) frames.
    const std::uint64_t frames = countOf(static_cast<double>(outputFormat_.nSamplesPerSec) * seconds);
    const std::uint64_t valueCount =
        frames > UINT64_MAX / outputFormat_.nChannels ? UINT64_MAX : frames * outputFormat_.nChannels;
    if (valueCount > (outputLimitBytes_ - bytesWritten_) / 2)
        throw fileFailureText(kCantWrite, outputPath_, kTooLong);
    try {
        waitInBlocks(valueCount);
    } catch (const std::bad_alloc&) {
        throw std::string("Can't allocate more memory!");
    }
}

// Whole frames of at most kWaitBlockValues values.
std::uint32_t MelodyRenderer::waitBlockValues() const {
    const std::uint32_t channels = std::max<std::uint32_t>(outputFormat_.nChannels, 1);
    return std::max(kWaitBlockValues / channels, 1u) * channels;
}

void MelodyRenderer::waitInBlocks(std::uint64_t valueCount) {
    const std::uint32_t blockValues = waitBlockValues();
    if (block_.size() < blockValues)
        block_.resize(blockValues);
    const std::int64_t peak = mixer_->mode() == MixNormalize ? waitPeak(valueCount) : 0;

    for (std::uint64_t offset = 0; offset < valueCount; offset += blockValues) {
        throwIfStopped();
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockValues, valueCount - offset));
        for (Track& track : tracks_) {
            Sound* sound = track.sound;
            if (!sound->isPlaying())
                continue;
            const std::int16_t* values = nullptr;
            const std::uint32_t delivered = track.readNext(values, n);
            mixer_->mix(values, delivered, 1.0f);
            if (delivered < n || sound->position() >= track.values.size()) {
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
    errno = 0;
    if (output_ == nullptr || output_->write(n * 2, bytes_.data(), &written) != kWavOk || written != n * 2)
        throw outputFailure(kCantWrite, outputPath_);
    bytesWritten_ += std::uint64_t{n} * 2;
}

} // namespace pellamy
