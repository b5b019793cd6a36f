#include "analysis/COscillogrammFrame.h"

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
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

// The columns of the label band (below the zero line) that hold ink, as
// runs [first, last] separated by blank columns.
std::vector<std::pair<int, int>> inkRuns(const QImage& image, int top, int bottom) {
    std::vector<std::pair<int, int>> runs;
    for (int x = 0; x < image.width(); ++x) {
        if (!hasInk(image, QRect(x, top, 1, bottom - top + 1)))
            continue;
        // Letters within one label are at most a few pixels apart.
        if (!runs.empty() && x - runs.back().second <= 4)
            runs.back().second = x;
        else
            runs.emplace_back(x, x);
    }
    return runs;
}

TEST_F(OscillogramTest, TheScaleIsReadableAtEveryZoom) {
    std::vector<std::int16_t> silence(44100 * 4, 0);
    view_.showWaveform(silence.data(), static_cast<int>(silence.size()), 44100);
    for (int zoom = 1; zoom <= COscillogrammWnd::kMaxSamplesPerPixel; zoom *= 2) {
        SCOPED_TRACE(zoom);
        ASSERT_EQ(view_.samplesPerPixel(), zoom);
        const QImage image = draw();
        // Below the ticks (which end at mid + 3): only labels.
        const auto runs = inkRuns(image, 54, 99);
        EXPECT_GE(runs.size(), 2u);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            EXPECT_LT(runs[r].second - runs[r].first, 60) << "one label, not several run together";
            if (r > 0) {
                EXPECT_GE(runs[r].first - runs[r - 1].second, 6) << "apart";
            }
        }
        view_.zoomOut();
    }
}

TEST_F(OscillogramTest, LabelsAreDistinctIncreasingAndApartInMillisecondsThenSeconds) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    const QFontMetrics metrics(font);
    for (int rate : {8000, 22050, 44100, 96000}) {
        for (int zoom = 1; zoom <= COscillogrammWnd::kMaxSamplesPerPixel; zoom *= 2) {
            for (long long first : {0LL, 12345LL, 1000000LL}) {
                SCOPED_TRACE(::testing::Message() << rate << " Hz, zoom " << zoom << ", from " << first);
                const auto labels = timeLabels(first, zoom, rate, 500, 50, metrics);
                ASSERT_GE(labels.size(), 2u);
                const QString unit = labels[0].text.section(' ', 1);
                for (std::size_t i = 0; i < labels.size(); ++i) {
                    EXPECT_EQ(labels[i].text.section(' ', 1), unit);
                    EXPECT_GE(labels[i].rect.left(), 0);
                    EXPECT_LT(labels[i].rect.right(), 500);
                    if (i == 0)
                        continue;
                    EXPECT_LT(labels[i - 1].text.section(' ', 0, 0).toLongLong(),
                              labels[i].text.section(' ', 0, 0).toLongLong());
                    EXPECT_GE(labels[i].rect.left() - labels[i - 1].rect.right(), kMinLabelGapPx - 1);
                }
                // Seconds once a label step reaches one.
                const double visibleSeconds = 500.0 * zoom / rate;
                if (visibleSeconds > 20.0) {
                    EXPECT_EQ(unit, "s");
                }
                if (visibleSeconds < 0.5) {
                    EXPECT_EQ(unit, "ms");
                }
            }
        }
    }
    // At zoom 1 and 44.1 kHz a millisecond is 44 pixels: in a narrow window
    // every one is labelled; in a wider one every one only when "10 ms" and
    // the gap fit in 44 pixels, which depends on the font that "Arial" is.
    auto texts = [](int widthPx, const QFontMetrics& fontMetrics) {
        QStringList list;
        for (const TimeLabel& label : timeLabels(0, 1, 44100, widthPx, 50, fontMetrics))
            list << QStringLiteral("%1@%2").arg(label.text).arg(label.x);
        return list.join(QLatin1Char(' ')).toStdString();
    };
    EXPECT_EQ(texts(200, metrics), "1 ms@44 2 ms@88 3 ms@132 4 ms@176");
    const bool tenFitsInAMillisecond = metrics.horizontalAdvance("10 ms") + kMinLabelGapPx <= 44;
    EXPECT_EQ(texts(500, metrics), tenFitsInAMillisecond
                                       ? "1 ms@44 2 ms@88 3 ms@132 4 ms@176 5 ms@221 6 ms@265 7 ms@309 "
                                         "8 ms@353 9 ms@397 10 ms@441"
                                       : "2 ms@88 4 ms@176 6 ms@265 8 ms@353 10 ms@441");
    // DejaVu Sans (fonts-dejavu-core, which the installer installs) is too
    // wide for that.
    QFont dejaVu(QStringLiteral("DejaVu Sans"));
    dejaVu.setPixelSize(12);
    ASSERT_EQ(QFontInfo(dejaVu).family(), "DejaVu Sans");
    EXPECT_EQ(texts(500, QFontMetrics(dejaVu)), "2 ms@88 4 ms@176 6 ms@265 8 ms@353 10 ms@441");
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

    // The page from 2500 shows the last sample: scrolling right stops there.
    view_.zoomIn();
    view_.scrollRight();
    EXPECT_EQ(view_.firstSample(), 500);
    for (int i = 0; i < 10; ++i)
        view_.scrollRight();
    EXPECT_EQ(view_.firstSample(), 2500);
    EXPECT_FALSE(view_.canScrollRight());
    EXPECT_TRUE(isRed(draw().pixelColor(5, 50 - 1000 / 655)));

    for (int i = 0; i < 40; ++i)
        view_.zoomOut();
    EXPECT_EQ(view_.samplesPerPixel(), COscillogrammWnd::kMaxSamplesPerPixel);
    draw(); // drawing from 2500 at the widest zoom reads nothing out of range

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

TEST(OscillogramFrame, ScrollRightIsDisabledAtTheEndOfTheSoundAndLeftAtItsStart) {
    COscillogrammFrame frame;
    std::vector<std::int16_t> samples(120, 0);
    frame.view()->resize(50, 40);
    frame.view()->showWaveform(samples.data(), 120, 8000);
    EXPECT_FALSE(frame.scrollLeftAction()->isEnabled());
    EXPECT_TRUE(frame.scrollRightAction()->isEnabled());
    EXPECT_FALSE(frame.zoomInAction()->isEnabled());
    frame.scrollRightAction()->trigger();
    frame.scrollRightAction()->trigger(); // 100: the last 20 samples
    EXPECT_EQ(frame.view()->firstSample(), 100);
    EXPECT_FALSE(frame.scrollRightAction()->isEnabled());
    frame.scrollRightAction()->trigger();
    EXPECT_EQ(frame.view()->firstSample(), 100);
    EXPECT_TRUE(frame.scrollLeftAction()->isEnabled());
}

} // namespace
} // namespace kivora
