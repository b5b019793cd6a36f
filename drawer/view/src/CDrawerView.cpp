#include "DrawerRenderer.h"

#include <muntero/view/CDrawerView.h>
#include <muntero/view/DrawerMessages.h>

#include <QAction>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QPainter>
#include <QSurfaceFormat>
#include <QTimer>
#include <exception>
#include <new>

namespace {

// The text of the exception being handled, for a message.
QString failureText() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QStringLiteral("not enough memory");
    } catch (const std::exception& failure) {
        return QString::fromLocal8Bit(failure.what());
    } catch (...) {
        return QStringLiteral("unknown failure");
    }
}

} // namespace

CDrawerView::CDrawerView(QWidget* parent)
    : QOpenGLWidget(parent), picture_(std::make_unique<muntero::view::DrawnPicture>()) {
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(2, 1);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    format.setAlphaBufferSize(0);
    setFormat(format);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(16, 16);
}

CDrawerView::~CDrawerView() {
    timer_.stop();
    // QOpenGLWidget destroys the context after this object is gone: its
    // signal must not reach us then.
    if (context() != nullptr) {
        disconnect(context(), nullptr, this, nullptr);
    }
    releaseRenderer();
}

bool CDrawerView::openGLWidgetsAvailable() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int CDrawerView::setRepresentation(InstrumentKit::Representation* model) {
    model_ = model;
    return 0;
}

void CDrawerView::getRepr() {
    // Qt is not exception-safe: what the snapshot or the integrator throws
    // (a model too big for the memory) ends here, the old scene kept.
    try {
        if (animation_.refresh(model_)) {
            DrawScene();
        }
    } catch (...) {
        muntero::view::showMessage(
            this,
            tr("The model cannot be drawn (%1). The drawer shows what it showed before.").arg(failureText()));
    }
    emit commandStateChanged();
}

void CDrawerView::modelReplaced() {
    try {
        if (!animation_.refresh(model_)) {
            animation_.clear();
        }
        updateTimer();
        DrawScene();
    } catch (...) {
        animation_.clear();
        DrawScene();
        muntero::view::showMessage(this, tr("The model cannot be drawn (%1).").arg(failureText()));
    }
    emit commandStateChanged();
}

void CDrawerView::DrawScene() {
    picture_->take(animation_);
    ++framesDrawn_;
    update();
}

void CDrawerView::updateTimer() {
    // Only playing or a held button moves the picture; otherwise nothing
    // changes between ticks and the window should cost nothing.
    const bool moving = animation_.controls().playing() || animation_.leftHeld() || animation_.rightHeld();
    if (!moving) {
        timer_.stop();
        return;
    }
    const int periodMs = animation_.controls().timerPeriodMs();
    if (!timer_.isActive() || periodMs != timerPeriodMs_) {
        timer_.start(periodMs, Qt::PreciseTimer, this);
        timerPeriodMs_ = periodMs;
    }
}

void CDrawerView::drawUnlessTicking() {
    if (!timer_.isActive()) {
        DrawScene();
    }
}

void CDrawerView::OnFilePlay() {
    animation_.controls().togglePlaying();
    updateTimer();
    emit commandStateChanged();
}

void CDrawerView::OnAccelerate() {
    animation_.controls().accelerate();
    updateTimer();
    emit commandStateChanged();
}

void CDrawerView::OnSlow() {
    animation_.controls().slow();
    updateTimer();
    emit commandStateChanged();
}

void CDrawerView::OnAmplUp() {
    animation_.controls().increaseAmplitude();
    drawUnlessTicking();
    emit commandStateChanged();
}

void CDrawerView::OnAmplDown() {
    animation_.controls().decreaseAmplitude();
    drawUnlessTicking();
    emit commandStateChanged();
}

void CDrawerView::OnUpdateFilePlay(QAction* action) const {
    action->setCheckable(true);
    action->setChecked(animation_.controls().playChecked());
}

void CDrawerView::OnUpdateAccelerate(QAction* action) const {
    action->setEnabled(animation_.controls().accelerateEnabled());
}

void CDrawerView::OnUpdateSlow(QAction* action) const {
    action->setEnabled(animation_.controls().slowEnabled());
}

void CDrawerView::OnUpdateAmplDown(QAction* action) const {
    action->setEnabled(animation_.controls().decreaseAmplitudeEnabled());
}

