// The engine's drawing interface on QPainter: pictures are QImages, so a
// keyboard drawn once is copied on later paints.
#pragma once

#include <pellamy/Drawing.h>

#include <QImage>
#include <QPainter>
#include <memory>
#include <optional>
#include <vector>

namespace kivora {

// Images of pictures that are gone, for the next picture of the same size:
// a full-screen keyboard is redrawn on every key, and a fresh 8 MB image
// costs its page faults each time.
class ImagePool {
public:
    QImage take(int width, int height);
    void give(QImage image);

private:
    std::vector<QImage> images_;
};

// A white RGB32 image.
class ImagePicture final : public pellamy::Picture {
public:
    ImagePicture(int width, int height, std::weak_ptr<ImagePool> pool = {});
    ~ImagePicture() override;

    // The 3-pixel black pen is centred on the outline of the rectangle
    // (left, top)-(right - 1, bottom - 1), then the fill covers
    // [left, right) × [top, bottom): of the pen, one pixel shows outside.
    void drawOutlinedRectangle(const pellamy::Rect& rect, pellamy::Rgb fill) override;
    // Black text on an opaque white background in the application font.
    void drawText(int x, int y, std::string_view text) override;

    // The finished picture: drawing ends here.
    const QImage& image() const;

private:
    QPainter& activePainter();

    QImage image_;
    std::weak_ptr<ImagePool> pool_;
    // Open from the first drawing until the picture is first read: one
    // painter for all the keys.
    mutable std::optional<QPainter> painter_;
};

class PainterCanvas final : public pellamy::Canvas {
public:
    // Pictures take their images from `pool` when one is given.
    explicit PainterCanvas(QPainter& painter, std::weak_ptr<ImagePool> pool = {})
        : painter_(painter), pool_(std::move(pool)) {}

    std::unique_ptr<pellamy::Picture> createPicture(int width, int height) override;
    // Copies pictures made by any PainterCanvas.
    void copyPicture(const pellamy::Picture& picture, int x, int y, int width, int height) override;

private:
    QPainter& painter_;
    std::weak_ptr<ImagePool> pool_;
};

} // namespace kivora
