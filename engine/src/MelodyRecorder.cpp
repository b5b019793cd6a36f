#include <pellamy/ErrorText.h>
#include <pellamy/MelodyRecorder.h>

#include <cerrno>
#include <charconv>
#include <chrono>

namespace pellamy {

namespace {

constexpr const char* kClosingLines = "\n--Finishing wait\n!wait 2";
// Events closer than this to the last batch of sounds join it.
constexpr std::int64_t kJoinWindowMs = 25;

// "%.4f" with a '.' whatever the locale.
std::string fixed4(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 4);
    return std::string(text, result.ptr);
}

} // namespace

std::int64_t MelodyRecorder::steadyClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

MelodyRecorder::MelodyRecorder(const InstrumentModel& instrument, Clock clock) : clock_(std::move(clock)) {
    for (std::size_t i = 0; i < instrument.soundCount(); ++i)
        aliases_.push_back(instrument.aliasAt(i));
    sounding_ = [&instrument, this](std::size_t index) {
        const Sound* sound = instrument.soundFor(aliases_[index]);
        return sound != nullptr && sound->isPlaying();
    };
    seen_.assign(aliases_.size(), false);
}

MelodyRecorder::MelodyRecorder(std::vector<std::string> aliases, SoundingCheck sounding, Clock clock)
    : sounding_(std::move(sounding)), clock_(std::move(clock)), aliases_(std::move(aliases)) {
    seen_.assign(aliases_.size(), false);
}

MelodyRecorder::~MelodyRecorder() {
    look(false);
    try {
        finishScript();
    } catch (...) {
        // No memory for the failure's text; a destructor reports nothing anyway.
    }
    recording_ = false;
}

void MelodyRecorder::write(const std::string& text) {
    if (file_ == nullptr)
        return;
    // Flushed line by line, so a crash loses no recorded line.
    if ((std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) &&
        writeError_ == 0)
        writeError_ = errno != 0 ? errno : EIO;
}

// Writes the closing lines and closes the script; the failure to report when
// anything written to it was lost, "" when nothing was.
std::string MelodyRecorder::finishScript() {
    if (file_ == nullptr)
        return {};
    write(kClosingLines);
    if (std::fclose(file_) != 0 && writeError_ == 0)
        writeError_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
    std::string failure;
    if (writeError_ != 0)
        failure = fileFailureText("Can't write SNC file!", path_, systemReason(writeError_));
    writeError_ = 0;
    return failure;
}

void MelodyRecorder::start(const std::string& path) {
    look(false);
    const std::string previousFailure = finishScript();
    recording_ = false;
    if (!previousFailure.empty())
        throw previousFailure;
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr)
        throw fileFailureText("Can't create SNC file!", path, systemReason(errno != 0 ? errno : EIO));
    path_ = path;
    recording_ = true;
    startTimeMs_ = lastTimeMs_ = clock_();
}

void MelodyRecorder::stop() {
    look(false);
    const std::string failure = finishScript();
    recording_ = false;
    if (!failure.empty())
        throw failure;
}

void MelodyRecorder::look(bool clearRequested) {
    if (!recording_)
        return;
    if (clearRequested) {
        // Takes effect at the time of the last written batch: no wait before it.
        write("!clear\n");
        return;
    }
    const std::int64_t now = clock_();
    std::int64_t deltaMs = now - lastTimeMs_;
    if (deltaMs < kJoinWindowMs)
        deltaMs = 0;
    bool wroteSound = false;
    for (std::size_t i = 0; i < aliases_.size(); ++i) {
        const bool sounding = sounding_(i);
        if (sounding && !seen_[i]) {
            if (!wroteSound && deltaMs != 0) {
                const std::int64_t elapsedMs = now - startTimeMs_;
                write("\n--Current position: " + std::to_string(elapsedMs / 60000) + ":" +
                      std::to_string((elapsedMs / 1000) % 60) + "," + std::to_string(elapsedMs % 1000) +
                      " ms\n!wait " + fixed4(static_cast<double>(deltaMs) * 0.001) + "\n\n");
            }
            write(aliases_[i] + " a -1\n");
            wroteSound = true;
        }
        seen_[i] = sounding;
    }
    if (wroteSound && deltaMs != 0)
        lastTimeMs_ = now;
}

} // namespace pellamy
