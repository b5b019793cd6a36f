#include "session/LiveModelSession.h"

#include "common/EngineGuard.h"
#include "session/ModelSession.h"

#include <kivora/exchange/SongRenderer.h>
#include <kivora/voices/LiveVoices.h>
#include <kivora/voices/ScriptSong.h>
#include <kivora/voices/VoiceBank.h>
#include <kivora/voices/VoiceModel.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/InstrumentController.h>
#include <pellamy/SoundOutput.h>
#include <pellamy/StreamOutput.h>
#include <pellamy/WaveFormat.h>

#include <vector>

namespace kivora {

namespace {

constexpr unsigned kDeviceChannels = 2;
constexpr std::uint32_t kDeviceBufferFrames = 256;
constexpr int kPlaceholderFrames = 64;

std::shared_ptr<const voices::VoiceModel> prepareModel(muntero::ModelSnapshot snapshot) {
    return std::make_shared<const voices::VoiceModel>(std::move(snapshot), voices::VoiceSettings{});
}

pellamy::WAVEFORMATEX monoFormat(int rate) {
    pellamy::WAVEFORMATEX format;
    format.wFormatTag = pellamy::kWaveFormatPcm;
    format.nChannels = 1;
    format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    return format;
}

// One silent sound per note a generation of the default settings makes,
// named as the generator names them, on a silent output.
std::unique_ptr<pellamy::InstrumentController> makeKeyboard(int rate) {
    const int noteCount = 12 * GenerationSettings{}.octaves;
    static const std::vector<std::int16_t> silence(kPlaceholderFrames, 0);
    std::vector<pellamy::SoundStreamDescription> records(static_cast<std::size_t>(noteCount));
    for (int note = 0; note < noteCount; ++note) {
        pellamy::SoundStreamDescription& record = records[static_cast<std::size_t>(note)];
        record.name = voices::noteNameOfKey(voices::kFirstNoteKey + note);
        record.format = monoFormat(rate);
        record.dataBytes = static_cast<std::uint32_t>(silence.size() * 2);
        record.data = silence.data();
    }
    auto keyboard = std::make_unique<pellamy::InstrumentController>();
    keyboard->setOutputDevice(pellamy::OutputDevice::Silent);
    keyboard->CreateInstrumentSuite(noteCount, records.data());
    return keyboard;
}

} // namespace

LiveModelSession::LiveModelSession(ModelSession& model, QObject* parent)
    : QObject(parent), modelSession_(model),
      preparer_(
          this,
          [this](std::uint64_t, std::shared_ptr<const voices::VoiceModel> prepared) { adoptModel(prepared); },
          [this](std::uint64_t, const QString& text) {
              if (isOn())
                  emit statusMessage(tr("The edited model cannot be played live (%1): the keys play it as "
                                        "it was before")
                                         .arg(text));
          }) {
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
    std::unique_ptr<pellamy::InstrumentController> keyboard;
    if (!guarded(dialogOwner_, [&] { keyboard = makeKeyboard(model->sampleRate()); }))
        return false;
    auto live = std::make_unique<voices::LiveVoices>(model);
    live->setDeviceChannels(kDeviceChannels);
    model_ = std::move(model);
    keyboard_ = std::move(keyboard);
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
    keyboard_.reset();
    model_.reset();
    renderedNotes_.clear();
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

void LiveModelSession::noteOn(const std::string& alias) {
    const int key = voices::keyOfNoteName(alias);
    if (isOn() && key >= 0)
        live_->noteOn(key, 127);
}

void LiveModelSession::noteOff(const std::string& alias) {
    const int key = voices::keyOfNoteName(alias);
    if (isOn() && key >= 0)
        live_->noteOff(key);
}

void LiveModelSession::allNotesOff() {
    if (isOn())
        live_->allNotesOff();
}

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

void LiveModelSession::renderRecording(const QString& scriptPath) const {
    if (!isOn())
        return;
    const std::string script = narrowPath(scriptPath);
    const voices::Song song = voices::readScriptSong(script, *model_);
    const voices::OfflineRendering rendering =
        voices::renderOffline(model_, song.events, song.lengthInFrames);
    // Written as every rendered song is: complete under a temporary name, then renamed.
    exchange::SongRendering wav;
    wav.values = rendering.samples;
    wav.sampleRateHz = static_cast<unsigned>(model_->sampleRate());
    wav.channels = 1;
    exchange::writeSongWav(wav, narrowPath(scriptPath.left(scriptPath.size() - 4) + QStringLiteral(".wav")));
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
