#include "analysis/CAnalyzatorFrame.h"

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <stdexcept>
#include <vector>

namespace kivora {
namespace {

std::vector<std::int16_t> tone(double hz, int sampleRate, double seconds, double amplitude = 20000.0) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * sampleRate));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / sampleRate)));
    return samples;
}

// The frequency of the strongest resonator.
double peakHz(const Spectrum& spectrum) {
    const auto strongest = std::max_element(spectrum.amplitudes.begin(), spectrum.amplitudes.end());
    return spectrum.frequenciesHz[static_cast<std::size_t>(strongest - spectrum.amplitudes.begin())];
}

TEST(Analyzer, TheSpectrumPeaksAtAKnownTonesFrequency) {
    for (int rate : {8000, 22050, 44100}) {
        for (double hz : {130.8128, 440.0, 987.77}) {
            const std::vector<std::int16_t> samples = tone(hz, rate, 1.0);
            const Spectrum spectrum =
                analyzeSamples(samples.data(), static_cast<unsigned>(samples.size()), rate);
            ASSERT_EQ(spectrum.amplitudes.size(), 980u);
            EXPECT_NEAR(peakHz(spectrum), hz, 2.1) << rate << " " << hz;
            EXPECT_NEAR(spectrum.dominantHz, hz, hz * 0.001) << rate << " " << hz;
        }
    }
}

TEST(Analyzer, SilenceHasNoDominantFrequency) {
    const std::vector<std::int16_t> silence(4000, 0);
    EXPECT_EQ(analyzeSamples(silence.data(), 4000, 8000).dominantHz, 0.0);
}

