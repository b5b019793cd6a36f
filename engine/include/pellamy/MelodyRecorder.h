// Writes live playing as a melody script: every sound that starts becomes a
// line that streams it whole ("ALIAS a -1"), preceded by a wait covering the
// time since the previous batch of sounds.
#pragma once

#include <pellamy/Export.h>
#include <pellamy/InstrumentModel.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace pellamy {

// Thread: interface thread only, inside the controller's event calls.
class PELLAMY_API MelodyRecorder {
public:
    // Milliseconds from a monotonic clock; tests inject their own.
    using Clock = std::function<std::int64_t()>;
    static std::int64_t steadyClockMs();

    // Follows the sounds `instrument` has now (all of them, in definition
    // order). The instrument must outlive the recorder.
    explicit MelodyRecorder(const InstrumentModel& instrument, Clock clock = &MelodyRecorder::steadyClockMs);
    // Whether the note `aliases[index]` sounds now.
    using SoundingCheck = std::function<bool(std::size_t index)>;
    // Follows the notes `aliases` whose state `sounding` tells (what plays
    // without an instrument: a model's live voices).
    MelodyRecorder(std::vector<std::string> aliases, SoundingCheck sounding,
                   Clock clock = &MelodyRecorder::steadyClockMs);
    // Finishes an open script; a write error is not reported from here.
    ~MelodyRecorder();
    MelodyRecorder(const MelodyRecorder&) = delete;
    MelodyRecorder& operator=(const MelodyRecorder&) = delete;

    // Starts writing a new script at `path`, finishing a running one first.
    // Throws "Can't create SNC file! PATH: REASON" when the file cannot be
    // created, and "Can't write SNC file! PATH: REASON" when the finished
    // script could not be written (both std::string); the recorder is idle then.
    void start(const std::string& path);
    // Called after each event has started or stopped its sounds: writes the
    // sounds that started since the last look (or "!clear" when asked).
    void look(bool clearRequested);
    // Writes the closing lines and closes the script. Throws "Can't write SNC
    // file! PATH: REASON" (std::string) when any line of it could not be written.
    void stop();
    bool recording() const { return recording_; }

private:
    void write(const std::string& text);
    std::string finishScript();

    SoundingCheck sounding_;
    Clock clock_;
    std::FILE* file_ = nullptr;
    bool recording_ = false;
    std::string path_;
    int writeError_ = 0; // errno of the first write that failed
    std::vector<bool> seen_;
    std::vector<std::string> aliases_;
    std::int64_t lastTimeMs_ = 0;
    std::int64_t startTimeMs_ = 0;
};

} // namespace pellamy
