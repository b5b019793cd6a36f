#include "piano/CPianoFrame.h"

#include "common/EngineGuard.h"
#include "piano/KeyCodes.h"
#include "piano/PainterCanvas.h"
#include "window/WindowMessages.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

namespace kivora {

namespace {

const QString kInstrumentFilter = QStringLiteral("insturment file (*.ins)");
const QString kScriptFilter = QStringLiteral("Melody script file (*.snc)");

// The toolbar's pictures, 24 × 28 pixels, drawn rather than shipped.
enum class Glyph { SingleSound, GenerateNotes, StartRecording, StopRecording, Save, Load, Melody, Play };

QIcon drawIcon(Glyph glyph) {
    QPixmap pixmap(24, 28);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1.5));
    auto note = [&](qreal x, qreal y) {
        painter.setBrush(Qt::black);
        painter.drawEllipse(QPointF(x, y), 3.0, 2.3);
        painter.drawLine(QPointF(x + 2.8, y), QPointF(x + 2.8, y - 12));
    };
    switch (glyph) {
    case Glyph::SingleSound:
        note(10, 19);
        break;
    case Glyph::GenerateNotes:
        note(6, 20);
        note(15, 17);
        painter.drawLine(QPointF(8.8, 8), QPointF(17.8, 5));
        break;
    case Glyph::StartRecording:
        painter.setBrush(QColor(220, 0, 0));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPointF(12, 14), 7, 7);
        break;
    case Glyph::StopRecording:
        painter.setBrush(Qt::black);
        painter.drawRect(QRectF(6, 8, 12, 12));
        break;
    case Glyph::Save:
        painter.setBrush(QColor(60, 90, 170));
        painter.drawRect(QRectF(4, 6, 16, 16));
        painter.setBrush(Qt::white);
        painter.drawRect(QRectF(8, 6, 8, 6));
        break;
    case Glyph::Load: {
        painter.setBrush(QColor(230, 190, 80));
        QPainterPath folder;
        folder.moveTo(3, 9);
        folder.lineTo(9, 9);
        folder.lineTo(11, 11);
        folder.lineTo(21, 11);
        folder.lineTo(21, 22);
        folder.lineTo(3, 22);
        folder.closeSubpath();
        painter.drawPath(folder);
        break;
    }
    case Glyph::Melody:
        painter.setBrush(Qt::white);
        painter.drawRect(QRectF(5, 4, 14, 20));
        note(10, 18);
        break;
    case Glyph::Play: {
        painter.setBrush(QColor(0, 150, 0));
        const QPointF triangle[] = {{7, 7}, {19, 14}, {7, 21}};
        painter.drawPolygon(triangle, 3);
        break;
    }
    }
    return QIcon(pixmap);
}

} // namespace

// ---------------------------------------------------------------- CPianoView

