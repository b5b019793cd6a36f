// The player of an instrument's sounds: the instrument session's controller,
// its keys, mouse and keyboard, its recording rendered through it, and its
// sounds laid on MIDI keys at their root keys.
//
// Interface thread only.
#pragma once

#include "session/Player.h"

#include <array>
#include <string>

namespace pellamy {
class InstrumentController;
}

namespace kivora {

class InstrumentPlayer : public Player {
public:
    // The controller played (null: none); it must stay while set.
    void setController(pellamy::InstrumentController* controller);
    pellamy::InstrumentController* controller() const { return controller_; }

    void takeDevice() override;
    void releaseDevice() override;
    bool isPlayable() const override { return controller_ != nullptr; }

    bool pressKey(unsigned code, std::string& started) override;
    void releaseKey(unsigned code) override;
    bool pressNote(const std::string& alias) override;
    void releaseNote(const std::string& alias) override;
    std::string noteForMidiKey(int midiKey) override;
    bool isSounding(const std::string& alias) const override;
    std::vector<std::string> soundingNotes() const override;
    void mouseDown(int x, int y) override;
    void mouseMove(int x, int y) override;
    void mouseUp(int x, int y) override;

    void paint(pellamy::Canvas& canvas, const pellamy::Rect& rect, bool forceRedraw) override;
    pellamy::Rect activeArea() override;

    void startRecording(const std::string& scriptPath) override;
    void stopRecording() override;
    bool isRecording() const override;

    NoteSamples samplesOf(const std::string& alias) override;
    std::string firstNote() const override;
    pellamy::ClipOutput* clipOutput() override;

private:
    void mapMidiKeys();

    pellamy::InstrumentController* controller_ = nullptr;
    // Sounds by MIDI key ("": none), measured when first asked for.
    std::array<std::string, 128> midiNotes_;
    bool midiNotesStale_ = true;
};

} // namespace kivora
