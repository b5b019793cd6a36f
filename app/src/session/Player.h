// What the piano, the computer keys, the mouse, the MIDI keyboard and the
// recording play: an instrument's sounds (InstrumentPlayer) or the open
// model's live voices (LiveModelSession). The instrument session hands every
// key, mouse and MIDI note to the player of the way of playing chosen, and
// switches between them.
//
// Interface thread only.
#pragma once

#include <pellamy/Drawing.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pellamy {
class ClipOutput;
}

namespace kivora {

// One sound as the oscillogram and the analyzer show it: 16-bit mono samples
// (the first channel).
struct NoteSamples {
    std::vector<std::int16_t> samples;
    int sampleRate = 0;
};

class Player {
public:
    virtual ~Player() = default;

    // ---- Taking turns with the other player.
    // Makes ready what playing needs; false (said to the user) when this
    // player cannot play now.
    virtual bool prepare() { return true; }
    // Takes the sound device, which the other player has given up.
    virtual void takeDevice() = 0;
    // Gives the sound device up, for the other player; a recording is not finished here.
    virtual void releaseDevice() = 0;

    // True when the keys play something.
    virtual bool isPlayable() const = 0;

    // ---- Playing; engine failures pass through (the session guards them).
    // A key code 0-255. True when it was already held (an auto-repeat);
    // `started` names the note it started ("" for none).
    virtual bool pressKey(unsigned code, std::string& started) = 0;
    virtual void releaseKey(unsigned code) = 0;
    // A note by its name (an alias), as the MIDI keyboard plays it; false for
    // one this player lacks.
    virtual bool pressNote(const std::string& alias) = 0;
    virtual void releaseNote(const std::string& alias) = 0;
    // The note a MIDI key plays, or "".
    virtual std::string noteForMidiKey(int midiKey) = 0;
    // True when a note by that name sounds now.
    virtual bool isSounding(const std::string& alias) const = 0;
    // Every note sounding now (for reporting the one the mouse started).
    virtual std::vector<std::string> soundingNotes() const = 0;
    virtual void mouseDown(int x, int y) = 0;
    virtual void mouseMove(int x, int y) = 0;
    virtual void mouseUp(int x, int y) = 0;

    // ---- The on-screen keyboard.
    virtual void paint(pellamy::Canvas& canvas, const pellamy::Rect& rect, bool forceRedraw) = 0;
    // The rectangle to repaint after an event; (-1, -1, -1, -1) before the first paint.
    virtual pellamy::Rect activeArea() = 0;

    // ---- Recording into a melody script.
    virtual void startRecording(const std::string& scriptPath) = 0;
    // Ends the recording and renders it into the WAV file beside the script
    // (its last four characters replaced by ".wav").
    virtual void stopRecording() = 0;
    virtual bool isRecording() const = 0;

    // ---- What the other panes show and Play Melody plays through.
    virtual NoteSamples samplesOf(const std::string& alias) = 0;
    virtual std::string firstNote() const = 0;
    // The device a melody plays on beside the keys, or null without one.
    virtual pellamy::ClipOutput* clipOutput() = 0;
};

} // namespace kivora
