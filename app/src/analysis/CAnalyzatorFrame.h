// The analyzer pane: the spectrum of a note as a stem plot. The summed
// amplitudes of the spectral library's coarse resonator bank (40-2000 Hz,
// about 2 Hz apart) are drawn from 50 Hz up, scaled so the strongest stem
// fills the pane's height, with the dominant frequency marked in red.
#pragma once

#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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
    double dominantHz = 0.0;
    int dominantX = -1; // x of the dominant frequency, -1 when outside
};

// The plot spans 50 Hz to four times the dominant frequency, at least 600
// and at most 2000 Hz; a stem shows the strongest resonator within it.
StemPlot layoutStemPlot(const Spectrum& spectrum, int paneWidth, int paneHeight);

// Draws `plot` as the stem plot: end labels "%d Hz", stems, labels over the
// peaks among the stems taller than (3H - 42) / 4, the baseline, and the
// dominant frequency in red.
void drawStemPlot(QPainter& painter, const StemPlot& plot);

class CAnalyzatorWnd : public QWidget {
    Q_OBJECT
public:
    explicit CAnalyzatorWnd(QWidget* parent = nullptr);
    ~CAnalyzatorWnd() override;

    // Analyses the samples (copied) off the interface thread; a newer note
    // replaces one not yet analysed. `spectrumReady` follows.
    void analyze(const std::int16_t* samples, int count, int sampleRate);
    // Clears the pane to white (a run's end before its analysis arrives).
    void clear();

    bool hasSpectrum() const { return spectrum_.has_value(); }
    const Spectrum& spectrum() const { return *spectrum_; }

signals:
    void spectrumReady();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Request {
        std::uint64_t id = 0;
        std::vector<std::int16_t> samples;
        int sampleRate = 0;
    };
    void work();

    std::optional<Spectrum> spectrum_;
    std::uint64_t lastRequestId_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Request> pending_;
    bool stopping_ = false;
    std::thread worker_;
};

class CAnalyzatorFrame : public QWidget {
    Q_OBJECT
public:
    explicit CAnalyzatorFrame(QWidget* parent = nullptr);
    CAnalyzatorWnd* view() const { return view_; }

protected:
    bool event(QEvent* event) override;

private:
    CAnalyzatorWnd* view_ = nullptr;
};

} // namespace kivora
