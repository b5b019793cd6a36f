#include "piano/CPianoFrame.h"

#include "common/EngineGuard.h"
#include "piano/KeyCodes.h"
#include "piano/PainterCanvas.h"

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

const QString kScriptFilter = QStringLiteral("Melody script file (*.snc)");

// The toolbar's pictures, 24 × 28 pixels, drawn rather than shipped.
enum class Glyph {
    SingleSound,
    GenerateNotes,
    StartRecording,
    StopRecording,
    Save,
    Load,
    Melody,
    Play,
    Live
};

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
    case Glyph::Live: // a note over a wave: the model sounds itself
        note(9, 14);
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(QRectF(3, 18, 9, 6), 0, 180 * 16);
        painter.drawArc(QRectF(12, 18, 9, 6), 180 * 16, 180 * 16);
        break;
    }
    return QIcon(pixmap);
}

} // namespace

// ---------------------------------------------------------------- CPianoView

CPianoView::CPianoView(InstrumentSession& session, QWidget* parent) : QWidget(parent), session_(session) {
    setObjectName(QStringLiteral("CPianoView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setAutoFillBackground(false);
    setMinimumSize(0, 0);
    connect(&session_, &InstrumentSession::keyboardChanged, this, &CPianoView::repaintKeyboard);
    connect(&session_, &InstrumentSession::instrumentChanged, this, [this] {
        // The notes held belonged to the instrument that went.
        heldKeys_.clear();
        mouseDown_ = false;
        failedPaints_ = 0;
        update();
    });
    melodyCommand_ = std::make_unique<MelodyCommand>(MelodyCommand::Context{
        this, [this] { return session_.instrument(); }, [this] { return session_.clipOutput(); },
        [this](const QString& text) { emit statusMessage(text); }});
}

CPianoView::~CPianoView() = default;

void CPianoView::repaintKeyboard(const QRect& area) {
    if (area.isEmpty())
        update();
    else
        update(area);
}

void CPianoView::playMelody() {
    melodyCommand_->run(session_.fileChooser());
}

void CPianoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Player& player = session_.player();
    if (!player.isPlayable()) {
        painter.fillRect(rect(), palette().window());
        return;
    }
    PainterCanvas canvas(painter, picturePool_);
    const pellamy::Rect client{0, 0, width(), height()};
    try {
        player.paint(canvas, client, true);
        failedPaints_ = 0;
    } catch (...) {
        painter.fillRect(rect(), palette().window());
        // One message for a paint that keeps failing, and not from inside a
        // paint: the box would paint again.
        if (failedPaints_++ == 0) {
            const QString text = currentExceptionText();
            QMetaObject::invokeMethod(
                this, [this, text] { showMessage(this, text); }, Qt::QueuedConnection);
        }
    }
}

void CPianoView::keyPressEvent(QKeyEvent* event) {
    const int code = keyCodeForEvent(*event);
    if (!session_.isPlayable() || code < 0 || code > 255 || !pressPlaysNote(*event)) {
        event->ignore();
        return;
    }
    // Held keys are released when the window loses the focus, which takes
    // their releases elsewhere; a MIDI keyboard's notes keep theirs.
    if (session_.pressKey(static_cast<unsigned>(code)))
        heldKeys_.insert(static_cast<unsigned>(code));
}

void CPianoView::keyReleaseEvent(QKeyEvent* event) {
    const int code = keyCodeForEvent(*event);
    // X11 repeats a held key as release and press pairs: the note stays held.
    if (!session_.isPlayable() || code < 0 || code > 255 || event->isAutoRepeat()) {
        event->ignore();
        return;
    }
    heldKeys_.erase(static_cast<unsigned>(code));
    session_.releaseKey(static_cast<unsigned>(code));
}

void CPianoView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint at = event->position().toPoint();
    if (session_.mouseDown(at.x(), at.y()))
        mouseDown_ = true;
}

