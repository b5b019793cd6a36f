#include "session/InstrumentSession.h"

#include "common/EngineGuard.h"
#include "common/RenderedFiles.h"
#include "session/LiveModelSession.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>
#include <pellamy/SoundOutput.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <exception>
#include <thread>

namespace kivora {

namespace {

const QString kInstrumentFilter = QStringLiteral("insturment file (*.ins)");
constexpr unsigned kSpaceBar = 32;

} // namespace

InstrumentSession::InstrumentSession(QObject* parent)
    : QObject(parent), fileChooser_(FileChooser::dialogs()), unsavedPrompt_(askAboutUnsavedChanges) {}

// An instrument built on a worker thread. The worker writes the fields
// before it posts its end; the interface thread reads them after joining.
struct InstrumentSession::Adoption {
    std::unique_ptr<pellamy::InstrumentController> controller;
    std::exception_ptr failure;       // of the instrument itself
    std::exception_ptr deviceFailure; // the device refused: the controller plays silently
    std::function<void(bool)> done;
    std::thread worker;
};

InstrumentSession::~InstrumentSession() {
    if (adoption_ && adoption_->worker.joinable())
        adoption_->worker.join();
}

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
    finishAdopting(); // whatever replaces it comes after the instrument being built
    // The old suite goes first: drivers with one device give it to one output at a time.
    controller_.reset();
    controller_ = std::make_unique<pellamy::InstrumentController>();
    // While the model plays live, its voices have the device.
    if (liveMode_)
        controller_->setOutputDevice(pellamy::OutputDevice::Silent);
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
    if (!liveMode_) // a live recording records the voices, not the instrument
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
    if (!liveMode_) // a live recording records the voices, not the instrument
        finishRecording(tr("a new instrument was generated"));
    const bool loaded = replaceController(
        [&](pellamy::InstrumentController& controller) { controller.CreateInstrumentSuite(count, records); });
    modified_ = loaded;
    filePath_.clear();
    emit stateChanged();
    return loaded;
}

bool InstrumentSession::adoptRecordsInBackground(int count, const pellamy::SoundStreamDescription* records,
                                                 std::function<void(bool)> done) {
    if (count <= 0 || records == nullptr || adoption_)
        return false;
    if (!liveMode_)
        finishRecording(tr("a new instrument was generated"));
    // The old suite goes first: drivers with one device give it to one output at a time.
    controller_.reset();
    loaded_ = false;
    modified_ = false;
    filePath_.clear();
    emit instrumentChanged(false);
    emit keyboardChanged({});
    emit stateChanged();

    auto adoption = std::make_unique<Adoption>();
    adoption->done = std::move(done);
    Adoption* job = adoption.get();
    const pellamy::OutputDevice device =
        liveMode_ ? pellamy::OutputDevice::Silent : pellamy::OutputDevice::Default;
    adoption->worker = std::thread([this, job, count, records, device] {
        auto build = [&](pellamy::OutputDevice output) {
            job->controller = std::make_unique<pellamy::InstrumentController>();
            job->controller->setOutputDevice(output);
            job->controller->CreateInstrumentSuite(count, records);
        };
        try {
            try {
                build(device);
            } catch (const pellamy::InitFailedException&) {
                job->deviceFailure = std::current_exception();
                build(pellamy::OutputDevice::Silent);
            }
        } catch (...) {
            job->failure = std::current_exception();
        }
        QMetaObject::invokeMethod(
            this, [this] { installAdopted(); }, Qt::QueuedConnection);
    });
    adoption_ = std::move(adoption);
    return true;
}

void InstrumentSession::finishAdopting() {
    if (adoption_)
        installAdopted();
}

