#include "session/InstrumentSession.h"

#include "common/EngineGuard.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>
#include <pellamy/SoundOutput.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace kivora {

namespace {

const QString kInstrumentFilter = QStringLiteral("insturment file (*.ins)");

} // namespace

InstrumentSession::InstrumentSession(QObject* parent)
    : QObject(parent), fileChooser_(FileChooser::dialogs()), unsavedPrompt_(askAboutUnsavedChanges) {}

InstrumentSession::~InstrumentSession() = default;

const pellamy::InstrumentModel* InstrumentSession::instrument() const {
    return loaded_ ? controller_->instrument() : nullptr;
}

bool InstrumentSession::isSilent() const {
    return loaded_ && controller_->outputDevice() == pellamy::OutputDevice::Silent;
}

template <typename Call>
bool InstrumentSession::call(Call&& engineCall) {
    return guarded(dialogOwner_, std::forward<Call>(engineCall));
}

// ------------------------------------------------------------ replacing

bool InstrumentSession::replaceController(const std::function<void(pellamy::InstrumentController&)>& create) {
    // The old suite goes first: drivers with one device give it to one output at a time.
    controller_.reset();
    controller_ = std::make_unique<pellamy::InstrumentController>();
    try {
        loaded_ = guarded(
            dialogOwner_, [&] { create(*controller_); }, DeviceFailure::Rethrow);
        if (loaded_)
            deviceFailureShown_ = false;
    } catch (const pellamy::InitFailedException&) {
        // Said once while the device stays away; the keyboard plays on silently.
        if (!deviceFailureShown_)
            showMessage(dialogOwner_, currentExceptionText());
        deviceFailureShown_ = true;
        controller_ = std::make_unique<pellamy::InstrumentController>();
        controller_->setOutputDevice(pellamy::OutputDevice::Silent);
        loaded_ = guarded(dialogOwner_, [&] { create(*controller_); });
        if (loaded_)
            emit statusMessage(tr("No sound device: the instrument plays silently"));
    }
    emit instrumentChanged(loaded_);
    emit keyboardChanged({});
    emit stateChanged();
    return loaded_;
}

void InstrumentSession::finishRecording(const QString& reason) {
    if (!isRecording())
        return;
    stopRecording();
    const QString script = melodyPath_;
    const QString wav = script.left(script.size() - 4) + QStringLiteral(".wav");
    emit statusMessage(
        tr("Recording stopped (%1) and rendered to %2").arg(reason, QDir::toNativeSeparators(wav)));
}

bool InstrumentSession::loadFile(const QString& path) {
    const std::string instrumentFile = narrowPath(path);
    // Read once before the current instrument goes: a file that fails must not take it along.
    bool hasSounds = false;
    if (!call([&] {
            pellamy::InstrumentModel probe;
            probe.loadFromFile(instrumentFile);
            hasSounds = probe.soundCount() > 0;
        }))
        return false;
    if (!hasSounds) {
        showMessage(
            dialogOwner_,
            tr("%1 has no sounds; the current instrument is kept").arg(QDir::toNativeSeparators(path)));
        return false;
    }
    finishRecording(tr("another instrument was loaded"));
    const bool loaded = replaceController(
        [&](pellamy::InstrumentController& controller) { controller.CreateInstrumentSuite(instrumentFile); });
    modified_ = false;
    filePath_ = loaded ? path : QString();
    if (loaded) {
        recentFiles_.add(path);
        emit recentFilesChanged();
    }
    emit stateChanged();
    return loaded;
}

bool InstrumentSession::adoptRecords(int count, const pellamy::SoundStreamDescription* records) {
    if (count <= 0 || records == nullptr)
        return false;
    finishRecording(tr("a new instrument was generated"));
    const bool loaded = replaceController(
        [&](pellamy::InstrumentController& controller) { controller.CreateInstrumentSuite(count, records); });
    modified_ = loaded;
    filePath_.clear();
    emit stateChanged();
    return loaded;
}

bool InstrumentSession::saveToFile(const QString& path) {
    if (!loaded_)
        return false;
    if (!call([&] { controller_->SaveInstrument(narrowPath(path), true); }))
        return false;
    modified_ = false;
    filePath_ = path;
    recentFiles_.add(path);
    emit recentFilesChanged();
    emit stateChanged();
    emit statusMessage(tr("Saved the instrument to %1").arg(QDir::toNativeSeparators(path)));
    return true;
}

bool InstrumentSession::maybeSave() {
    if (!loaded_ || !modified_)
        return true;
    switch (unsavedPrompt_(dialogOwner_, tr("The generated instrument has not been saved. Save it?"))) {
    case UnsavedAnswer::Save:
        return save();
    case UnsavedAnswer::Discard:
        return true;
    case UnsavedAnswer::Cancel:
        return false;
    }
    return false;
}

void InstrumentSession::load() {
    if (!maybeSave())
        return;
    const QString path = fileChooser_.openFile(dialogOwner_, kInstrumentFilter, QStringLiteral("ins"));
    if (!path.isEmpty())
        loadFile(path);
}

bool InstrumentSession::loadRecentFile(const QString& path) {
    if (!maybeSave())
        return false;
    if (loadFile(path))
        return true;
    recentFiles_.remove(path);
    emit recentFilesChanged();
    return false;
}

