// The instrument engine behind one piano window: an instrument made from a
// definition file or from generated streams, played with key codes and
// mouse positions, drawn as a keyboard, saved, recorded and rendered.
#pragma once

#include <pellamy/Drawing.h>
#include <pellamy/Export.h>
#include <pellamy/InitFailedException.h>
#include <pellamy/SoundStreamDescription.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pellamy {

class InstrumentModel;
class KeyboardVisual;
enum class OutputDevice;
class MelodyRecorder;
class MelodyRenderer;
class SoundOutput;

// Key codes are the platform's virtual-key codes 0-255 (letters and digits
// are their upper-case character codes, the space bar is 32); codes above
// 255 are ignored. On-screen keys are numbered 0 to the number of sounds - 1
// in definition order; -1 means no key.
//
// Until a suite has been created, KeyPress, KeyRelease, the mouse members,
// VisualUpdate, getActiveArea and SaveInstrument throw "Using
// not-initialized object", RenderToFile and RenderFileUsingCurrentInstrument
// "Using non-initialized object" (const char*); IsRendering answers false and
// RenderStop does nothing. Failures of the parts pass through unchanged:
// const char*, std::string and InitFailedException.
//
// Thread: interface thread only. Started sounds play on in the sound
// output's audio thread.
class PELLAMY_API InstrumentController {
public:
    // Milliseconds of a monotonic clock for the melody recorder.
    using Clock = std::function<std::int64_t()>;

    InstrumentController();
    // A controller whose recorder reads `recorderClock` (for tests).
    explicit InstrumentController(Clock recorderClock);
    // Tears the suite down: keyboard, sound output, recorder (an open script
    // is finished, not rendered), renderer, instrument.
    ~InstrumentController();
    InstrumentController(const InstrumentController&) = delete;
    InstrumentController& operator=(const InstrumentController&) = delete;

    // Loads the instrument definition file and sets the suite up. When the
    // file cannot be read (a std::string failure) the instrument is dropped;
    // other failures leave the instrument read so far with the controller.
    // A controller that already has a suite tears it down first.
    void CreateInstrumentSuite(const std::string& instrumentFile);
    // Builds the instrument from `count` generated streams and sets the suite
    // up; the first 24 are bound to "Q2W3ER5T6Y7UZSXDCVGBHNJM".
    void CreateInstrumentSuite(int count, const SoundStreamDescription* descriptions);

    // A key went down. True when it was already held (an auto-repeat).
    // The space bar stops every sound, also on auto-repeat; held notes stay
    // held, and a recording writes "!clear".
    bool KeyPress(unsigned key);
    // A key went up; its sound rings out, or stops at once with stopSound.
    void KeyRelease(unsigned key, bool stopSound);
    // A sound went down or up by its alias, as a MIDI keyboard plays it: as a
    // key bound to the sound would, also for a sound no key is bound to. An
    // alias the instrument lacks does nothing.
    void SoundPress(const std::string& alias);
    void SoundRelease(const std::string& alias, bool stopSound);
    // The mouse button went down at a client point.
    void MouseDown(int x, int y);
    // The mouse button went up: releases the key last pressed or entered with
    // the mouse, wherever the pointer is.
    void MouseUp(int x, int y, bool stopSound);
    // The pointer moved while the button is held: entering another key starts
    // it, then releases the key left.
    void MouseMove(int x, int y, bool stopSound);

    // Paints the on-screen keyboard into `rect` of `canvas`.
    void VisualUpdate(Canvas& canvas, const Rect& rect, bool forceRedraw);
    // The rectangle the keyboard covered at its last full redraw, to be
    // repainted after each event; (-1, -1, -1, -1) before the first.
    Rect getActiveArea();

    // Writes the instrument as a definition file with one WAV file per sound,
    // in per-octave folders when withFolders.
    void SaveInstrument(const std::string& path, bool withFolders);
    // The comment lines the next SaveInstrument writes first
    // (InstrumentModel::setComments); nothing without an instrument.
    void setInstrumentComments(std::vector<std::string> lines);

    // Starts recording live playing into the melody script scriptPath;
    // RenderStop renders it into wavPath (or, when that is empty, into the
    // script's path with ".wav" in place of its last four characters).
    // `option` has no effect.
    void RenderToFile(const std::string& scriptPath, const std::string& wavPath, bool option);
    // Renders a melody script through this instrument into wavPath and
    // returns when the file is written. `option` has no effect.
    void RenderFileUsingCurrentInstrument(const std::string& scriptPath, const std::string& wavPath,
                                          bool option);
    // True while a recording started by RenderToFile runs.
    bool IsRendering();
    // Ends the recording and renders the recorded script.
    void RenderStop();

    // Where the next suite plays (the default device unless set).
    void setOutputDevice(OutputDevice device);
    // Moves the suite to `device` at once: its sound output is made anew, so
    // sounding notes stop and held ones are released; the instrument, its
    // keys, the keyboard and a recording stay. Without a suite it is
    // setOutputDevice. When the device cannot be opened the suite plays
    // silently and the InitFailedException passes through.
    void moveOutput(OutputDevice device);
    OutputDevice outputDevice() const;

    // The instrument played, or nullptr before a suite was begun.
    const InstrumentModel* instrument() const { return instrument_.get(); }
    // The live output, or nullptr without a suite.
    const SoundOutput* soundOutput() const { return soundOutput_.get(); }
    // The same, to play a clip beside the instrument (SoundOutput::PlayClip).
    SoundOutput* soundOutput() { return soundOutput_.get(); }

private:
    void SetNoteState(const std::string& alias, bool down, bool stopSound);
    void requireSuite() const;
    void setUpSuite();
    void tearDownSuite();

    std::unique_ptr<InstrumentModel> instrument_;
    std::unique_ptr<SoundOutput> soundOutput_;
    OutputDevice outputDevice_;
    std::unique_ptr<KeyboardVisual> keyboardVisual_;
    std::unique_ptr<MelodyRecorder> recorder_;
    std::unique_ptr<MelodyRenderer> renderer_;
    bool suiteReady_ = false;
    std::array<bool, 256> keyDown_{};
    std::string scriptPath_;
    std::string wavPath_;
    int mouseKey_ = -1;
    Clock recorderClock_;
};

} // namespace pellamy