void InstrumentSession::installAdopted() {
    if (!adoption_)
        return; // installed already, by finishAdopting
    std::unique_ptr<Adoption> job = std::move(adoption_);
    job->worker.join();
    if (job->deviceFailure) {
        // Said once while the device stays away; the keyboard plays on silently.
        if (!deviceFailureShown_) {
            const std::exception_ptr failure = job->deviceFailure;
            guarded(dialogOwner_, [failure] { std::rethrow_exception(failure); });
        }
        deviceFailureShown_ = true;
    }
    if (job->failure) {
        const std::exception_ptr failure = job->failure;
        guarded(dialogOwner_, [failure] { std::rethrow_exception(failure); });
        controller_.reset();
        loaded_ = false;
    } else {
        controller_ = std::move(job->controller);
        loaded_ = true;
        if (!job->deviceFailure)
            deviceFailureShown_ = false;
        else if (!liveMode_)
            emit statusMessage(tr("No sound device: the instrument plays silently"));
    }
    modified_ = loaded_;
    emit instrumentChanged(loaded_);
    emit keyboardChanged({});
    emit stateChanged();
    if (job->done)
        job->done(loaded_);
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
    return settleUnsavedChanges(unsavedPrompt_, dialogOwner_,
                                tr("The generated instrument has not been saved. Save it?"),
                                [this] { return save(); });
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
    pellamy::InstrumentController* keyboard = keyboardController();
    return keyboard != nullptr && keyboard->IsRendering();
}

void InstrumentSession::startRecording() {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr || melodyPath_.isEmpty() || keyboard->IsRendering())
        return;
    call([&] { keyboard->RenderToFile(narrowPath(melodyPath_), std::string(), false); });
    emit stateChanged();
}

void InstrumentSession::stopRecording() {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr)
        return;
    const bool recording = keyboard->IsRendering();
    // Live, the keyboard's silent rendering is replaced by the voices'.
    bool rendered = call([&] { keyboard->RenderStop(); });
    if (rendered && liveMode_ && recording)
        rendered = call([&] { live_->renderRecording(melodyPath_); });
    // Playing the script later replaces its own rendering without asking.
    if (rendered && recording)
        rememberRendering(melodyPath_.left(melodyPath_.size() - 4) + QStringLiteral(".wav"), melodyPath_);
    emit stateChanged();
}

// ------------------------------------------------------------ live mode

pellamy::InstrumentController* InstrumentSession::keyboardController() const {
    return liveMode_ ? live_->keyboard() : controller();
}

const pellamy::InstrumentModel* InstrumentSession::keyboardInstrument() const {
    const pellamy::InstrumentController* keyboard = keyboardController();
    return keyboard != nullptr ? keyboard->instrument() : nullptr;
}

bool InstrumentSession::setLiveMode(bool on) {
    if (on == liveMode_)
        return true;
    if (live_ == nullptr)
        return false;
    finishRecording(on ? tr("the model is played live") : tr("the model is no longer played live"));
    if (on) {
        if (!live_->start()) {
            emit stateChanged();
            return false;
        }
        liveMode_ = true;
        reopenInstrument(); // gives the device up first
        live_->openOutput();
    } else {
        live_->stop();
        liveMode_ = false;
        reopenInstrument();
    }
    if (!loaded_) {
        // The keyboard changed all the same (reopening says so for an instrument).
        emit instrumentChanged(false);
        emit keyboardChanged({});
    }
    emit stateChanged();
    return true;
}

void InstrumentSession::reopenInstrument() {
    if (!loaded_)
        return;
    // The controller keeps the output it was made with: the instrument is
    // made again from a copy, with its keys, names and file unchanged.
    const QTemporaryDir folder;
    const std::string copy = narrowPath(folder.filePath(QStringLiteral("instrument.ins")));
    if (!folder.isValid() || !call([&] { controller_->SaveInstrument(copy, false); }))
        return;
    replaceController(
        [&](pellamy::InstrumentController& controller) { controller.CreateInstrumentSuite(copy); });
}

std::vector<std::string> InstrumentSession::aliasesBeforeLiveCall() const {
    return liveMode_ ? playingAliases() : std::vector<std::string>();
}

void InstrumentSession::followLive(const std::vector<std::string>& before) {
    if (!liveMode_)
        return;
    const std::vector<std::string> after = playingAliases();
    const auto contains = [](const std::vector<std::string>& aliases, const std::string& alias) {
        return std::find(aliases.begin(), aliases.end(), alias) != aliases.end();
    };
    for (const std::string& alias : before)
        if (!contains(after, alias))
            live_->noteOff(alias);
    for (const std::string& alias : after)
        if (!contains(before, alias))
            live_->noteOn(alias);
}

// -------------------------------------------------------------- playing

