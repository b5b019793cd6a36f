// Plays a melody (a WAV file's values) in the background, as the piano's
// "Play Melody" does; a new melody replaces the one playing.
//
// While the piano has a live output the melody plays through it, as a clip
// beside what the keys play (pellamy::ClipOutput): drivers with a
// single output device (SDL's disk and dummy drivers, some systems' only
// card) give that device to the piano, and one device mixes both without a
// second audio thread. Without one the player opens a device of its own and
// closes it as soon as the melody has ended, leaving it free for the piano.
//
// Thread: interface thread, except load(), which reads a file on any thread.
#pragma once

#include <pellamy/ClipOutput.h>
#include <pellamy/SoundOutput.h>

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivora {

// A file that cannot be played as a melody; the text names it and says why.
class MelodyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A melody as it plays: interleaved 16-bit frames.
struct MelodyClip {
    std::vector<std::int16_t> values;
    unsigned channels = 1;
    unsigned rateHz = 44100;
};

class MelodyPlayer {
public:
    // The piano's live output, or nullptr while it has none; asked afresh at
    // each use, since the piano replaces its output with its instrument or
    // its way of playing.
    using PianoOutput = std::function<pellamy::ClipOutput*()>;
    // How often the player looks whether the melody has ended.
    static constexpr int kEndPollMs = 50;

    explicit MelodyPlayer(PianoOutput pianoOutput = {});
    ~MelodyPlayer();
    MelodyPlayer(const MelodyPlayer&) = delete;
    MelodyPlayer& operator=(const MelodyPlayer&) = delete;

    // Reads a WAV file as the engine reads an instrument's sounds (8- to
    // 32-bit integer and float PCM); MelodyError for any other file.
    static MelodyClip load(const std::string& path);

    // Starts playing and returns at once. Throws InitFailedException when a
    // device of its own cannot be opened, and "Error creating buffer" (const
    // char*) for values the device cannot play.
    void play(const MelodyClip& clip);
    void play(const std::string& path) { play(load(path)); }
    // Stops the melody and closes a device of its own.
    void stop();
    bool isPlaying() const;
    // Whether the player holds a device of its own.
    bool ownsDevice() const { return output_ != nullptr; }

private:
    void closeWhenEnded();

    PianoOutput pianoOutput_;
    std::unique_ptr<pellamy::SoundOutput> output_;
    // The piano output the melody went to (compared, never followed, as the
    // piano may have replaced it since).
    const pellamy::ClipOutput* pianoOutputUsed_ = nullptr;
    QTimer endPoll_;
};

} // namespace kivora