TEST(Analyzer, TheStemPlotPutsTheTallestStemAtThePeak) {
    const std::vector<std::int16_t> samples = tone(440.0, 22050, 1.0);
    const Spectrum spectrum = analyzeSamples(samples.data(), static_cast<unsigned>(samples.size()), 22050);
    const StemPlot plot = layoutStemPlot(spectrum, 640, 120);
    EXPECT_EQ(plot.width, 600);
    EXPECT_EQ(plot.height, 99);
    EXPECT_DOUBLE_EQ(plot.lastHz, 1760.0); // four times the tone
    ASSERT_EQ(plot.tops.size(), 600u);
    const auto tallest = std::min_element(plot.tops.begin(), plot.tops.end(),
                                          [](QPoint a, QPoint b) { return a.y() < b.y(); });
    const int d = static_cast<int>(tallest - plot.tops.begin());
    EXPECT_EQ(tallest->y(), 7); // the full height above the baseline at H + 7
    EXPECT_NEAR(50.0 + d * plot.stepHz, 440.0, plot.stepHz + 2.0);
    EXPECT_NEAR(plot.dominantX, 7 + d, 2);

    // Drawn: the stem reaches from its top to the baseline; the peak is marked.
    QImage image(640, 120, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    drawStemPlot(painter, plot);
    painter.end();
    EXPECT_EQ(image.pixelColor(tallest->x(), 60), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(300, 106), QColor(Qt::black)); // the baseline
    EXPECT_EQ(image.pixelColor(plot.dominantX, 108), QColor(255, 0, 0));
    // The peak is labelled; the small stems far from it are not.
    auto inked = [&image](QRect area) {
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (image.pixelColor(x, y).lightness() < 128)
                    return true;
        return false;
    };
    EXPECT_TRUE(inked(QRect(tallest->x() + 2, 0, 25, 12)));
    EXPECT_FALSE(inked(QRect(200, 0, 60, 90)));
    // Both end labels are whole: "50 Hz" starts at the left edge.
    EXPECT_TRUE(inked(QRect(0, 106, 6, 12)));
    EXPECT_TRUE(inked(QRect(600, 106, 40, 12)));
}

TEST(Analyzer, ALowToneKeepsThePlotFrom50To600Hz) {
    const std::vector<std::int16_t> samples = tone(100.0, 8000, 1.0);
    const Spectrum spectrum = analyzeSamples(samples.data(), static_cast<unsigned>(samples.size()), 8000);
    const StemPlot plot = layoutStemPlot(spectrum, 200, 60);
    EXPECT_DOUBLE_EQ(plot.lastHz, 600.0);
    EXPECT_DOUBLE_EQ(plot.stepHz, 550.0 / 160);
}

QFontMetrics labelMetrics() {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    return QFontMetrics(font);
}

// A plot of W stems over H = 100 with the given heights (0 elsewhere).
StemPlot plotWithStems(int width, const std::vector<std::pair<int, int>>& heights) {
    StemPlot plot;
    plot.width = width;
    plot.height = 100;
    plot.stepHz = 1.0;
    plot.lastHz = plot.firstHz + width;
    for (int d = 0; d < width; ++d)
        plot.tops.emplace_back(7 + d, 107);
    for (auto [d, height] : heights)
        plot.tops[static_cast<std::size_t>(d)].setY(107 - height);
    return plot;
}

std::vector<int> labelledStems(const StemPlot& plot) {
    std::vector<int> stems;
    for (const StemLabel& label : stemLabels(plot, labelMetrics()))
        stems.push_back(label.stem);
    return stems;
}

TEST(AnalyzerLabels, OnlySeparateMaximaWhoseLabelsDoNotTouchTallestFirst) {
    // Tall enough is above (3H - 42) / 4 = 64.
    using Stems = std::vector<int>;
    // A peak and its taller shoulder three stems on: one label, the taller.
    EXPECT_EQ(labelledStems(plotWithStems(400, {{100, 90}, {101, 80}, {102, 85}, {103, 95}, {104, 70}})),
              Stems({103}));
    // A run of equal stems is one peak, labelled at its first stem.
    EXPECT_EQ(labelledStems(plotWithStems(400, {{200, 90}, {201, 90}, {202, 90}})), Stems({200}));
    // A rising edge is no peak; short peaks get no label.
    EXPECT_EQ(labelledStems(plotWithStems(400, {{50, 70}, {51, 80}, {52, 90}, {53, 100}, {300, 60}})),
              Stems({53}));
    // Peaks far apart all get labels, tallest first; a lower one whose
    // label would touch a taller one's does not, whichever side it is on.
    EXPECT_EQ(labelledStems(plotWithStems(400, {{50, 80}, {150, 99}, {170, 92}, {250, 90}, {240, 85}})),
              Stems({150, 250, 50}));
}

TEST(AnalyzerLabels, ALabelWithoutRoomRightOfItsStemGoesToItsLeft) {
    const StemPlot plot = plotWithStems(400, {{100, 97}, {122, 99}});
    const std::vector<StemLabel> labels = stemLabels(plot, labelMetrics());
    ASSERT_EQ(labels.size(), 2u);
    EXPECT_EQ(labels[0].stem, 122);
    EXPECT_GT(labels[0].rect.center().x(), plot.tops[122].x());
    EXPECT_EQ(labels[1].stem, 100);
    EXPECT_LT(labels[1].rect.center().x(), plot.tops[100].x());
}

TEST(AnalyzerLabels, TheMeasuredFrequencyKeepsItsPlace) {
    StemPlot plot = plotWithStems(400, {{395, 99}, {100, 90}});
    plot.dominantHz = 150.0;
    plot.dominantX = 107;
    const QRect measured = dominantTextRect(plot, labelMetrics());
    EXPECT_EQ(measured.right(), 406);
    // The stem at the right edge would write over the red text: no label.
    EXPECT_EQ(labelledStems(plot), std::vector<int>({100}));
}

// The bundled drum: 8-bit mono, 22050 Hz.
std::vector<std::int16_t> drumSamples(int& sampleRate) {
    QFile file(QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/drum.wav"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    sampleRate = 22050;
    const qsizetype data = bytes.indexOf("data");
    std::vector<std::int16_t> samples;
    for (qsizetype i = data + 8; i < bytes.size(); ++i)
        samples.push_back(static_cast<std::int16_t>((static_cast<unsigned char>(bytes[i]) - 128) * 256));
    return samples;
}

TEST(AnalyzerLabels, ADrumNoteGetsAFewLabelsThatNeverOverlap) {
    int rate = 0;
    const std::vector<std::int16_t> drum = drumSamples(rate);
    ASSERT_EQ(drum.size(), 4410u);
    const Spectrum spectrum = analyzeSamples(drum.data(), static_cast<unsigned>(drum.size()), rate);
    for (QSize pane : {QSize(640, 120), QSize(400, 200), QSize(1000, 300)}) {
        SCOPED_TRACE(pane.width());
        const StemPlot plot = layoutStemPlot(spectrum, pane.width(), pane.height());
        const std::vector<StemLabel> labels = stemLabels(plot, labelMetrics());
        ASSERT_FALSE(labels.empty());
        const QRect measured = dominantTextRect(plot, labelMetrics());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            const int d = labels[i].stem;
            EXPECT_LT(plot.tops[static_cast<std::size_t>(d)].y(),
                      plot.tops[static_cast<std::size_t>(d - 1)].y());
            EXPECT_FALSE(labels[i].rect.intersects(measured));
            // No other stem runs through the letters (but for a label kept
            // to the top over its own broad peak).
            for (int e = labels[i].rect.top() == -3 ? plot.width : std::max(labels[i].rect.left() - 7, 0);
                 e <= labels[i].rect.right() - 7 && e < plot.width; ++e) {
                if (e != d) {
                    EXPECT_GT(plot.tops[static_cast<std::size_t>(e)].y(), labels[i].rect.bottom())
                        << labels[i].text.toStdString() << " over stem " << e;
                }
            }
            for (std::size_t j = 0; j < i; ++j)
                EXPECT_FALSE(labels[i].rect.intersects(labels[j].rect))
                    << labels[i].text.toStdString() << " over " << labels[j].text.toStdString();
        }
        // Drawn: each label's text is there.
        QImage image(pane, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        drawStemPlot(painter, plot);
        painter.end();
        for (const StemLabel& label : labels) {
            int ink = 0;
            for (int y = std::max(label.rect.top(), 0); y <= label.rect.bottom(); ++y)
                for (int x = label.rect.left(); x <= label.rect.right(); ++x)
                    ink += image.pixelColor(x, y).lightness() < 128 ? 1 : 0;
            EXPECT_GT(ink, 10) << label.text.toStdString();
        }
    }
}

TEST(Analyzer, TheViewAnalysesOffTheInterfaceThread) {
    CAnalyzatorWnd view;
    view.resize(400, 100);
    std::vector<std::int16_t> note = tone(261.6256, 22050, 0.5);
    QSignalSpy ready(&view, &CAnalyzatorWnd::spectrumReady);
    view.analyze(note.data(), static_cast<int>(note.size()), 22050);
    EXPECT_FALSE(view.hasSpectrum()); // cleared until the analysis arrives
    note.assign(note.size(), 0);      // the caller's buffer may go at once
    ASSERT_TRUE(ready.wait(20000));
    EXPECT_NEAR(view.spectrum().dominantHz, 261.63, 0.3);

    // A second note replaces the first before its analysis is seen.
    const std::vector<std::int16_t> a = tone(220.0, 8000, 0.5);
    const std::vector<std::int16_t> b = tone(330.0, 8000, 0.5);
    view.analyze(a.data(), static_cast<int>(a.size()), 8000);
    view.analyze(b.data(), static_cast<int>(b.size()), 8000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready.count() == 2; }, 20000));
    QApplication::processEvents();
    EXPECT_EQ(ready.count(), 2);
    EXPECT_NEAR(view.spectrum().dominantHz, 330.0, 0.3);
    // Painted: the stems show on white.
    const QImage image = view.grab().toImage();
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::white));
}

