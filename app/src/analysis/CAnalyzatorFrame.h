// The analyzer pane: the spectrum of a note as a stem plot. The summed
// amplitudes of the spectral library's coarse resonator bank (40-2000 Hz,
// about 2 Hz apart) are drawn from 50 Hz up, scaled so the strongest stem
// fills the pane's height, with the dominant frequency marked in red.
#pragma once

#include "common/LatestRequestWorker.h"

#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QFontMetrics;

namespace kivora {

// The analysis of one note.
struct Spectrum {
    std::vector<double> frequenciesHz; // of the coarse bank's resonators, rising
    std::vector<double> amplitudes;    // their summed amplitudes
    double dominantHz = 0.0;           // the fine measurement, 0 when there is no sound
};

// At most this many frames of a note are analysed: the resonators (r = 0.9999)
// settle within a few thousand, and the cost grows with the length.
inline constexpr unsigned kMaxAnalysedFrames = 32768;

// Runs the coarse bank and the dominant-frequency measurement over mono
// 16-bit samples. Any thread.
Spectrum analyzeSamples(const std::int16_t* samples, unsigned frames, int sampleRate);

// The stem plot of a spectrum in a pane: W stems from x = 7, baseline at
// y = H + 7, stem d at frequency 50 + d·stepHz.
struct StemPlot {
    int width = 0;  // W
    int height = 0; // H
    double stepHz = 0.0;
    double firstHz = 50.0;
    double lastHz = 0.0;
    std::vector<QPoint> tops; // W entries; tops[d] is stem d's top
    // W entries (or none): the frequency of the resonance stem d shows,
    // refined between the bank's resonators; the measured frequency for the
    // stem it falls in.
    std::vector<double> stemHz;
    double dominantHz = 0.0;
    int dominantX = -1; // x of the dominant frequency, -1 when outside
};

// The plot spans 50 Hz to four times the dominant frequency, at least 600
// and at most 2000 Hz; a stem shows the strongest resonator within it.
StemPlot layoutStemPlot(const Spectrum& spectrum, int paneWidth, int paneHeight);

// A frequency label over a peak of the plot.
struct StemLabel {
    int stem = 0; // d
    QString text;
    QRect rect;
};

// The peaks that get labels: stems taller than (3H - 42) / 4 that stand
// above their neighbours on both sides (a run of equal stems counts as one
// peak, labelled at its first stem), taken tallest first. A label reads the
// stem's refined frequency, rounded to a hertz. A label goes to
// the right of its stem, else to its left, raised above the other stems it
// spans (no higher than the tallest peak's label); it is left out when both
// places would touch a label already taken or the red measured frequency.
std::vector<StemLabel> stemLabels(const StemPlot& plot, const QFontMetrics& metrics);
// Where the measured frequency's red text goes.
QRect dominantTextRect(const StemPlot& plot, const QFontMetrics& metrics);

// Draws `plot` as the stem plot: end labels "%d Hz", stems, the stemLabels,
// the baseline, and the dominant frequency in red.
void drawStemPlot(QPainter& painter, const StemPlot& plot);

class CAnalyzatorWnd : public QWidget {
    Q_OBJECT
public:
    // What the worker computes: analyzeSamples unless replaced.
    using Analysis = std::function<Spectrum(const std::int16_t* samples, unsigned frames, int sampleRate)>;

    explicit CAnalyzatorWnd(QWidget* parent = nullptr);
    ~CAnalyzatorWnd() override;

    // Analyses the samples (copied) off the interface thread; a newer note
    // replaces one not yet analysed. `spectrumReady` follows, or, when the
    // analysis fails, `analysisFailed` with the text the pane shows.
    void analyze(const std::int16_t* samples, int count, int sampleRate);
    // Clears the pane to white (a run's end before its analysis arrives).
    void clear();
    // For the next requests (tests give one that fails).
    void setAnalysis(Analysis analysis) { analysis_ = std::move(analysis); }

    bool hasSpectrum() const { return spectrum_.has_value(); }
    const Spectrum& spectrum() const { return *spectrum_; }
    // Why the last analysis failed; empty when it did not.
    const QString& failureText() const { return failureText_; }

signals:
    void spectrumReady();
    void analysisFailed(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showFailure(const QString& reason);

    std::optional<Spectrum> spectrum_;
    QString failureText_;
    Analysis analysis_ = analyzeSamples;
    std::unique_ptr<LatestRequestWorker<Spectrum>> worker_;
};

class CAnalyzatorFrame : public QWidget {
    Q_OBJECT
public:
    explicit CAnalyzatorFrame(QWidget* parent = nullptr);
    CAnalyzatorWnd* view() const { return view_; }

private:
    CAnalyzatorWnd* view_ = nullptr;
};

} // namespace kivora
