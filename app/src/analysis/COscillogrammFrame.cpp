#include "analysis/COscillogrammFrame.h"

#include <QAction>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLayout>
#include <QPainter>
#include <QToolBar>
#include <algorithm>
#include <climits>
#include <cmath>

namespace kivora {

namespace {

QFont scaleFont() {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

enum class Glyph { Left, Right, ZoomIn, ZoomOut };

QIcon drawIcon(Glyph glyph) {
    QPixmap pixmap(15, 13);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    switch (glyph) {
    case Glyph::Left: {
        const QPointF arrow[] = {{3, 6.5}, {11, 1.5}, {11, 11.5}};
        painter.drawPolygon(arrow, 3);
        break;
    }
    case Glyph::Right: {
        const QPointF arrow[] = {{12, 6.5}, {4, 1.5}, {4, 11.5}};
        painter.drawPolygon(arrow, 3);
        break;
    }
    case Glyph::ZoomIn:
        painter.drawRect(QRectF(2, 5.5, 11, 2));
        painter.drawRect(QRectF(6.5, 1, 2, 11));
        break;
    case Glyph::ZoomOut:
        painter.drawRect(QRectF(2, 5.5, 11, 2));
        break;
    }
    return QIcon(pixmap);
}

QString labelText(long long ms, long long stepMs) {
    return stepMs >= 1000 ? QStringLiteral("%1 s").arg(ms / 1000) : QStringLiteral("%1 ms").arg(ms);
}

// The visible span of a window in milliseconds from the sound's start.
struct Span {
    double firstMs;
    double lastMs;
    double msPerPixel;
};

Span visibleSpan(long long firstSample, int samplesPerPixel, int sampleRate, int widthPx) {
    const double msPerPixel = samplesPerPixel * 1000.0 / sampleRate;
    const double firstMs = static_cast<double>(firstSample) * 1000.0 / sampleRate;
    return {firstMs, firstMs + widthPx * msPerPixel, msPerPixel};
}

} // namespace

long long timeLabelStepMs(long long firstSample, int samplesPerPixel, int sampleRate, int widthPx,
                          const QFontMetrics& metrics) {
    if (sampleRate <= 0 || samplesPerPixel <= 0)
        return 0;
    const Span span = visibleSpan(firstSample, samplesPerPixel, sampleRate, widthPx);
    for (long long decade = 1;; decade *= 10) {
        for (long long mantissa : {1, 2, 5}) {
            const long long step = mantissa * decade;
            // The widest label is the last one's (the most digits).
            const auto last = static_cast<long long>(std::floor(span.lastMs / step)) * step;
            const int widest = metrics.horizontalAdvance(labelText(std::max(last, step), step));
            if (step / span.msPerPixel >= widest + kMinLabelGapPx || decade > 1'000'000'000'000LL)
                return step;
        }
    }
}

std::vector<TimeLabel> timeLabels(long long firstSample, int samplesPerPixel, int sampleRate, int widthPx,
                                  int mid, const QFontMetrics& metrics) {
    std::vector<TimeLabel> labels;
    const long long step = timeLabelStepMs(firstSample, samplesPerPixel, sampleRate, widthPx, metrics);
    if (step == 0)
        return labels;
    const Span span = visibleSpan(firstSample, samplesPerPixel, sampleRate, widthPx);
    const auto first = static_cast<long long>(std::ceil(span.firstMs / step));
    const auto last = static_cast<long long>(std::floor(span.lastMs / step));
    for (long long k = first; k <= last; ++k) {
        const long long ms = k * step;
        const int x = static_cast<int>(std::lround((ms - span.firstMs) / span.msPerPixel));
        TimeLabel label{x, labelText(ms, step), {}};
        const int textWidth = metrics.horizontalAdvance(label.text);
        label.rect = QRect(x - textWidth / 2, mid + 5, textWidth, metrics.height());
        if (label.rect.left() >= 0 && label.rect.right() < widthPx)
            labels.push_back(std::move(label));
    }
    return labels;
}

// ---------------------------------------------------------- COscillogrammWnd

COscillogrammWnd::COscillogrammWnd(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("COscillogrammWnd"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(0, 0);
}

void COscillogrammWnd::showWaveform(const std::int16_t* samples, int count, int sampleRate) {
    // A copy: the sender's buffer is valid only during the send.
    samples_.assign(samples, samples + std::max(count, 0));
    sampleRate_ = sampleRate;
    hasWaveform_ = true;
    firstSample_ = 0;
    samplesPerPixel_ = 1;
    update();
    emit viewChanged();
}

void COscillogrammWnd::scrollLeft() {
    const long long first =
        static_cast<long long>(firstSample_) - static_cast<long long>(width()) * samplesPerPixel_;
    firstSample_ = first <= 0 ? 0 : static_cast<int>(first);
    update();
    emit viewChanged();
}

bool COscillogrammWnd::canScrollRight() const {
    const long long page = static_cast<long long>(width()) * samplesPerPixel_;
    // The next page starts within the sound, and its last index fits in an int.
    return page > 0 && firstSample_ + page < static_cast<long long>(samples_.size()) &&
           static_cast<long long>(firstSample_) + 2 * page <= INT_MAX;
}

void COscillogrammWnd::scrollRight() {
    if (!canScrollRight())
        return;
    firstSample_ += width() * samplesPerPixel_;
    update();
    emit viewChanged();
}

void COscillogrammWnd::zoomIn() {
    samplesPerPixel_ = std::max(samplesPerPixel_ / 2, 1);
    update();
    emit viewChanged();
}

void COscillogrammWnd::zoomOut() {
    samplesPerPixel_ = std::min(samplesPerPixel_ * 2, kMaxSamplesPerPixel);
    update();
    emit viewChanged();
}

void COscillogrammWnd::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit viewChanged(); // a page is a window width
}

void COscillogrammWnd::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    draw(painter, size());
}

void COscillogrammWnd::draw(QPainter& painter, QSize size) const {
    painter.fillRect(QRect(QPoint(0, 0), size), Qt::white);
    if (!hasWaveform_)
        return;
    const int w = size.width();
    const int ht = size.height();
    const int mid = ht / 2;
    const long long spp = samplesPerPixel_;
    const long long rate = sampleRate_;

    painter.setFont(scaleFont());
    const QPen thinBlack(Qt::black, 1);
    const QPen thickBlack(Qt::black, 3, Qt::SolidLine, Qt::RoundCap); // GDI's wide pens end round
    painter.setPen(thinBlack);
    painter.drawLine(0, ht / 2, w, ht / 2);

    // Ticks at the labels' step and, where they are far enough apart, at a
    // fifth (a quarter for a step of 2) of it; the labels never touch.
    const QFontMetrics metrics(painter.font());
    const long long stepMs = timeLabelStepMs(firstSample_, samplesPerPixel_, sampleRate_, w, metrics);
    if (stepMs > 0) {
        const double msPerPixel = static_cast<double>(spp) * 1000.0 / static_cast<double>(rate);
        const double firstMs = static_cast<double>(firstSample_) * 1000.0 / static_cast<double>(rate);
        const long long leading =
            stepMs / static_cast<long long>(std::pow(10.0, std::floor(std::log10(stepMs))));
        const double minorMs = static_cast<double>(stepMs) / (leading == 2 ? 4.0 : 5.0);
        if (minorMs / msPerPixel >= 5.0) {
            for (auto k = static_cast<long long>(std::ceil(firstMs / minorMs));; ++k) {
                const int x = static_cast<int>(std::lround((k * minorMs - firstMs) / msPerPixel));
                if (x >= w)
                    break;
                painter.drawLine(x, mid - 3, x, mid + 3);
            }
        }
        painter.setPen(thickBlack);
        for (auto k = static_cast<long long>(std::ceil(firstMs / stepMs));; ++k) {
            const int x = static_cast<int>(std::lround((k * stepMs - firstMs) / msPerPixel));
            if (x >= w)
                break;
            painter.drawLine(x, mid - 4, x, mid + 3);
        }
        painter.setPen(thinBlack);
        for (const TimeLabel& label :
             timeLabels(firstSample_, samplesPerPixel_, sampleRate_, w, mid, metrics))
            painter.drawText(label.rect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, label.text);
    }

    painter.setPen(QPen(QColor(255, 0, 0), 1));
    const long long available = static_cast<long long>(samples_.size()) - firstSample_;
    if (ht == 0 || available < 1)
        return;
    const int scale = 65536 / ht;
    if (scale == 0)
        return; // taller than 65536 pixels: nothing sensible to draw
    const long long n = std::min<long long>(available / spp, w);
    QPolygon curve;
    curve.reserve(static_cast<int>(std::max<long long>(n, 1)));
    curve << QPoint(0, mid - samples_[static_cast<std::size_t>(firstSample_)] / scale);
    for (long long x = 1; x < n; ++x) {
        const auto index = static_cast<std::size_t>(firstSample_ + x * spp);
        curve << QPoint(static_cast<int>(x), mid - samples_[index] / scale);
    }
    if (curve.size() > 1)
        painter.drawPolyline(curve);
}

// -------------------------------------------------------- COscillogrammFrame

COscillogrammFrame::COscillogrammFrame(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("COscillogrammFrame"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    toolBar_ = new QToolBar(this);
    toolBar_->setObjectName(QStringLiteral("oscillogramToolbar"));
    toolBar_->setOrientation(Qt::Vertical);
    toolBar_->setIconSize(QSize(15, 13));
    toolBar_->setMovable(false);
    // The four buttons fit the pane's eighth of a 768-pixel screen: no room
    // is spent between them.
    toolBar_->layout()->setSpacing(0);
    toolBar_->layout()->setContentsMargins(0, 0, 0, 0);
    toolBar_->setStyleSheet(QStringLiteral("QToolButton { padding: 0px; margin: 0px; }"));
    view_ = new COscillogrammWnd(this);
    layout->addWidget(toolBar_);
    layout->addWidget(view_, 1);
    setMinimumSize(0, 0);

    auto addCommand = [this](Glyph glyph, const QString& prompt) {
        const QStringList parts = prompt.split(QLatin1Char('\n'));
        auto* action = new QAction(drawIcon(glyph), parts.value(0), this);
        action->setStatusTip(parts.value(0));
        action->setToolTip(parts.value(1));
        toolBar_->addAction(action);
        return action;
    };
    scrollLeft_ = addCommand(Glyph::Left, QStringLiteral("Left\n Left"));
    scrollRight_ = addCommand(Glyph::Right, QStringLiteral("Right\n Right"));
    zoomIn_ = addCommand(Glyph::ZoomIn, QStringLiteral("Zoom IN\n Zoom IN"));
    zoomOut_ = addCommand(Glyph::ZoomOut, QStringLiteral("Zoom OUT\n Zoom OUT"));
    connect(scrollLeft_, &QAction::triggered, view_, &COscillogrammWnd::scrollLeft);
    connect(scrollRight_, &QAction::triggered, view_, &COscillogrammWnd::scrollRight);
    connect(zoomIn_, &QAction::triggered, view_, &COscillogrammWnd::zoomIn);
    connect(zoomOut_, &QAction::triggered, view_, &COscillogrammWnd::zoomOut);
    connect(view_, &COscillogrammWnd::viewChanged, this, &COscillogrammFrame::updateActions);
    updateActions();
}

void COscillogrammFrame::updateActions() {
    scrollLeft_->setEnabled(view_->canScrollLeft());
    scrollRight_->setEnabled(view_->canScrollRight());
    zoomIn_->setEnabled(view_->canZoomIn());
    zoomOut_->setEnabled(view_->canZoomOut());
}

} // namespace kivora