// A computation that throws (here in place of the spectral library) shows its
// reason in the pane; the program goes on and the next note is analysed.
TEST(Analyzer, AFailingAnalysisIsShownInThePaneAndTheNextNoteWorks) {
    CAnalyzatorWnd view;
    view.resize(400, 100);
    QSignalSpy failed(&view, &CAnalyzatorWnd::analysisFailed);
    QSignalSpy ready(&view, &CAnalyzatorWnd::spectrumReady);
    view.setAnalysis([](const std::int16_t*, unsigned, int) -> Spectrum {
        throw std::runtime_error("no memory for resonators");
    });
    const std::vector<std::int16_t> note = tone(220.0, 8000, 0.25);
    view.analyze(note.data(), static_cast<int>(note.size()), 8000);
    ASSERT_TRUE(failed.wait(10000));
    EXPECT_EQ(view.failureText(), "The spectrum could not be computed: no memory for resonators");
    EXPECT_EQ(failed.front().front().toString(), view.failureText());
    EXPECT_FALSE(view.hasSpectrum());
    const QImage image = view.grab().toImage();
    bool inked = false;
    for (int y = 0; y < 30 && !inked; ++y)
        for (int x = 0; x < 200 && !inked; ++x)
            inked = image.pixelColor(x, y).lightness() < 128;
    EXPECT_TRUE(inked) << "the reason is not written in the pane";

    view.setAnalysis(analyzeSamples);
    view.analyze(note.data(), static_cast<int>(note.size()), 8000);
    ASSERT_TRUE(ready.wait(20000));
    EXPECT_NEAR(view.spectrum().dominantHz, 220.0, 0.3);
    EXPECT_TRUE(view.failureText().isEmpty());
    EXPECT_EQ(failed.count(), 1);
}

} // namespace
} // namespace kivora

namespace kivora {
namespace {

// A C3 and its octave as the analyzer pane of a 1024 x 768 window shows
// them: each peak is labelled with its own frequency, not its stem's.
TEST(AnalyzerLabels, APeakIsLabelledWithItsRefinedFrequency) {
    std::vector<std::int16_t> samples = tone(130.8128, 44100, 1.0, 16000.0);
    const std::vector<std::int16_t> octave = tone(261.6256, 44100, 1.0, 12000.0);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(samples[i] + octave[i]);
    const Spectrum spectrum = analyzeSamples(samples.data(), static_cast<unsigned>(samples.size()), 44100);
    EXPECT_NEAR(spectrum.dominantHz, 130.8128, 0.05);
    for (QSize pane : {QSize(512, 87), QSize(640, 120), QSize(1000, 300)}) {
        SCOPED_TRACE(pane.width());
        const StemPlot plot = layoutStemPlot(spectrum, pane.width(), pane.height());
        QStringList texts;
        for (const StemLabel& label : stemLabels(plot, labelMetrics()))
            texts << label.text;
        EXPECT_TRUE(texts.contains("131 Hz")) << texts.join(", ").toStdString();
        // The octave between two resonators of the coarse bank: within a hertz.
        EXPECT_TRUE(texts.contains("261 Hz") || texts.contains("262 Hz")) << texts.join(", ").toStdString();
    }
}

} // namespace
} // namespace kivora
