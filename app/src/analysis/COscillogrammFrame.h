// The oscillogram pane: the waveform of a note as a red polyline over a
// zero line with a time scale, scrolled by window widths and zoomed by
// factors of two from a vertical toolbar.
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

class QAction;
class QFontMetrics;
class QPainter;
class QToolBar;

namespace kivora {

// One label of the time scale: its text, centred under the tick at x.
struct TimeLabel {
    int x = 0;
    QString text;
    QRect rect; // where the text goes, below the zero line at mid
};

// The labels of the scale of a window `widthPx` wide showing from
// firstSample at samplesPerPixel: at whole multiples of the smallest step of
// 1, 2 or 5 times a power of ten (milliseconds, "N ms"; from a second up,
// seconds, "N s") whose labels keep at least kMinLabelGapPx apart. Labels
// that would stick out of the window are left out. Empty without a rate.
inline constexpr int kMinLabelGapPx = 10;
std::vector<TimeLabel> timeLabels(long long firstSample, int samplesPerPixel, int sampleRate, int widthPx,
                                  int mid, const QFontMetrics& metrics);
// The step of those labels in milliseconds; 0 without a rate.
long long timeLabelStepMs(long long firstSample, int samplesPerPixel, int sampleRate, int widthPx,
                          const QFontMetrics& metrics);

class COscillogrammWnd : public QWidget {
    Q_OBJECT
public:
    // Zoom out stops here; scrolling right stops before firstSample plus two
    // window widths of samples would leave the int range.
    static constexpr int kMaxSamplesPerPixel = 1 << 20;

    explicit COscillogrammWnd(QWidget* parent = nullptr);

    // Shows `count` 16-bit samples at `sampleRate` (a copy is kept) from the
    // start at zoom 1.
    void showWaveform(const std::int16_t* samples, int count, int sampleRate);

    void scrollLeft();
    // To the next window width; nothing once the window shows the last sample.
    void scrollRight();
    void zoomIn();
    void zoomOut();

    bool canScrollLeft() const { return firstSample_ > 0; }
    bool canScrollRight() const;
    bool canZoomIn() const { return samplesPerPixel_ > 1; }
    bool canZoomOut() const { return samplesPerPixel_ < kMaxSamplesPerPixel; }

    // Draws the scale and the curve onto a white `size` area of `painter`.
    void draw(QPainter& painter, QSize size) const;

    int firstSample() const { return firstSample_; }
    int samplesPerPixel() const { return samplesPerPixel_; }
    int sampleCount() const { return static_cast<int>(samples_.size()); }
    const std::vector<std::int16_t>& samples() const { return samples_; }
    bool hasWaveform() const { return hasWaveform_; }

signals:
    // The waveform, the scroll position, the zoom or the width changed: the
    // commands' enabling may too.
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    std::vector<std::int16_t> samples_;
    bool hasWaveform_ = false;
    int sampleRate_ = 0;
    int firstSample_ = 0;
    int samplesPerPixel_ = 1;
};

class COscillogrammFrame : public QWidget {
    Q_OBJECT
public:
    explicit COscillogrammFrame(QWidget* parent = nullptr);

    COscillogrammWnd* view() const { return view_; }
    QToolBar* toolBar() const { return toolBar_; }
    QAction* scrollLeftAction() const { return scrollLeft_; }
    QAction* scrollRightAction() const { return scrollRight_; }
    QAction* zoomInAction() const { return zoomIn_; }
    QAction* zoomOutAction() const { return zoomOut_; }

private:
    void updateActions();

    COscillogrammWnd* view_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* scrollLeft_ = nullptr;
    QAction* scrollRight_ = nullptr;
    QAction* zoomIn_ = nullptr;
    QAction* zoomOut_ = nullptr;
};

} // namespace kivora
