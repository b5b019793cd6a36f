#include "Mixer.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/KeyboardVisual.h>
#include <pellamy/MelodyRecorder.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/SoundOutput.h>

#include <vector>

namespace pellamy {

namespace {

constexpr const char* kNotInitialized = "Using not-initialized object";
constexpr const char* kNonInitialized = "Using non-initialized object";

// The device format of every suite: 48 kHz, stereo, 16 bits.
constexpr int kDeviceSampleRate = 48000;
constexpr unsigned kDeviceChannels = 2;
constexpr int kDeviceBits = 16;

constexpr unsigned kSpaceBar = 32;
constexpr unsigned kKeyCodes = 256;

// Live playing and the melody renderer both keep their state in the sounds:
// the cursor, and the playing flag, which means a held note to the one and a
// streaming sound to the other. They never run at once (both are driven from
// the interface thread, and a rendering returns when it is done), so a
// rendering through the live instrument parks the live state, starts from
// rewound sounds and gives the state back when it ends, however it ends.
class ParkedLiveState {
public:
    explicit ParkedLiveState(InstrumentModel& instrument) : instrument_(instrument) {
        instrument_.forEachSound([&](const std::string&, Sound& sound) {
            parked_.push_back({sound.position(), sound.isPlaying()});
            sound.setPosition(0);
            sound.setPlaying(false);
        });
    }
    ~ParkedLiveState() {
        std::size_t next = 0;
        instrument_.forEachSound([&](const std::string&, Sound& sound) {
            if (next < parked_.size()) {
                sound.setPosition(parked_[next].position);
                sound.setPlaying(parked_[next].playing);
            }
            ++next;
        });
    }
    ParkedLiveState(const ParkedLiveState&) = delete;
    ParkedLiveState& operator=(const ParkedLiveState&) = delete;

private:
    struct State {
        std::uint32_t position;
        bool playing;
    };
    InstrumentModel& instrument_;
    std::vector<State> parked_;
};

} // namespace

InstrumentController::InstrumentController() : InstrumentController(&MelodyRecorder::steadyClockMs) {}

InstrumentController::InstrumentController(Clock recorderClock)
    : outputDevice_(OutputDevice::Default), recorderClock_(std::move(recorderClock)) {}

void InstrumentController::setOutputDevice(OutputDevice device) {
    outputDevice_ = device;
}

void InstrumentController::moveOutput(OutputDevice device) {
    outputDevice_ = device;
    if (!suiteReady_)
        return;
    soundOutput_.reset(); // drivers with one device give it to one output at a time
    // Released as the keys and the mouse would release them, so a recording
    // sees the notes end.
    instrument_->forEachSound([&](const std::string& alias, Sound& sound) {
        if (sound.isPlaying())
            keyboardVisual_->SetKeyState(alias, false);
        sound.setPlaying(false);
    });
    keyDown_.fill(false);
    mouseKey_ = -1;
    keyboardVisual_->setNeedsRedraw();
    recorder_->look(false);
    try {
        soundOutput_ = std::make_unique<SoundOutput>(instrument_.get(), kDeviceSampleRate, kDeviceChannels,
                                                     kDeviceBits, device);
    } catch (const InitFailedException&) {
        outputDevice_ = OutputDevice::Silent;
        soundOutput_ = std::make_unique<SoundOutput>(instrument_.get(), kDeviceSampleRate, kDeviceChannels,
                                                     kDeviceBits, OutputDevice::Silent);
        throw;
    }
}

OutputDevice InstrumentController::outputDevice() const {
    return outputDevice_;
}

InstrumentController::~InstrumentController() {
    tearDownSuite();
}

void InstrumentController::tearDownSuite() {
    suiteReady_ = false;
    keyboardVisual_.reset();
    soundOutput_.reset(); // closes the device: the audio thread ends here
    recorder_.reset();
    renderer_.reset();
    if (instrument_ != nullptr) {
        instrument_->clear();
        instrument_.reset();
    }
    keyDown_.fill(false);
    mouseKey_ = -1;
}

void InstrumentController::CreateInstrumentSuite(const std::string& instrumentFile) {
    // The parts of a previous suite point into its instrument: they go first.
    tearDownSuite();
    instrument_ = std::make_unique<InstrumentModel>();
    try {
        instrument_->loadFromFile(instrumentFile);
    } catch (const std::string&) {
        instrument_.reset();
        throw;
    }
    setUpSuite();
}

void InstrumentController::CreateInstrumentSuite(int count, const SoundStreamDescription* descriptions) {
    tearDownSuite();
    instrument_ = std::make_unique<InstrumentModel>();
    instrument_->loadFromDescriptions(count, descriptions);
    setUpSuite();
}

void InstrumentController::setUpSuite() {
    soundOutput_ = std::make_unique<SoundOutput>(instrument_.get(), kDeviceSampleRate, kDeviceChannels,
                                                 kDeviceBits, outputDevice_);
    keyboardVisual_ = std::make_unique<KeyboardVisual>(instrument_.get());
    recorder_ = std::make_unique<MelodyRecorder>(*instrument_, recorderClock_);
    renderer_ = std::make_unique<MelodyRenderer>(MixClip);
    suiteReady_ = true;
}

void InstrumentController::requireSuite() const {
    if (!suiteReady_)
        throw kNotInitialized;
}

void InstrumentController::SetNoteState(const std::string& alias, bool down, bool stopSound) {
    requireSuite();
    if (alias.empty())
        return;
    if (down) {
        soundOutput_->Start(alias);
        keyboardVisual_->SetKeyState(alias, true);
    } else {
        soundOutput_->Release(alias, stopSound);
        keyboardVisual_->SetKeyState(alias, false);
    }
    keyboardVisual_->setNeedsRedraw();
}

bool InstrumentController::KeyPress(unsigned key) {
    requireSuite();
    if (key >= kKeyCodes)
        return false;
    if (key == kSpaceBar)
        soundOutput_->StopAll(); // held notes stay held
    if (keyDown_[key])
        return true;
    keyDown_[key] = true;
    SetNoteState(instrument_->aliasForKey(key), true, false);
    recorder_->look(key == kSpaceBar);
    return false;
}

void InstrumentController::KeyRelease(unsigned key, bool stopSound) {
    requireSuite();
    if (key >= kKeyCodes)
        return;
    keyDown_[key] = false;
    SetNoteState(instrument_->aliasForKey(key), false, stopSound);
    recorder_->look(false);
}

void InstrumentController::SoundPress(const std::string& alias) {
    requireSuite();
    if (instrument_->soundFor(alias) == nullptr)
        return;
    SetNoteState(alias, true, false);
    recorder_->look(false);
}

void InstrumentController::SoundRelease(const std::string& alias, bool stopSound) {
    requireSuite();
    if (instrument_->soundFor(alias) == nullptr)
        return;
    SetNoteState(alias, false, stopSound);
    recorder_->look(false);
}

void InstrumentController::MouseDown(int x, int y) {
    requireSuite();
    const int index = keyboardVisual_->HitTest(x, y);
    SetNoteState(keyboardVisual_->AliasAt(index), true, false);
    mouseKey_ = index;
    recorder_->look(false);
}

void InstrumentController::MouseUp(int /*x*/, int /*y*/, bool stopSound) {
    requireSuite();
    SetNoteState(keyboardVisual_->AliasAt(mouseKey_), false, stopSound);
    recorder_->look(false);
}

void InstrumentController::MouseMove(int x, int y, bool stopSound) {
    requireSuite();
    const int index = keyboardVisual_->HitTest(x, y);
    if (index == mouseKey_)
        return;
    SetNoteState(keyboardVisual_->AliasAt(index), true, false);
    SetNoteState(keyboardVisual_->AliasAt(mouseKey_), false, stopSound);
    mouseKey_ = index;
    recorder_->look(false);
}

void InstrumentController::VisualUpdate(Canvas& canvas, const Rect& rect, bool forceRedraw) {
    requireSuite();
    keyboardVisual_->Paint(canvas, rect, forceRedraw);
}

Rect InstrumentController::getActiveArea() {
    requireSuite();
    return keyboardVisual_->activeArea();
}

void InstrumentController::SaveInstrument(const std::string& path, bool withFolders) {
    requireSuite();
    instrument_->saveToFile(path, withFolders);
}

void InstrumentController::setInstrumentComments(std::vector<std::string> lines) {
    if (instrument_)
        instrument_->setComments(std::move(lines));
}

void InstrumentController::RenderToFile(const std::string& scriptPath, const std::string& wavPath,
                                        bool /*option*/) {
    if (!suiteReady_)
        throw kNonInitialized;
    recorder_->start(scriptPath);
    wavPath_ = wavPath;
    scriptPath_ = scriptPath;
}

void InstrumentController::RenderFileUsingCurrentInstrument(const std::string& scriptPath,
                                                            const std::string& wavPath, bool /*option*/) {
    if (!suiteReady_)
        throw kNonInitialized;
    const ParkedLiveState parked(*instrument_);
    renderer_->setInstrument(instrument_.get());
    renderer_->render(scriptPath, wavPath);
}

bool InstrumentController::IsRendering() {
    return recorder_ != nullptr && recorder_->recording();
}

void InstrumentController::RenderStop() {
    if (!IsRendering())
        return;
    recorder_->stop();
    const ParkedLiveState parked(*instrument_);
    renderer_->setInstrument(instrument_.get());
    if (wavPath_.empty()) {
        // tune.snc gives tune.wav; a path shorter than four characters keeps
        // all of them.
        const std::size_t kept = scriptPath_.size() >= 4 ? scriptPath_.size() - 4 : scriptPath_.size();
        wavPath_ = scriptPath_.substr(0, kept) + ".wav";
    }
    renderer_->render(scriptPath_, wavPath_);
}

} // namespace pellamy