CPianoView::CPianoView(QWidget* parent) : QWidget(parent), fileChooser_(FileChooser::dialogs()) {
    setObjectName(QStringLiteral("CPianoView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setAutoFillBackground(false);
    setMinimumSize(0, 0);
    melodyCommand_ = std::make_unique<MelodyCommand>(
        MelodyCommand::Context{this, [this] { return loaded_ ? controller_->instrument() : nullptr; },
                               [this] { return controller_ ? controller_->soundOutput() : nullptr; },
                               [this](const QString& text) { emit statusMessage(text); }});
}

CPianoView::~CPianoView() = default;

bool CPianoView::replaceController(const std::function<void(pellamy::InstrumentController&)>& create) {
    // The previous instrument goes before the new one is made, even when the
    // new one fails.
    heldKeys_.clear();
    mouseDown_ = false;
    controller_.reset();
    controller_ = std::make_unique<pellamy::InstrumentController>();
    try {
        loaded_ = guarded(
            this, [&] { create(*controller_); }, DeviceFailure::Rethrow);
    } catch (const pellamy::InitFailedException&) {
        // No sound device: say so once, then play on SDL's silent driver.
        showMessage(this, currentExceptionText());
        qputenv("SDL_AUDIODRIVER", "dummy");
        controller_ = std::make_unique<pellamy::InstrumentController>();
        loaded_ = guarded(this, [&] { create(*controller_); });
    }
    update();
    emit instrumentChanged(loaded_);
    emit stateChanged();
    return loaded_;
}

bool CPianoView::loadInstrumentFile(const QString& path) {
    const std::string instrumentFile = narrowPath(path);
    // An instrument without sounds would replace a playable one with a silent
    // keyboard; such a file is refused before the current instrument goes.
    // A file that cannot be read is left to the load, which reports it.
    try {
        if (pellamy::InstrumentModel::soundFilesOf(instrumentFile).empty()) {
            showMessage(
                this,
                tr("%1 has no sounds; the current instrument is kept").arg(QDir::toNativeSeparators(path)));
            return false;
        }
    } catch (...) {
    }
    return replaceController(
        [&](pellamy::InstrumentController& controller) { controller.CreateInstrumentSuite(instrumentFile); });
}

void CPianoView::instrumentFromRecords(int count, const pellamy::SoundStreamDescription* records) {
    replaceController(
        [&](pellamy::InstrumentController& controller) { controller.CreateInstrumentSuite(count, records); });
}

void CPianoView::loadInstrument() {
    const QString path = fileChooser_.openFile(this, kInstrumentFilter, QStringLiteral("ins"));
    if (path.isEmpty())
        return;
    loadInstrumentFile(path);
}

void CPianoView::saveInstrument() {
    if (!loaded_)
        return;
    const QString path = fileChooser_.saveFile(this, kInstrumentFilter, QStringLiteral("ins"));
    if (path.isEmpty())
        return;
    guarded(this, [&] { controller_->SaveInstrument(narrowPath(path), true); });
}

bool CPianoView::isRecording() const {
    return loaded_ && controller_->IsRendering();
}

void CPianoView::startRecording() {
    if (!loaded_ || melodyPath_.isEmpty() || controller_->IsRendering())
        return;
    guarded(this, [&] { controller_->RenderToFile(narrowPath(melodyPath_), std::string(), false); });
    emit stateChanged();
}

void CPianoView::stopRecording() {
    if (!loaded_)
        return;
    guarded(this, [&] { controller_->RenderStop(); });
    emit stateChanged();
}

void CPianoView::playMelody() {
    melodyCommand_->run(fileChooser_);
}

std::string CPianoView::firstAlias() const {
    const pellamy::InstrumentModel* instrument = controller_ ? controller_->instrument() : nullptr;
    if (!loaded_ || instrument == nullptr || instrument->soundCount() == 0)
        return {};
    return instrument->aliasAt(0);
}

NoteSamples CPianoView::samplesOf(const std::string& alias) const {
    NoteSamples note;
    const pellamy::InstrumentModel* instrument = controller_ ? controller_->instrument() : nullptr;
    if (!loaded_ || instrument == nullptr)
        return note;
    const pellamy::Sound* sound = instrument->soundFor(alias);
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

std::set<std::string> CPianoView::playingAliases() const {
    std::set<std::string> aliases;
    if (const pellamy::InstrumentModel* instrument = controller_->instrument())
        instrument->forEachSound([&](const std::string& alias, const pellamy::Sound& sound) {
            if (sound.isPlaying())
                aliases.insert(alias);
        });
    return aliases;
}

void CPianoView::reportStartedNote(const std::set<std::string>& playingBefore) {
    for (const std::string& alias : playingAliases()) {
        if (playingBefore.count(alias) == 0) {
            const QString name = QString::fromStdString(alias);
            QMetaObject::invokeMethod(
                this, [this, name] { emit noteStarted(name); }, Qt::QueuedConnection);
            return;
        }
    }
}

void CPianoView::repaintActiveArea() {
    pellamy::Rect area{-1, -1, -1, -1};
    guarded(this, [&] { area = controller_->getActiveArea(); });
    if (area.left < 0)
        update();
    else
        update(QRect(area.left, area.top, area.width(), area.height()));
}

bool CPianoView::event(QEvent* event) {
    if (event->type() == eventType(WM_INSTRUMENT_READY)) {
        // The run is over: the frame's commands come back first.
        if (auto* parentFrame = qobject_cast<CPianoFrame*>(parentWidget())) {
            WindowMessageEvent runOver(WM_INSTRUMENT_READY);
            QCoreApplication::sendEvent(parentFrame, &runOver);
        }
        const auto* ready = static_cast<SoundRecordsEvent*>(event);
        instrumentFromRecords(ready->count(), ready->records());
        return true;
    }
    return QWidget::event(event);
}

void CPianoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!loaded_) {
        painter.fillRect(rect(), palette().window());
        return;
    }
    PainterCanvas canvas(painter, picturePool_);
    const pellamy::Rect client{0, 0, width(), height()};
    try {
        controller_->VisualUpdate(canvas, client, true);
    } catch (...) {
        // Not from inside a paint: the box would paint again.
        const QString text = currentExceptionText();
        QMetaObject::invokeMethod(
            this, [this, text] { showMessage(this, text); }, Qt::QueuedConnection);
    }
}

void CPianoView::keyPressEvent(QKeyEvent* event) {
    const int code = keyCodeForEvent(*event);
    if (!loaded_ || code < 0 || code > 255 || !pressPlaysNote(*event)) {
        event->ignore();
        return;
    }
    // Held keys are released when the window loses the focus, which takes
    // their releases elsewhere; a MIDI keyboard's notes keep theirs.
    if (pressKey(static_cast<unsigned>(code)))
        heldKeys_.insert(static_cast<unsigned>(code));
}

bool CPianoView::pressKey(unsigned key) {
    if (!loaded_ || key > 255)
        return false;
    bool repeat = true;
    if (!guarded(this, [&] { repeat = controller_->KeyPress(key); }))
        return false;
    repaintActiveArea();
    if (!repeat) {
        const std::string alias = controller_->instrument()->aliasForKey(key);
        if (!alias.empty()) {
            const QString name = QString::fromStdString(alias);
            QMetaObject::invokeMethod(
                this, [this, name] { emit noteStarted(name); }, Qt::QueuedConnection);
        }
    }
    return true;
}

bool CPianoView::pressSound(const std::string& alias) {
    const pellamy::Sound* sound = loaded_ ? controller_->instrument()->soundFor(alias) : nullptr;
    if (sound == nullptr)
        return false;
    const bool alreadyPlaying = sound->isPlaying();
    if (!guarded(this, [&] { controller_->SoundPress(alias); }))
        return false;
    repaintActiveArea();
    if (alreadyPlaying)
        return true;
    const QString name = QString::fromStdString(alias);
    QMetaObject::invokeMethod(
        this, [this, name] { emit noteStarted(name); }, Qt::QueuedConnection);
    return true;
}

void CPianoView::releaseSound(const std::string& alias) {
    if (!loaded_)
        return;
    guarded(this, [&] { controller_->SoundRelease(alias, false); });
    repaintActiveArea();
}

void CPianoView::keyReleaseEvent(QKeyEvent* event) {
    const int code = keyCodeForEvent(*event);
    // X11 repeats a held key as release and press pairs: the note stays held.
    if (!loaded_ || code < 0 || code > 255 || event->isAutoRepeat()) {
        event->ignore();
        return;
    }
    releaseKey(static_cast<unsigned>(code));
}

void CPianoView::releaseKey(unsigned key) {
    if (!loaded_ || key > 255)
        return;
    heldKeys_.erase(key);
    guarded(this, [&] { controller_->KeyRelease(key, false); });
    repaintActiveArea();
}

void CPianoView::mousePressEvent(QMouseEvent* event) {
    if (!loaded_ || event->button() != Qt::LeftButton)
        return;
    const std::set<std::string> before = playingAliases();
    const QPoint at = event->position().toPoint();
    if (!guarded(this, [&] { controller_->MouseDown(at.x(), at.y()); }))
        return;
    repaintActiveArea();
    mouseDown_ = true;
    reportStartedNote(before);
}

void CPianoView::mouseMoveEvent(QMouseEvent* event) {
    if (!loaded_ || !mouseDown_)
        return;
    const std::set<std::string> before = playingAliases();
    const QPoint at = event->position().toPoint();
    if (!guarded(this, [&] { controller_->MouseMove(at.x(), at.y(), false); }))
        return;
    repaintActiveArea();
    reportStartedNote(before);
}

void CPianoView::mouseReleaseEvent(QMouseEvent* event) {
    if (!loaded_ || event->button() != Qt::LeftButton)
        return;
    const QPoint at = event->position().toPoint();
    guarded(this, [&] { controller_->MouseUp(at.x(), at.y(), false); });
    repaintActiveArea();
    mouseDown_ = false;
}

void CPianoView::releaseEverything() {
    if (!loaded_)
        return;
    const std::set<unsigned> held = std::exchange(heldKeys_, {});
    for (unsigned key : held)
        guarded(this, [&] { controller_->KeyRelease(key, false); });
    if (mouseDown_) {
        mouseDown_ = false;
        guarded(this, [&] { controller_->MouseUp(0, 0, false); });
    }
    if (!held.empty())
        repaintActiveArea();
}

// --------------------------------------------------------------- CPianoFrame

CPianoFrame::CPianoFrame(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CPianoFrame"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    toolBar_ = new QToolBar(this);
    toolBar_->setObjectName(QStringLiteral("pianoToolbar"));
    toolBar_->setIconSize(QSize(24, 28));
    toolBar_->setFloatable(false);
    toolBar_->setMovable(false);
    view_ = new CPianoView(this);
    layout->addWidget(toolBar_);
    layout->addWidget(view_, 1);
    setMinimumSize(0, 0);

    singleSound_ = addCommand(tr("S&ingle Sound"), QStringLiteral("Single Sound\nGenerate Single Sound"),
                              drawIcon(Glyph::SingleSound));
    generateNotes_ = addCommand(tr("&Generate Notes..."),
                                QStringLiteral("Generate Number of Notes\n Generate Number of Notes"),
                                drawIcon(Glyph::GenerateNotes));
    toolBar_->addSeparator();
    startRecording_ = addCommand(tr("Start &Recording"),
                                 QStringLiteral("Start recording the melody\nStart recording the melody"),
                                 drawIcon(Glyph::StartRecording));
    stopRecording_ = addCommand(tr("S&top Recording"), QStringLiteral("STOP RECORDING\n STOP RECORDING"),
                                drawIcon(Glyph::StopRecording));
    toolBar_->addSeparator();
    saveInstrument_ = addCommand(tr("&Save Instrument..."),
                                 QStringLiteral("Save Instrument\nSave Instrument"), drawIcon(Glyph::Save));
    loadInstrument_ = addCommand(tr("&Load Instrument..."),
                                 QStringLiteral("Load Instrument\nLoad Instrument"), drawIcon(Glyph::Load));
    toolBar_->addSeparator();
    chooseMelody_ = addCommand(tr("Choose &Melody File..."),
                               QStringLiteral("Save your melody to file\nSave your melody to file"),
                               drawIcon(Glyph::Melody));
    playMelody_ = addCommand(tr("&Play Melody..."),
                             QStringLiteral("Play Melody from file\n Play Melody from file, WAV, SNC, MIDI"),
                             drawIcon(Glyph::Play));

    connect(generateNotes_, &QAction::triggered, this, [this] { postToMainWindow(WM_GENERATE_NOTES); });
    connect(singleSound_, &QAction::triggered, this, [this] { postToMainWindow(WM_GENERATE_SINGLE); });
    connect(loadInstrument_, &QAction::triggered, view_, &CPianoView::loadInstrument);
    connect(saveInstrument_, &QAction::triggered, view_, &CPianoView::saveInstrument);
    connect(chooseMelody_, &QAction::triggered, this, &CPianoFrame::chooseMelody);
    connect(startRecording_, &QAction::triggered, view_, &CPianoView::startRecording);
    connect(stopRecording_, &QAction::triggered, view_, &CPianoView::stopRecording);
    connect(playMelody_, &QAction::triggered, view_, &CPianoView::playMelody);
    connect(view_, &CPianoView::stateChanged, this, &CPianoFrame::updateCommands);
    updateCommands();
}

CPianoFrame::~CPianoFrame() = default;

QAction* CPianoFrame::addCommand(const QString& menuText, const QString& prompt, const QIcon& icon) {
    // A prompt is the status text, a line feed, then the tooltip.
    const QStringList parts = prompt.split(QLatin1Char('\n'));
    auto* action = new QAction(icon, menuText, this);
    action->setStatusTip(parts.value(0));
    action->setToolTip(parts.value(1));
    toolBar_->addAction(action);
    return action;
}

QList<QAction*> CPianoFrame::instrumentActions() const {
    return {generateNotes_, singleSound_,    loadInstrument_, saveInstrument_,
            chooseMelody_,  startRecording_, stopRecording_,  playMelody_};
}

void CPianoFrame::postToMainWindow(int message) {
    QCoreApplication::postEvent(window(), new WindowMessageEvent(static_cast<WindowMessage>(message)));
}

void CPianoFrame::chooseMelody() {
    const QString path = view_->fileChooser().saveFile(this, kScriptFilter, QStringLiteral("snc"));
    if (path.isEmpty())
        return;
    view_->setMelodyPath(path);
    melodyChosen_ = true;
    updateCommands();
}

void CPianoFrame::updateCommands() {
    const bool loaded = view_->isLoaded();
    const bool recording = view_->isRecording();
    generateNotes_->setEnabled(commandsEnabled_);
    singleSound_->setEnabled(commandsEnabled_);
    saveInstrument_->setEnabled(loaded && commandsEnabled_);
    loadInstrument_->setEnabled(commandsEnabled_);
    chooseMelody_->setEnabled(true);
    startRecording_->setEnabled(melodyChosen_ && loaded && !recording);
    stopRecording_->setEnabled(melodyChosen_ && loaded && recording);
    playMelody_->setEnabled(true);
}

bool CPianoFrame::event(QEvent* event) {
    if (event->type() == eventType(WM_GENERATION_STARTED)) {
        commandsEnabled_ = false;
        updateCommands();
        return true;
    }
    if (event->type() == eventType(WM_INSTRUMENT_READY)) {
        // From the view, or sent to the frame: either way the run is over.
        commandsEnabled_ = true;
        if (dynamic_cast<SoundRecordsEvent*>(event) != nullptr)
            QCoreApplication::sendEvent(view_, event);
        updateCommands();
        return true;
    }
    return QWidget::event(event);
}

} // namespace kivora
