#include "session/InstrumentPlayer.h"

#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentController.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>
#include <pellamy/SoundOutput.h>

#include <algorithm>

namespace kivora {

void InstrumentPlayer::setController(pellamy::InstrumentController* controller) {
    controller_ = controller;
    midiNotesStale_ = true;
}

void InstrumentPlayer::takeDevice() {
    if (controller_ != nullptr)
        controller_->moveOutput(pellamy::OutputDevice::Default);
}

void InstrumentPlayer::releaseDevice() {
    if (controller_ != nullptr)
        controller_->moveOutput(pellamy::OutputDevice::Silent);
}

bool InstrumentPlayer::pressKey(unsigned code, std::string& started) {
    started.clear();
    const bool repeat = controller_->KeyPress(code);
    if (!repeat)
        started = controller_->instrument()->aliasForKey(code);
    return repeat;
}

void InstrumentPlayer::releaseKey(unsigned code) {
    controller_->KeyRelease(code, false);
}

bool InstrumentPlayer::pressNote(const std::string& alias) {
    if (controller_ == nullptr || controller_->instrument()->soundFor(alias) == nullptr)
        return false;
    controller_->SoundPress(alias);
    return true;
}

void InstrumentPlayer::releaseNote(const std::string& alias) {
    if (controller_ != nullptr)
        controller_->SoundRelease(alias, false);
}

void InstrumentPlayer::mapMidiKeys() {
    midiNotes_.fill(std::string());
    midiNotesStale_ = false;
    if (controller_ == nullptr)
        return;
    for (const exchange::RootKey& root : exchange::assignRootKeys(*controller_->instrument())) {
        // A sound laid beside its own key (another sound holds it) does not play there.
        if (root.key >= 0 && root.key < static_cast<int>(midiNotes_.size()) && root.key >= root.lowKey &&
            root.key <= root.highKey)
            midiNotes_[static_cast<std::size_t>(root.key)] = root.alias;
    }
}

std::string InstrumentPlayer::noteForMidiKey(int midiKey) {
    if (midiNotesStale_)
        mapMidiKeys();
    if (midiKey < 0 || midiKey >= static_cast<int>(midiNotes_.size()))
        return {};
    return midiNotes_[static_cast<std::size_t>(midiKey)];
}

bool InstrumentPlayer::isSounding(const std::string& alias) const {
    const pellamy::Sound* sound =
        controller_ != nullptr ? controller_->instrument()->soundFor(alias) : nullptr;
    return sound != nullptr && sound->isPlaying();
}

std::vector<std::string> InstrumentPlayer::soundingNotes() const {
    std::vector<std::string> aliases;
    if (controller_ != nullptr)
        controller_->instrument()->forEachSound([&](const std::string& alias, const pellamy::Sound& sound) {
            if (sound.isPlaying())
                aliases.push_back(alias);
        });
    return aliases;
}

void InstrumentPlayer::mouseDown(int x, int y) {
    controller_->MouseDown(x, y);
}

void InstrumentPlayer::mouseMove(int x, int y) {
    controller_->MouseMove(x, y, false);
}

void InstrumentPlayer::mouseUp(int x, int y) {
    controller_->MouseUp(x, y, false);
}

void InstrumentPlayer::paint(pellamy::Canvas& canvas, const pellamy::Rect& rect, bool forceRedraw) {
    controller_->VisualUpdate(canvas, rect, forceRedraw);
}

pellamy::Rect InstrumentPlayer::activeArea() {
    return controller_->getActiveArea();
}

void InstrumentPlayer::startRecording(const std::string& scriptPath) {
    controller_->RenderToFile(scriptPath, std::string(), false);
}

void InstrumentPlayer::stopRecording() {
    if (controller_ != nullptr)
        controller_->RenderStop();
}

bool InstrumentPlayer::isRecording() const {
    return controller_ != nullptr && controller_->IsRendering();
}

NoteSamples InstrumentPlayer::samplesOf(const std::string& alias) {
    NoteSamples note;
    const pellamy::Sound* sound =
        controller_ != nullptr ? controller_->instrument()->soundFor(alias) : nullptr;
    if (sound == nullptr || sound->channels() == 0)
        return note;
    const std::span<const std::int16_t> values = sound->samples();
    const std::size_t channels = sound->channels();
    note.samples.reserve(values.size() / channels);
    for (std::size_t i = 0; i < values.size(); i += channels)
        note.samples.push_back(values[i]);
    note.sampleRate = sound->sampleRate();
    return note;
}

std::string InstrumentPlayer::firstNote() const {
    const pellamy::InstrumentModel* model = controller_ != nullptr ? controller_->instrument() : nullptr;
    if (model == nullptr || model->soundCount() == 0)
        return {};
    return model->aliasAt(0);
}

pellamy::ClipOutput* InstrumentPlayer::clipOutput() {
    return controller_ != nullptr ? controller_->soundOutput() : nullptr;
}

} // namespace kivora
