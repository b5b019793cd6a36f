#include "session/InstrumentSession.h"

#include "common/EngineGuard.h"
#include "common/RenderedFiles.h"

#include <kivora/GenerationReport.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>
#include <pellamy/SoundOutput.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <exception>

namespace kivora {

namespace {

const QString kInstrumentFilter = QStringLiteral("insturment file (*.ins)");

} // namespace

InstrumentSession::InstrumentSession(QObject* parent)
    : QObject(parent), fileChooser_(FileChooser::dialogs()), unsavedPrompt_(askAboutUnsavedChanges) {
    adoptionJob_.setDialogDelayMs(BackgroundJob::kNoDialog);
}

// An instrument built on the adoption job's worker, read on the interface
// thread once the job has joined it. The failures are kept rather than
// thrown: the device's refusal is said once, the instrument's own failure
// leaves no instrument, and both are said through guarded() as before.
struct InstrumentSession::Adoption {
    std::unique_ptr<pellamy::InstrumentController> controller;
    std::exception_ptr failure;       // of the instrument itself
    std::exception_ptr deviceFailure; // the device refused: the controller plays silently
};

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

void InstrumentSession::followController() {
    instrumentPlayer_.setController(loaded_ ? controller_.get() : nullptr);
}

void InstrumentSession::showDeviceFailure(const QString& text) {
    // Said once while the device stays away; the keyboard plays on silently.
    if (!deviceFailureShown_)
        showMessage(dialogOwner_, text);
    deviceFailureShown_ = true;
}

// ------------------------------------------------------------ replacing

bool InstrumentSession::replaceController(const std::function<void(pellamy::InstrumentController&)>& create) {
    finishAdopting(); // whatever replaces it comes after the instrument being built
    // The old suite goes first: drivers with one device give it to one output at a time.
    controller_.reset();
    loaded_ = false;
    comments_.clear();
    ++instrumentNumber_;
    followController();
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
        showDeviceFailure(currentExceptionText());
        controller_ = std::make_unique<pellamy::InstrumentController>();
        controller_->setOutputDevice(pellamy::OutputDevice::Silent);
        loaded_ = guarded(dialogOwner_, [&] { create(*controller_); });
        if (loaded_)
            emit statusMessage(tr("No sound device: the instrument plays silently"));
    }
    followController();
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
    std::vector<std::string> provenance; // a generated instrument saved again still says where it came from
    if (!call([&] {
            pellamy::InstrumentModel probe;
            probe.loadFromFile(instrumentFile);
            hasSounds = probe.soundCount() > 0;
            provenance = provenanceOf(pellamy::InstrumentModel::leadingCommentsOf(instrumentFile));
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
        comments_ = std::move(provenance);
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
    if (count <= 0 || records == nullptr || isAdopting())
        return false;
    if (!liveMode_)
        finishRecording(tr("a new instrument was generated"));
    // The old suite goes first: drivers with one device give it to one output at a time.
    controller_.reset();
    loaded_ = false;
    comments_.clear();
    ++instrumentNumber_;
    followController();
    modified_ = false;
    filePath_.clear();
    emit instrumentChanged(false);
    emit keyboardChanged({});
    emit stateChanged();

    auto adopted = std::make_shared<Adoption>();
    const pellamy::OutputDevice device =
        liveMode_ ? pellamy::OutputDevice::Silent : pellamy::OutputDevice::Default;
    // The records are not the session's: the caller keeps them until `done`.
    auto build = [adopted, count, records, device](const BackgroundJob::StopCheck&) {
        auto make = [&](pellamy::OutputDevice output) {
            adopted->controller = std::make_unique<pellamy::InstrumentController>();
            adopted->controller->setOutputDevice(output);
            adopted->controller->CreateInstrumentSuite(count, records);
        };
        try {
            try {
                make(device);
            } catch (const pellamy::InitFailedException&) {
                adopted->deviceFailure = std::current_exception();
                make(pellamy::OutputDevice::Silent);
            }
        } catch (...) {
            adopted->failure = std::current_exception();
        }
    };
    return adoptionJob_.start(std::move(build),
                              [this, adopted, done = std::move(done)] { installAdopted(*adopted, done); });
}

void InstrumentSession::finishAdopting() {
    adoptionJob_.wait();
}

void InstrumentSession::installAdopted(Adoption& adopted, const std::function<void(bool)>& done) {
    if (adopted.deviceFailure) {
        // Said once while the device stays away; the keyboard plays on silently.
        if (!deviceFailureShown_) {
            const std::exception_ptr failure = adopted.deviceFailure;
            guarded(dialogOwner_, [failure] { std::rethrow_exception(failure); });
        }
        deviceFailureShown_ = true;
    }
    if (adopted.failure) {
        const std::exception_ptr failure = adopted.failure;
        guarded(dialogOwner_, [failure] { std::rethrow_exception(failure); });
        controller_.reset();
        loaded_ = false;
    } else {
        controller_ = std::move(adopted.controller);
        loaded_ = true;
        if (!adopted.deviceFailure)
            deviceFailureShown_ = false;
        else if (!liveMode_)
            emit statusMessage(tr("No sound device: the instrument plays silently"));
    }
    modified_ = loaded_;
    followController();
    emit instrumentChanged(loaded_);
    emit keyboardChanged({});
    emit stateChanged();
    if (done)
        done(loaded_);
}

bool InstrumentSession::saveToFile(const QString& path) {
    if (!loaded_)
        return false;
    if (!call([&] {
            controller_->setInstrumentComments(comments_);
            controller_->SaveInstrument(narrowPath(path), true);
        }))
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
    return player().isRecording();
}

void InstrumentSession::startRecording() {
    Player& player = this->player();
    if (!player.isPlayable() || melodyPath_.isEmpty() || player.isRecording())
        return;
    call([&] { player.startRecording(narrowPath(melodyPath_)); });
    emit stateChanged();
}

void InstrumentSession::stopRecording() {
    Player& player = this->player();
    const bool recording = player.isRecording();
    const bool rendered = call([&] { player.stopRecording(); });
    // Playing the script later replaces its own rendering without asking.
    if (rendered && recording)
        rememberRendering(melodyPath_.left(melodyPath_.size() - 4) + QStringLiteral(".wav"), melodyPath_);
    emit stateChanged();
}

// ------------------------------------------------------------ live mode

void InstrumentSession::moveInstrumentOutput(bool toDevice) {
    if (!loaded_)
        return;
    try {
        guarded(
            dialogOwner_,
            [&] { toDevice ? instrumentPlayer_.takeDevice() : instrumentPlayer_.releaseDevice(); },
            DeviceFailure::Rethrow);
    } catch (const pellamy::InitFailedException&) {
        showDeviceFailure(currentExceptionText());
        emit statusMessage(tr("No sound device: the instrument plays silently"));
    }
}

bool InstrumentSession::setLiveMode(bool on) {
    if (on == liveMode_)
        return true;
    if (live_ == nullptr)
        return false;
    if (on && !live_->prepare()) {
        emit stateChanged();
        return false;
    }
    finishRecording(on ? tr("the model is played live") : tr("the model is no longer played live"));
    // The player going gives the device up before the one coming takes it.
    if (on) {
        moveInstrumentOutput(false);
        liveMode_ = true;
        live_->takeDevice();
    } else {
        live_->releaseDevice();
        liveMode_ = false;
        moveInstrumentOutput(true);
    }
    emit instrumentChanged(loaded_); // the keyboard changed, and what the panes show
    emit keyboardChanged({});
    emit stateChanged();
    return true;
}

// -------------------------------------------------------------- playing

void InstrumentSession::keyboardTouched() {
    pellamy::Rect area{-1, -1, -1, -1};
    call([&] { area = player().activeArea(); });
    emit keyboardChanged(area.left < 0 ? QRect() : QRect(area.left, area.top, area.width(), area.height()));
}

void InstrumentSession::reportStarted(const std::string& alias) {
    const QString name = QString::fromStdString(alias);
    QMetaObject::invokeMethod(
        this, [this, name] { emit noteStarted(name); }, Qt::QueuedConnection);
}

void InstrumentSession::reportFirstStarted(const std::vector<std::string>& soundingBefore) {
    for (const std::string& alias : player().soundingNotes())
        if (std::find(soundingBefore.begin(), soundingBefore.end(), alias) == soundingBefore.end()) {
            reportStarted(alias);
            return;
        }
}

bool InstrumentSession::pressKey(unsigned code) {
    Player& player = this->player();
    if (!player.isPlayable() || code > 255)
        return false;
    bool repeat = true;
    std::string started;
    if (!call([&] { repeat = player.pressKey(code, started); }))
        return false;
    keyboardTouched();
    if (!repeat && !started.empty())
        reportStarted(started);
    return true;
}

void InstrumentSession::releaseKey(unsigned code) {
    Player& player = this->player();
    if (!player.isPlayable() || code > 255)
        return;
    call([&] { player.releaseKey(code); });
    keyboardTouched();
}

bool InstrumentSession::pressSound(const std::string& alias) {
    Player& player = this->player();
    if (!player.isPlayable())
        return false;
    const bool alreadySounding = player.isSounding(alias);
    bool pressed = false;
    if (!call([&] { pressed = player.pressNote(alias); }) || !pressed)
        return false;
    keyboardTouched();
    if (!alreadySounding)
        reportStarted(alias);
    return true;
}

void InstrumentSession::releaseSound(const std::string& alias) {
    Player& player = this->player();
    if (!player.isPlayable())
        return;
    call([&] { player.releaseNote(alias); });
    keyboardTouched();
}

std::string InstrumentSession::aliasForMidiKey(int midiKey) {
    std::string alias;
    call([&] { alias = player().noteForMidiKey(midiKey); });
    return alias;
}

bool InstrumentSession::mouseDown(int x, int y) {
    Player& player = this->player();
    if (!player.isPlayable())
        return false;
    const std::vector<std::string> before = player.soundingNotes();
    if (!call([&] { player.mouseDown(x, y); }))
        return false;
    keyboardTouched();
    reportFirstStarted(before);
    return true;
}

void InstrumentSession::mouseMove(int x, int y) {
    Player& player = this->player();
    if (!player.isPlayable())
        return;
    const std::vector<std::string> before = player.soundingNotes();
    if (!call([&] { player.mouseMove(x, y); }))
        return;
    keyboardTouched();
    reportFirstStarted(before);
}

void InstrumentSession::mouseUp(int x, int y) {
    Player& player = this->player();
    if (!player.isPlayable())
        return;
    call([&] { player.mouseUp(x, y); });
    keyboardTouched();
}

// ---------------------------------------------------------------- sounds

std::string InstrumentSession::firstAlias() const {
    return player().firstNote();
}

NoteSamples InstrumentSession::samplesOf(const std::string& alias) {
    return player().samplesOf(alias);
}

} // namespace kivora
