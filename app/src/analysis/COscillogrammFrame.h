// The oscillogram pane: the waveform of a note as a red polyline over a
// zero line with a millisecond scale, scrolled by window widths and zoomed
// by factors of two from a vertical toolbar.
#pragma once

#include <QWidget>
#include <cstdint>
#include <vector>

class QAction;
class QPainter;
class QToolBar;

namespace kivora {

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
    void scrollRight();
    void zoomIn();
    void zoomOut();

    // Draws the scale and the curve onto a white `size` area of `painter`.
    void draw(QPainter& painter, QSize size) const;

    int firstSample() const { return firstSample_; }
    int samplesPerPixel() const { return samplesPerPixel_; }
    int sampleCount() const { return static_cast<int>(samples_.size()); }
    const std::vector<std::int16_t>& samples() const { return samples_; }
    bool hasWaveform() const { return hasWaveform_; }

protected:
    void paintEvent(QPaintEvent* event) override;

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
    COscillogrammWnd* view_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* scrollLeft_ = nullptr;
    QAction* scrollRight_ = nullptr;
    QAction* zoomIn_ = nullptr;
    QAction* zoomOut_ = nullptr;
};

} // namespace kivora
