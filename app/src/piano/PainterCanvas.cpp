#include "piano/PainterCanvas.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

namespace kivora {

QImage ImagePool::take(int width, int height) {
    for (auto it = images_.begin(); it != images_.end(); ++it) {
        if (it->width() == width && it->height() == height) {
            QImage image = std::move(*it);
            images_.erase(it);
            return image;
        }
    }
    return QImage(width, height, QImage::Format_RGB32);
}

void ImagePool::give(QImage image) {
    constexpr std::size_t kKept = 2;
    if (images_.size() >= kKept)
        images_.erase(images_.begin());
    images_.push_back(std::move(image));
}

ImagePicture::ImagePicture(int width, int height, std::weak_ptr<ImagePool> pool) : pool_(std::move(pool)) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (auto shared = pool_.lock())
        image_ = shared->take(width, height);
    else
        image_ = QImage(width, height, QImage::Format_RGB32);
    image_.fill(Qt::white);
}

ImagePicture::~ImagePicture() {
    painter_.reset();
    if (auto shared = pool_.lock(); shared && !image_.isNull())
        shared->give(std::move(image_));
}

QPainter& ImagePicture::activePainter() {
    if (!painter_) {
        painter_.emplace(&image_);
        painter_->setFont(QApplication::font());
        painter_->setBackground(Qt::white);
    }
    return *painter_;
}

const QImage& ImagePicture::image() const {
    painter_.reset();
    return image_;
}

void ImagePicture::drawOutlinedRectangle(const pellamy::Rect& rect, pellamy::Rgb fill) {
    if (image_.isNull())
        return;
    QPainter& painter = activePainter();
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setPen(QPen(Qt::black, 3, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    // The fill covers the interior at once: the outline needs no brush.
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(rect.left, rect.top, rect.width() - 1, rect.height() - 1));
    painter.fillRect(QRect(rect.left, rect.top, rect.width(), rect.height()),
                     QColor(fill.red, fill.green, fill.blue));
}

void ImagePicture::drawText(int x, int y, std::string_view text) {
    if (image_.isNull() || text.empty())
        return;
    QPainter& painter = activePainter();
    painter.setPen(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    const QFontMetrics metrics(painter.font());
    painter.drawText(QPoint(x, y + metrics.ascent()),
                     QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

std::unique_ptr<pellamy::Picture> PainterCanvas::createPicture(int width, int height) {
    return std::make_unique<ImagePicture>(width, height, pool_);
}

void PainterCanvas::copyPicture(const pellamy::Picture& picture, int x, int y, int width, int height) {
    const auto* imagePicture = dynamic_cast<const ImagePicture*>(&picture);
    if (imagePicture == nullptr)
        return;
    painter_.drawImage(QPoint(x, y), imagePicture->image(), QRect(0, 0, width, height));
}

} // namespace kivora
