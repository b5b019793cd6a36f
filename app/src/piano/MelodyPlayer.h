// Plays a WAV file in the background through the engine's SDL output, as the
// piano's "Play Melody" does; a new melody replaces the one playing.
#pragma once

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundOutput.h>

#include <memory>
#include <string>

namespace kivora {

class MelodyPlayer {
public:
    MelodyPlayer();
    ~MelodyPlayer();
    MelodyPlayer(const MelodyPlayer&) = delete;
    MelodyPlayer& operator=(const MelodyPlayer&) = delete;

    // Starts playing the 8- or 16-bit PCM WAV file at `path` and returns at
    // once. Throws a std::string for a file it cannot play and
    // InitFailedException when the sound device cannot be opened.
    void play(const std::string& path);
    // Stops and closes the device.
    void stop();
    bool isPlaying() const;

private:
    // The output goes before the instrument it plays from.
    std::unique_ptr<pellamy::InstrumentModel> melody_;
    std::unique_ptr<pellamy::SoundOutput> output_;
};

} // namespace kivora