void InstrumentSession::keyboardTouched() {
    pellamy::Rect area{-1, -1, -1, -1};
    call([&] { area = keyboardController()->getActiveArea(); });
    emit keyboardChanged(area.left < 0 ? QRect() : QRect(area.left, area.top, area.width(), area.height()));
}

void InstrumentSession::reportStarted(const std::string& alias) {
    const QString name = QString::fromStdString(alias);
    QMetaObject::invokeMethod(
        this, [this, name] { emit noteStarted(name); }, Qt::QueuedConnection);
}

void InstrumentSession::reportFirstStarted(const std::vector<std::string>& playingBefore) {
    for (const std::string& alias : playingAliases())
        if (std::find(playingBefore.begin(), playingBefore.end(), alias) == playingBefore.end()) {
            reportStarted(alias);
            return;
        }
}

std::vector<std::string> InstrumentSession::playingAliases() const {
    std::vector<std::string> aliases;
    if (const pellamy::InstrumentModel* model = keyboardInstrument())
        model->forEachSound([&](const std::string& alias, const pellamy::Sound& sound) {
            if (sound.isPlaying())
                aliases.push_back(alias);
        });
    return aliases;
}

bool InstrumentSession::pressKey(unsigned code) {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr || code > 255)
        return false;
    const std::vector<std::string> before = aliasesBeforeLiveCall();
    bool repeat = true;
    if (!call([&] { repeat = keyboard->KeyPress(code); }))
        return false;
    followLive(before);
    if (liveMode_ && code == kSpaceBar)
        live_->allNotesOff(); // the keyboard's sounds stop, its notes stay held
    keyboardTouched();
    if (!repeat) {
        const std::string alias = keyboard->instrument()->aliasForKey(code);
        if (!alias.empty())
            reportStarted(alias);
    }
    return true;
}

void InstrumentSession::releaseKey(unsigned code) {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr || code > 255)
        return;
    const std::vector<std::string> before = aliasesBeforeLiveCall();
    call([&] { keyboard->KeyRelease(code, false); });
    followLive(before);
    keyboardTouched();
}

bool InstrumentSession::pressSound(const std::string& alias) {
    pellamy::InstrumentController* keyboard = keyboardController();
    const pellamy::Sound* sound = keyboard != nullptr ? keyboard->instrument()->soundFor(alias) : nullptr;
    if (sound == nullptr)
        return false;
    const bool alreadyPlaying = sound->isPlaying();
    const std::vector<std::string> before = aliasesBeforeLiveCall();
    if (!call([&] { keyboard->SoundPress(alias); }))
        return false;
    followLive(before);
    keyboardTouched();
    if (!alreadyPlaying)
        reportStarted(alias);
    return true;
}

void InstrumentSession::releaseSound(const std::string& alias) {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr)
        return;
    const std::vector<std::string> before = aliasesBeforeLiveCall();
    call([&] { keyboard->SoundRelease(alias, false); });
    followLive(before);
    keyboardTouched();
}

bool InstrumentSession::mouseDown(int x, int y) {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr)
        return false;
    const std::vector<std::string> before = playingAliases();
    if (!call([&] { keyboard->MouseDown(x, y); }))
        return false;
    followLive(before);
    keyboardTouched();
    reportFirstStarted(before);
    return true;
}

void InstrumentSession::mouseMove(int x, int y) {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr)
        return;
    const std::vector<std::string> before = playingAliases();
    if (!call([&] { keyboard->MouseMove(x, y, false); }))
        return;
    followLive(before);
    keyboardTouched();
    reportFirstStarted(before);
}

void InstrumentSession::mouseUp(int x, int y) {
    pellamy::InstrumentController* keyboard = keyboardController();
    if (keyboard == nullptr)
        return;
    const std::vector<std::string> before = aliasesBeforeLiveCall();
    call([&] { keyboard->MouseUp(x, y, false); });
    followLive(before);
    keyboardTouched();
}

// ---------------------------------------------------------------- sounds

std::string InstrumentSession::firstAlias() const {
    const pellamy::InstrumentModel* model = keyboardInstrument();
    if (model == nullptr || model->soundCount() == 0)
        return {};
    return model->aliasAt(0);
}

NoteSamples InstrumentSession::samplesOf(const std::string& alias) const {
    if (liveMode_)
        return live_->samplesOf(alias);
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