bool CDrawerView::OnCmdMsg(int id) {
    switch (id) {
    case PlayCommand:
        OnFilePlay();
        return true;
    case RefreshCommand:
        OnRefresh();
        return true;
    case AccelerateCommand:
        OnAccelerate();
        return true;
    case SlowCommand:
        OnSlow();
        return true;
    case AmplitudeUpCommand:
        OnAmplUp();
        return true;
    case AmplitudeDownCommand:
        OnAmplDown();
        return true;
    default:
        return false;
    }
}

void CDrawerView::initializeGL() {
    renderer_ = muntero::view::DrawerRenderer::create(context());
    if (renderer_ == nullptr) {
        reportContextFailure();
        return;
    }
    // The context goes away before the widget when it is reparented or the
    // window closes; the renderer's functions belong to it.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &CDrawerView::releaseRenderer,
            Qt::UniqueConnection);
}

void CDrawerView::releaseRenderer() {
    renderer_.reset();
}

void CDrawerView::resizeEvent(QResizeEvent* event) {
    // Picking works in widget pixels; the drawing scales to device pixels.
    animation_.resize(width(), height());
    QOpenGLWidget::resizeEvent(event);
    DrawScene();
}

void CDrawerView::paintGL() {
    if (renderer_ == nullptr) {
        return; // no usable context: the view runs without drawing
    }
    try {
        paintPicture();
    } catch (...) {
        reportDrawingFailure(
            tr("The model could not be drawn (%1). The animation has stopped.").arg(failureText()));
        return;
    }
    drawingFailureReported_ = false;
}

void CDrawerView::paintPicture() {
    QPainter painter(this);
    const qreal ratio = devicePixelRatioF();
    renderer_->paint(painter, *picture_, animation_.projection(),
                     QSize(qRound(width() * ratio), qRound(height() * ratio)));
}

void CDrawerView::reportDrawingFailure(const QString& text) {
    // A failing paint fails again at every tick: stop the ticks.
    timer_.stop();
    if (animation_.controls().playing()) {
        animation_.controls().togglePlaying();
    }
    emit commandStateChanged();
    if (drawingFailureReported_) {
        return;
    }
    drawingFailureReported_ = true;
    // Not from inside the paint event: a message box runs an event loop.
    QTimer::singleShot(0, this, [this, text] { muntero::view::showMessage(this, text); });
}

bool CDrawerView::event(QEvent* event) {
    const bool handled = QOpenGLWidget::event(event);
    // Showing or sizing the widget makes its context; when that failed the
    // widget stays without one.
    if ((event->type() == QEvent::Show || event->type() == QEvent::Resize) && isVisible() &&
        !size().isEmpty() && !isValid()) {
        reportContextFailure();
    }
    return handled;
}

void CDrawerView::reportContextFailure() {
    if (renderingFailed_) {
        return;
    }
    renderingFailed_ = true;
    emit contextFailed(QString::fromLatin1(kContextFailedText));
}

void CDrawerView::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_.timerId()) {
        QOpenGLWidget::timerEvent(event);
        return;
    }
    OnTimer();
}

void CDrawerView::OnTimer() {
    try {
        DrawScene();
        animation_.tick();
    } catch (...) {
        reportDrawingFailure(
            tr("The model could not be drawn (%1). The animation has stopped.").arg(failureText()));
    }
}

void CDrawerView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left:
        animation_.turn(muntero::ViewTurn::left);
        break;
    case Qt::Key_Right:
        animation_.turn(muntero::ViewTurn::right);
        break;
    case Qt::Key_Up:
        animation_.turn(muntero::ViewTurn::up);
        break;
    case Qt::Key_Down:
        animation_.turn(muntero::ViewTurn::down);
        break;
    default:
        QOpenGLWidget::keyPressEvent(event); // other keys go on to the parents
        return;
    }
    drawUnlessTicking(); // while animating, the picture turns at the next tick
    event->accept();
}

void CDrawerView::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        animation_.pressLeft(at.x(), at.y());
    } else if (event->button() == Qt::RightButton) {
        animation_.pressRight(at.x(), at.y());
    }
    updateTimer();
    event->accept();
}

void CDrawerView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        animation_.releaseLeft();
    } else if (event->button() == Qt::RightButton) {
        animation_.releaseRight();
    }
    updateTimer();
    drawUnlessTicking(); // the pick's colour goes
    event->accept();
}

void CDrawerView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    animation_.move(at.x(), at.y());
    event->accept();
}
