#include "analysis/COscillogrammFrame.h"

#include <QAction>
#include <QApplication>
#include <QPainter>
#include <QToolBar>
#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace kivora {
namespace {

bool isBlack(QColor c) {
    return c.red() < 80 && c.green() < 80 && c.blue() < 80;
}
bool isRed(QColor c) {
    return c == QColor(255, 0, 0);
}

// Whether any pixel of `area` is dark (text).
bool hasInk(const QImage& image, QRect area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (isBlack(image.pixelColor(x, y)))
                return true;
    return false;
}

class OscillogramTest : public ::testing::Test {
protected:
    void SetUp() override { view_.resize(500, 100); }

    QImage draw() {
        QImage image(view_.size(), QImage::Format_RGB32);
        QPainter painter(&image);
        view_.draw(painter, view_.size());
        return image;
    }

    COscillogrammWnd view_;
};

TEST_F(OscillogramTest, NothingIsDrawnBeforeAWaveformArrives) {
    const QImage image = draw();
    for (int x = 0; x < 500; x += 7)
        EXPECT_EQ(image.pixelColor(x, 50), QColor(Qt::white));
}

TEST_F(OscillogramTest, TheScaleHasFortyNineTicksWithMillisecondLabelsAtZoomOne) {
    std::vector<std::int16_t> silence(100, 0); // red up to x = 99, then the black zero line
    view_.showWaveform(silence.data(), static_cast<int>(silence.size()), 44100);
    const QImage image = draw();
    const int mid = 50;
    EXPECT_TRUE(isBlack(image.pixelColor(101, mid)));
    EXPECT_TRUE(isBlack(image.pixelColor(499, mid)));
    // Labelled ticks (1, 2, 3 ms...) are three pixels wide from mid - 4;
    // plain ticks one pixel from mid - 3.
    for (int x : {50, 90, 140, 180, 220, 230, 490}) {
        EXPECT_TRUE(isBlack(image.pixelColor(x - 1, mid - 4))) << x;
        EXPECT_TRUE(isBlack(image.pixelColor(x + 1, mid + 2))) << x;
        EXPECT_TRUE(hasInk(image, QRect(x - 6, mid + 5, 22, 12))) << x;
    }
    for (int x : {10, 20, 40, 60, 100, 130, 480}) {
        EXPECT_TRUE(isBlack(image.pixelColor(x, mid - 3))) << x;
        EXPECT_FALSE(isBlack(image.pixelColor(x, mid - 4))) << x;
        EXPECT_FALSE(isBlack(image.pixelColor(x - 1, mid - 3))) << x;
        EXPECT_FALSE(hasInk(image, QRect(x - 2, mid + 6, 5, 10))) << x;
    }
    // Silence is drawn on the zero line in red.
    EXPECT_TRUE(isRed(image.pixelColor(5, mid)));
}

TEST_F(OscillogramTest, TheCurveIsScaledToHalfTheHeightAtFullScale) {
    std::vector<std::int16_t> samples(1000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = i < 100 ? 32767 : (i < 200 ? -32767 : 16384);
    view_.showWaveform(samples.data(), static_cast<int>(samples.size()), 8000);
    const QImage image = draw();
    // scale = 65536 / 100 = 655: 32767 → 50 up, -32767 → 50 down, 16384 → 25 up.
    EXPECT_TRUE(isRed(image.pixelColor(50, 0)));
    EXPECT_FALSE(isRed(image.pixelColor(150, 0)));
    EXPECT_FALSE(isRed(image.pixelColor(150, 50))); // -32767 lies on the bottom edge, y = 100
    EXPECT_TRUE(isRed(image.pixelColor(300, 25)));
    EXPECT_FALSE(isRed(image.pixelColor(300, 50)));
    // At zoom 2 the step to -32767 comes at x = 50, the one to 16384 at 100.
    view_.zoomOut();
    const QImage zoomed = draw();
    EXPECT_TRUE(isRed(zoomed.pixelColor(25, 0)));
    EXPECT_TRUE(isRed(zoomed.pixelColor(150, 25)));
    // 1000 samples at 2 per pixel end at x = 499.
    EXPECT_TRUE(isRed(zoomed.pixelColor(498, 25)));
}

TEST_F(OscillogramTest, OtherZoomsDrawNoLabels) {
    std::vector<std::int16_t> silence(44100, 0);
    view_.showWaveform(silence.data(), static_cast<int>(silence.size()), 44100);
    view_.zoomOut();
    const QImage image = draw();
    EXPECT_FALSE(hasInk(image, QRect(0, 56, 500, 12)));
    EXPECT_TRUE(isBlack(image.pixelColor(50, 47)));
    EXPECT_FALSE(isBlack(image.pixelColor(50, 46)));
}

TEST_F(OscillogramTest, ScrollingAndZoomingStopAtTheirLimits) {
    std::vector<std::int16_t> samples(3000, 1000);
    view_.showWaveform(samples.data(), static_cast<int>(samples.size()), 22050);
    view_.scrollLeft();
    EXPECT_EQ(view_.firstSample(), 0);
    view_.zoomIn();
    EXPECT_EQ(view_.samplesPerPixel(), 1);
    view_.scrollRight();
    EXPECT_EQ(view_.firstSample(), 500);
    view_.zoomOut();
    view_.scrollRight();
    EXPECT_EQ(view_.firstSample(), 1500);
    view_.scrollLeft();
    view_.scrollLeft();
    EXPECT_EQ(view_.firstSample(), 0);

    // Past the end: scale without a curve; back again: the curve returns.
    for (int i = 0; i < 3; ++i)
        view_.scrollRight();
    EXPECT_EQ(view_.firstSample(), 3000);
    EXPECT_FALSE(isRed(draw().pixelColor(5, 50 - 1000 / 655)));
    view_.scrollLeft();
    EXPECT_TRUE(isRed(draw().pixelColor(5, 50 - 1000 / 655)));

    for (int i = 0; i < 40; ++i)
        view_.zoomOut();
    EXPECT_EQ(view_.samplesPerPixel(), COscillogrammWnd::kMaxSamplesPerPixel);
    // Scrolling right ends before an index leaves the int range.
    for (int i = 0; i < 10000; ++i)
        view_.scrollRight();
    const long long page = 500LL * COscillogrammWnd::kMaxSamplesPerPixel;
    EXPECT_LE(view_.firstSample() + page, INT_MAX);
    EXPECT_GT(view_.firstSample() + 2 * page, INT_MAX);
    draw(); // and drawing there reads nothing out of range

    // A new waveform starts over at zoom 1.
    view_.showWaveform(samples.data(), static_cast<int>(samples.size()), 22050);
    EXPECT_EQ(view_.firstSample(), 0);
    EXPECT_EQ(view_.samplesPerPixel(), 1);
}

TEST_F(OscillogramTest, AHeightOfZeroDrawsNoCurve) {
    std::vector<std::int16_t> samples(100, 1000);
    view_.showWaveform(samples.data(), static_cast<int>(samples.size()), 22050);
    QImage image(500, 10, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    view_.draw(painter, QSize(500, 0));
    painter.end();
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 500; ++x)
            ASSERT_FALSE(isRed(image.pixelColor(x, y))) << x << "," << y;
}

TEST(OscillogramFrame, TheToolbarIsVerticalWithItsFourCommands) {
    COscillogrammFrame frame;
    EXPECT_EQ(frame.toolBar()->orientation(), Qt::Vertical);
    QStringList tips;
    for (QAction* action : frame.toolBar()->actions())
        tips << action->statusTip() + "|" + action->toolTip();
    EXPECT_EQ(tips, QStringList({"Left| Left", "Right| Right", "Zoom IN| Zoom IN", "Zoom OUT| Zoom OUT"}));
    std::vector<std::int16_t> samples(100, 0);
    frame.view()->resize(50, 40);
    frame.view()->showWaveform(samples.data(), 100, 8000);
    frame.scrollRightAction()->trigger();
    EXPECT_EQ(frame.view()->firstSample(), 50);
    frame.zoomOutAction()->trigger();
    EXPECT_EQ(frame.view()->samplesPerPixel(), 2);
}

} // namespace
} // namespace kivora
