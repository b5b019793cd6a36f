#include "analysis/COscillogrammFrame.h"

#include <QAction>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QToolBar>
#include <algorithm>
#include <climits>

namespace kivora {

namespace {

// Text drawn with the flags 0x12D of the original: centred both ways in a
// 10 × 10 box, not clipped.
constexpr Qt::Alignment kLabelAlignment = Qt::AlignHCenter | Qt::AlignVCenter;

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

} // namespace

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
}

void COscillogrammWnd::scrollLeft() {
    const long long first =
        static_cast<long long>(firstSample_) - static_cast<long long>(width()) * samplesPerPixel_;
    firstSample_ = first <= 0 ? 0 : static_cast<int>(first);
    update();
}

void COscillogrammWnd::scrollRight() {
    const long long page = static_cast<long long>(width()) * samplesPerPixel_;
    // The next page must itself be drawable: its last index fits in an int.
    if (static_cast<long long>(firstSample_) + 2 * page > INT_MAX)
        return;
    firstSample_ += static_cast<int>(page);
    update();
}

void COscillogrammWnd::zoomIn() {
    samplesPerPixel_ = std::max(samplesPerPixel_ / 2, 1);
    update();
}

void COscillogrammWnd::zoomOut() {
    samplesPerPixel_ = std::min(samplesPerPixel_ * 2, kMaxSamplesPerPixel);
    update();
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

    // 49 ticks; at zoom 1 those within w/50 + 1 samples after a whole
    // millisecond carry the time in ms. Lines end one pixel short, as
    // LineTo's did.
    for (int i = 1; i <= 49; ++i) {
        const int x = w * i / 50;
        const long long s = x + static_cast<long long>(firstSample_);
        const bool labelled = rate >= 1000 && spp == 1 && (s * 1000 / rate) * spp > 0 &&
                              (spp * s) % (rate / 1000) < (w / 50) * spp + 1;
        if (labelled) {
            const long long ms = (s * 1000 / rate) * spp;
            painter.drawText(QRect(x, mid + 4, 10, 10),
                             kLabelAlignment | Qt::TextDontClip | Qt::TextSingleLine, QString::number(ms));
            painter.setPen(thickBlack);
            painter.drawLine(x, mid - 4, x, mid + 3);
            painter.setPen(thinBlack);
        } else {
            painter.drawLine(x, mid - 3, x, mid + 3);
        }
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
}

} // namespace kivora
