#include "session/LiveModelSession.h"

#include "common/EngineGuard.h"
#include "session/ModelSession.h"

#include <kivora/exchange/SongRenderer.h>
#include <kivora/voices/LiveVoices.h>
#include <kivora/voices/ScriptSong.h>
#include <kivora/voices/VoiceBank.h>
#include <kivora/voices/VoiceModel.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/InitFailedException.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/KeyboardVisual.h>
#include <pellamy/MelodyRecorder.h>
#include <pellamy/StreamOutput.h>

#include <vector>

namespace kivora {

namespace {

constexpr unsigned kDeviceChannels = 2;
constexpr std::uint32_t kDeviceBufferFrames = 256;
constexpr unsigned kSpaceBar = 32;

std::shared_ptr<const voices::VoiceModel> prepareModel(muntero::ModelSnapshot snapshot) {
    return std::make_shared<const voices::VoiceModel>(std::move(snapshot), voices::VoiceSettings{});
}

// The drawn keys: the notes a generation of the default settings makes, from
// 1C, on the keys a generated instrument binds.
int drawnKeyCount() {
    return 12 * GenerationSettings{}.octaves;
}

std::unique_ptr<pellamy::KeyboardVisual> makeKeyboard() {
    std::vector<std::string> aliases;
    std::vector<std::string> labels;
    for (int note = 0; note < drawnKeyCount(); ++note) {
        aliases.push_back(voices::noteNameOfKey(voices::kFirstNoteKey + note));
        const auto index = static_cast<std::size_t>(note);
        labels.push_back(index < pellamy::DefaultKeyOrder.size()
                             ? std::string(1, pellamy::DefaultKeyOrder[index])
                             : std::string());
    }
    return std::make_unique<pellamy::KeyboardVisual>(std::move(aliases), std::move(labels));
}

// The MIDI key a key code plays, or -1.
int midiKeyOfCode(unsigned code) {
    const std::size_t index = pellamy::DefaultKeyOrder.find(static_cast<char>(code));
    if (code > 255 || index == std::string_view::npos || static_cast<int>(index) >= drawnKeyCount())
        return -1;
    return voices::kFirstNoteKey + static_cast<int>(index);
}

} // namespace

LiveModelSession::LiveModelSession(ModelSession& model, QObject* parent)
    : QObject(parent), modelSession_(model), keyboard_(makeKeyboard()),
      preparer_(
          this,
          [this](std::uint64_t, std::shared_ptr<const voices::VoiceModel> prepared) { adoptModel(prepared); },
          [this](std::uint64_t, const QString& text) {
              if (isOn())
                  emit statusMessage(tr("The edited model cannot be played live (%1): the keys play it as "
                                        "it was before")
                                         .arg(text));
          }) {
    // Every key a voice may play is a note a recording writes.
    std::vector<std::string> notes;
    for (int key = 0; key < voices::kKeyCount; ++key)
        notes.push_back(voices::noteNameOfKey(key));
    recorder_ = std::make_unique<pellamy::MelodyRecorder>(std::move(notes),
                                                          [this](std::size_t key) { return held_[key]; });
    statusTimer_.setInterval(kStatusIntervalMs);
    connect(&statusTimer_, &QTimer::timeout, this, &LiveModelSession::reportStatus);
    connect(&modelSession_, &ModelSession::changed, this, &LiveModelSession::modelChanged);
}

LiveModelSession::~LiveModelSession() {
    stop();
}

bool LiveModelSession::start() {
    if (isOn())
        return true;
    // A model the voices refuse (nothing drawn, no flag) says why in the generator's words.
    std::shared_ptr<const voices::VoiceModel> model;
    if (!guarded(dialogOwner_,
                 [&] { model = prepareModel(muntero::takeSnapshot(modelSession_.representation())); }))
        return false;
    auto live = std::make_unique<voices::LiveVoices>(model);
    live->setDeviceChannels(kDeviceChannels);
    model_ = std::move(model);
    live_ = std::move(live);
    renderedNotes_.clear();
    refusedKeysReported_ = 0;
    statusTimer_.start();
    reportStatus();
    return true;
}

void LiveModelSession::openOutput() {
    if (!isOn() || output_ != nullptr)
        return;
    // A device opened before the first blocks are ready starts with late ones.
    if (!live_->waitUntilReady(std::chrono::seconds(10)))
        emit statusMessage(tr("The voices were not ready in time: the first blocks may come late"));
    try {
        output_ = std::make_unique<pellamy::StreamOutput>(model_->sampleRate(), kDeviceChannels,
                                                          kDeviceBufferFrames,
                                                          &voices::LiveVoices::fillDeviceBuffer, live_.get());
    } catch (const pellamy::InitFailedException&) {
        emit statusMessage(tr("No sound device: the model plays silently (%1)").arg(currentExceptionText()));
    }
}

void LiveModelSession::stop() {
    const bool wasOn = isOn();
    statusTimer_.stop();
    output_.reset(); // the callback stops before the voices go
    live_.reset();
    model_.reset();
    renderedNotes_.clear();
    for (int key = 0; key < voices::kKeyCount; ++key)
        if (held_[static_cast<std::size_t>(key)])
            setNote(key, false);
    keyDown_.fill(false);
    mouseKey_ = -1;
    if (wasOn)
        emit liveStatus(QString());
}

void LiveModelSession::modelChanged() {
    if (!isOn())
        return;
    // The snapshot is taken now; measuring and preparing the voices takes a
    // note's rendering and runs on the worker.
    preparer_.request([snapshot = muntero::takeSnapshot(modelSession_.representation())]() mutable {
        return prepareModel(std::move(snapshot));
    });
}

void LiveModelSession::adoptModel(std::shared_ptr<const voices::VoiceModel> model) {
    if (!isOn() || model == nullptr)
        return;
    if (!live_->setModel(model)) {
        emit statusMessage(tr("The voices are busy: the edit reaches the keys with the next edit"));
        return;
    }
    model_ = std::move(model);
    renderedNotes_.clear();
}

// -------------------------------------------------------------- playing

void LiveModelSession::setNote(int key, bool on) {
    if (key < 0 || key >= voices::kKeyCount)
        return;
    held_[static_cast<std::size_t>(key)] = on;
    if (isOn()) {
        if (on)
            live_->noteOn(key, 127);
        else
            live_->noteOff(key);
    }
    keyboard_->SetKeyState(voices::noteNameOfKey(key), on);
    keyboard_->setNeedsRedraw();
    recorder_->look(false);
}

bool LiveModelSession::pressKey(unsigned code, std::string& started) {
    started.clear();
    if (!isOn() || code > 255)
        return false;
    if (code == kSpaceBar) {
        live_->allNotesOff(); // the voices stop, the notes stay held
        recorder_->look(true);
    }
    if (keyDown_[code])
        return true;
    keyDown_[code] = true;
    const int key = midiKeyOfCode(code);
    if (key >= 0 && !held_[static_cast<std::size_t>(key)]) {
        setNote(key, true);
        started = voices::noteNameOfKey(key);
    }
    return false;
}

void LiveModelSession::releaseKey(unsigned code) {
    if (code > 255)
        return;
    keyDown_[code] = false;
    const int key = midiKeyOfCode(code);
    if (key >= 0 && held_[static_cast<std::size_t>(key)])
        setNote(key, false);
}

bool LiveModelSession::pressNote(const std::string& alias) {
    const int key = voices::keyOfNoteName(alias);
    if (!isOn() || key < 0 || key >= voices::kKeyCount)
        return false;
    if (!held_[static_cast<std::size_t>(key)])
        setNote(key, true);
    return true;
}

void LiveModelSession::releaseNote(const std::string& alias) {
    const int key = voices::keyOfNoteName(alias);
    if (key >= 0 && key < voices::kKeyCount && held_[static_cast<std::size_t>(key)])
        setNote(key, false);
}

std::string LiveModelSession::noteForMidiKey(int midiKey) {
    if (!isOn() || midiKey < 0 || midiKey >= voices::kKeyCount || !model_->keySounds(midiKey))
        return {};
    return voices::noteNameOfKey(midiKey);
}

bool LiveModelSession::isSounding(const std::string& alias) const {
    const int key = voices::keyOfNoteName(alias);
    return key >= 0 && key < voices::kKeyCount && held_[static_cast<std::size_t>(key)];
}

std::vector<std::string> LiveModelSession::soundingNotes() const {
    std::vector<std::string> notes;
    for (int key = 0; key < voices::kKeyCount; ++key)
        if (held_[static_cast<std::size_t>(key)])
            notes.push_back(voices::noteNameOfKey(key));
    return notes;
}

void LiveModelSession::mouseDown(int x, int y) {
    if (!isOn())
        return;
    mouseKey_ = keyboard_->HitTest(x, y);
    if (mouseKey_ >= 0)
        setNote(voices::kFirstNoteKey + mouseKey_, true);
}

void LiveModelSession::mouseMove(int x, int y) {
    if (!isOn())
        return;
    const int index = keyboard_->HitTest(x, y);
    if (index == mouseKey_)
        return;
    // The key entered starts before the key left ends, as on an instrument.
    if (index >= 0)
        setNote(voices::kFirstNoteKey + index, true);
    if (mouseKey_ >= 0)
        setNote(voices::kFirstNoteKey + mouseKey_, false);
    mouseKey_ = index;
}

void LiveModelSession::mouseUp(int, int) {
    if (mouseKey_ >= 0)
        setNote(voices::kFirstNoteKey + mouseKey_, false);
    mouseKey_ = -1;
}

void LiveModelSession::paint(pellamy::Canvas& canvas, const pellamy::Rect& rect, bool forceRedraw) {
    keyboard_->Paint(canvas, rect, forceRedraw);
}

pellamy::Rect LiveModelSession::activeArea() {
    return keyboard_->activeArea();
}

// ------------------------------------------------------------ recording

void LiveModelSession::startRecording(const std::string& scriptPath) {
    if (!isOn())
        return;
    recorder_->start(scriptPath);
    scriptPath_ = scriptPath;
}

void LiveModelSession::stopRecording() {
    if (!recorder_->recording())
        return;
    recorder_->stop();
    renderRecording(scriptPath_);
}

bool LiveModelSession::isRecording() const {
    return recorder_->recording();
}

void LiveModelSession::renderRecording(const std::string& scriptPath) const {
    if (!isOn())
        return;
    const voices::Song song = voices::readScriptSong(scriptPath, *model_);
    const voices::OfflineRendering rendering =
        voices::renderOffline(model_, song.events, song.lengthInFrames);
    // Written as every rendered song is: complete under a temporary name, then renamed.
    exchange::SongRendering wav;
    wav.values = rendering.samples;
    wav.sampleRateHz = static_cast<unsigned>(model_->sampleRate());
    wav.channels = 1;
    const std::size_t kept = scriptPath.size() >= 4 ? scriptPath.size() - 4 : scriptPath.size();
    exchange::writeSongWav(wav, scriptPath.substr(0, kept) + ".wav");
}

// ---------------------------------------------------------------- sounds

NoteSamples LiveModelSession::samplesOf(const std::string& alias) {
    const int key = voices::keyOfNoteName(alias);
    if (!isOn() || key < 0 || !model_->keySounds(key))
        return {};
    auto found = renderedNotes_.find(key);
    if (found == renderedNotes_.end()) {
        const auto length = static_cast<std::uint64_t>(model_->noteLengthInFrames());
        const std::vector<voices::KeyEvent> events{{0, voices::KeyEvent::Kind::noteOn, key, 127}};
        NoteSamples note;
        note.samples = voices::renderOffline(model_, events, length, 1).samples;
        note.sampleRate = model_->sampleRate();
        found = renderedNotes_.emplace(key, std::move(note)).first;
    }
    return found->second;
}

std::string LiveModelSession::firstNote() const {
    return isOn() ? voices::noteNameOfKey(voices::kFirstNoteKey) : std::string();
}

pellamy::ClipOutput* LiveModelSession::clipOutput() {
    return output_.get();
}

int LiveModelSession::voicesInUse() const {
    return isOn() ? live_->soundingVoiceCount() : 0;
}

std::uint64_t LiveModelSession::lateBlocks() const {
    return isOn() ? live_->lateBlocks() : 0;
}

std::uint64_t LiveModelSession::blocksRendered() const {
    return isOn() ? live_->blocksRendered() : 0;
}

QString LiveModelSession::statusText() const {
    if (!isOn())
        return {};
    return tr("Live: %1 voices, %2 late blocks").arg(voicesInUse()).arg(lateBlocks());
}

void LiveModelSession::reportStatus() {
    if (!isOn())
        return;
    // Also frees the voice sets the render thread has retired.
    const std::vector<int> refused = live_->refusedKeys();
    for (; refusedKeysReported_ < refused.size(); ++refusedKeysReported_) {
        const int key = refused[refusedKeysReported_];
        emit statusMessage(tr("Key %1 (%2) is too stiff for the rate and was not played")
                               .arg(key)
                               .arg(QString::fromStdString(voices::noteNameOfKey(key))));
    }
    emit liveStatus(statusText());
}

} // namespace kivora