void CPianoView::mouseMoveEvent(QMouseEvent* event) {
    if (!mouseDown_)
        return;
    const QPoint at = event->position().toPoint();
    session_.mouseMove(at.x(), at.y());
}

void CPianoView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint at = event->position().toPoint();
    session_.mouseUp(at.x(), at.y());
    mouseDown_ = false;
}

void CPianoView::releaseEverything() {
    const std::set<unsigned> held = std::exchange(heldKeys_, {});
    for (unsigned key : held)
        session_.releaseKey(key);
    if (mouseDown_) {
        mouseDown_ = false;
        session_.mouseUp(0, 0);
    }
}

// --------------------------------------------------------------- CPianoFrame

CPianoFrame::CPianoFrame(InstrumentSession& session, QWidget* parent) : QWidget(parent), session_(session) {
    setObjectName(QStringLiteral("CPianoFrame"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    toolBar_ = new QToolBar(this);
    toolBar_->setObjectName(QStringLiteral("pianoToolbar"));
    toolBar_->setIconSize(QSize(24, 28));
    toolBar_->setFloatable(false);
    toolBar_->setMovable(false);
    view_ = new CPianoView(session_, this);
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
    toolBar_->addSeparator();
    playLive_ = addCommand(
        tr("Play the Model Li&ve"),
        QStringLiteral("Play the model itself: every key simulates it, retuned\nPlay the Model Live"),
        drawIcon(Glyph::Live));
    playLive_->setCheckable(true);

    connect(generateNotes_, &QAction::triggered, this, &CPianoFrame::generateNotesRequested);
    connect(singleSound_, &QAction::triggered, this, &CPianoFrame::singleSoundRequested);
    connect(loadInstrument_, &QAction::triggered, &session_, &InstrumentSession::load);
    connect(saveInstrument_, &QAction::triggered, &session_, &InstrumentSession::save);
    connect(chooseMelody_, &QAction::triggered, this, &CPianoFrame::chooseMelody);
    connect(startRecording_, &QAction::triggered, &session_, &InstrumentSession::startRecording);
    connect(stopRecording_, &QAction::triggered, &session_, &InstrumentSession::stopRecording);
    connect(playMelody_, &QAction::triggered, view_, &CPianoView::playMelody);
    // A refused toggle stays unchecked: the session's state decides.
    connect(playLive_, &QAction::triggered, this, [this](bool on) {
        session_.setLiveMode(on);
        updateCommands();
    });
    connect(&session_, &InstrumentSession::stateChanged, this, &CPianoFrame::updateCommands);
    connect(&session_, &InstrumentSession::instrumentChanged, this, &CPianoFrame::updateCommands);
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
    return {generateNotes_,  singleSound_,   loadInstrument_, saveInstrument_, chooseMelody_,
            startRecording_, stopRecording_, playMelody_,     playLive_};
}

void CPianoFrame::chooseMelody() {
    const QString path = session_.fileChooser().saveFile(this, kScriptFilter, QStringLiteral("snc"));
    if (path.isEmpty())
        return;
    melodyChosen_ = true;
    session_.setMelodyPath(path);
}

void CPianoFrame::updateCommands() {
    const bool loaded = session_.isLoaded();
    const bool playable = session_.isPlayable();
    const bool recording = session_.isRecording();
    generateNotes_->setEnabled(commandsEnabled_);
    singleSound_->setEnabled(commandsEnabled_);
    saveInstrument_->setEnabled(loaded && commandsEnabled_);
    loadInstrument_->setEnabled(commandsEnabled_);
    chooseMelody_->setEnabled(true);
    startRecording_->setEnabled(melodyChosen_ && playable && !recording);
    stopRecording_->setEnabled(melodyChosen_ && playable && recording);
    playMelody_->setEnabled(true);
    playLive_->setEnabled(session_.hasLivePlayer());
    playLive_->setChecked(session_.isLive());
}

void CPianoFrame::setCommandsEnabled(bool enabled) {
    commandsEnabled_ = enabled;
    updateCommands();
}

} // namespace kivora