bool InstrumentSession::save() {
    if (!loaded_)
        return false;
    const QString path =
        fileChooser_.saveFile(dialogOwner_, kInstrumentFilter, QStringLiteral("ins"), filePath_);
    return !path.isEmpty() && saveToFile(path);
}

// ------------------------------------------------------------ recording

void InstrumentSession::setMelodyPath(const QString& path) {
    melodyPath_ = path;
    emit stateChanged();
}

bool InstrumentSession::isRecording() const {
    return loaded_ && controller_->IsRendering();
}

void InstrumentSession::startRecording() {
    if (!loaded_ || melodyPath_.isEmpty() || controller_->IsRendering())
        return;
    call([&] { controller_->RenderToFile(narrowPath(melodyPath_), std::string(), false); });
    emit stateChanged();
}

void InstrumentSession::stopRecording() {
    if (!loaded_)
        return;
    call([&] { controller_->RenderStop(); });
    emit stateChanged();
}

// -------------------------------------------------------------- playing

void InstrumentSession::keyboardTouched() {
    pellamy::Rect area{-1, -1, -1, -1};
    call([&] { area = controller_->getActiveArea(); });
    emit keyboardChanged(area.left < 0 ? QRect() : QRect(area.left, area.top, area.width(), area.height()));
}

void InstrumentSession::reportStarted(const std::string& alias) {
    const QString name = QString::fromStdString(alias);
    QMetaObject::invokeMethod(
        this, [this, name] { emit noteStarted(name); }, Qt::QueuedConnection);
}

std::vector<std::string> InstrumentSession::playingAliases() const {
    std::vector<std::string> aliases;
    if (const pellamy::InstrumentModel* model = instrument())
        model->forEachSound([&](const std::string& alias, const pellamy::Sound& sound) {
            if (sound.isPlaying())
                aliases.push_back(alias);
        });
    return aliases;
}

bool InstrumentSession::pressKey(unsigned code) {
    if (!loaded_ || code > 255)
        return false;
    bool repeat = true;
    if (!call([&] { repeat = controller_->KeyPress(code); }))
        return false;
    keyboardTouched();
    if (!repeat) {
        const std::string alias = controller_->instrument()->aliasForKey(code);
        if (!alias.empty())
            reportStarted(alias);
    }
    return true;
}

void InstrumentSession::releaseKey(unsigned code) {
    if (!loaded_ || code > 255)
        return;
    call([&] { controller_->KeyRelease(code, false); });
    keyboardTouched();
}

bool InstrumentSession::pressSound(const std::string& alias) {
    const pellamy::Sound* sound = loaded_ ? controller_->instrument()->soundFor(alias) : nullptr;
    if (sound == nullptr)
        return false;
    const bool alreadyPlaying = sound->isPlaying();
    if (!call([&] { controller_->SoundPress(alias); }))
        return false;
    keyboardTouched();
    if (!alreadyPlaying)
        reportStarted(alias);
    return true;
}

void InstrumentSession::releaseSound(const std::string& alias) {
    if (!loaded_)
        return;
    call([&] { controller_->SoundRelease(alias, false); });
    keyboardTouched();
}

bool InstrumentSession::mouseDown(int x, int y) {
    if (!loaded_)
        return false;
    const std::vector<std::string> before = playingAliases();
    if (!call([&] { controller_->MouseDown(x, y); }))
        return false;
    keyboardTouched();
    for (const std::string& alias : playingAliases())
        if (std::find(before.begin(), before.end(), alias) == before.end()) {
            reportStarted(alias);
            break;
        }
    return true;
}

void InstrumentSession::mouseMove(int x, int y) {
    if (!loaded_)
        return;
    const std::vector<std::string> before = playingAliases();
    if (!call([&] { controller_->MouseMove(x, y, false); }))
        return;
    keyboardTouched();
    for (const std::string& alias : playingAliases())
        if (std::find(before.begin(), before.end(), alias) == before.end()) {
            reportStarted(alias);
            break;
        }
}

void InstrumentSession::mouseUp(int x, int y) {
    if (!loaded_)
        return;
    call([&] { controller_->MouseUp(x, y, false); });
    keyboardTouched();
}

// ---------------------------------------------------------------- sounds

std::string InstrumentSession::firstAlias() const {
    const pellamy::InstrumentModel* model = instrument();
    if (model == nullptr || model->soundCount() == 0)
        return {};
    return model->aliasAt(0);
}

NoteSamples InstrumentSession::samplesOf(const std::string& alias) const {
    NoteSamples note;
    const pellamy::InstrumentModel* model = instrument();
    const pellamy::Sound* sound = model != nullptr ? model->soundFor(alias) : nullptr;
    if (sound == nullptr || sound->channels() == 0)
        return note;
    const std::span<const double> values = sound->samples();
    const std::size_t channels = sound->channels();
    note.samples.reserve(values.size() / channels);
    for (std::size_t i = 0; i < values.size(); i += channels)
        note.samples.push_back(static_cast<std::int16_t>(std::clamp(values[i], -32768.0, 32767.0)));
    note.sampleRate = sound->sampleRate();
    return note;
}

} // namespace kivora
