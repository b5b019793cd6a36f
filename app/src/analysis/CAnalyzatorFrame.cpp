#include "analysis/CAnalyzatorFrame.h"

#include "common/EngineGuard.h"

#include <ostrel/FrequencyExtraction.h>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace kivora {

namespace {

constexpr int kMargin = 7;
// The highest a peak's label goes: that of the tallest stem, whose text box
// starts a little above the pane (the glyphs stay whole).
constexpr int kLabelTopPx = -3;
constexpr Qt::Alignment kLabelAlignment = Qt::AlignHCenter | Qt::AlignVCenter;

QFont labelFont() {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QString hertzLabel(double hz) {
    return QStringLiteral("%1 Hz").arg(static_cast<int>(hz));
}

// About the distance between the coarse bank's resonators.
constexpr double kCoarseSpacingHz = 2.0;

// The frequency of the resonance around resonator `i`: the vertex of the
// parabola through the log amplitudes of it and its neighbours, when it is
// the strongest of the three.
double refinedHz(const Spectrum& spectrum, std::size_t i) {
    const std::vector<double>& hz = spectrum.frequenciesHz;
    const std::vector<double>& amplitude = spectrum.amplitudes;
    if (i == 0 || i + 1 >= hz.size())
        return hz[i];
    const double below = amplitude[i - 1];
    const double at = amplitude[i];
    const double above = amplitude[i + 1];
    if (!(below > 0.0 && above > 0.0 && at >= below && at >= above))
        return hz[i];
    const double a = std::log(below);
    const double b = std::log(at);
    const double c = std::log(above);
    const double curvature = a - 2.0 * b + c;
    if (!(curvature < 0.0))
        return hz[i];
    const double offset = std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5); // in resonator steps
    return offset >= 0.0 ? hz[i] + offset * (hz[i + 1] - hz[i]) : hz[i] + offset * (hz[i] - hz[i - 1]);
}

} // namespace

Spectrum analyzeSamples(const std::int16_t* samples, unsigned frames, int sampleRate) {
    Spectrum spectrum;
    if (sampleRate <= 0)
        return spectrum;
    frames = std::min(frames, kMaxAnalysedFrames);
    ostrel::WAVEFORMATEX format{};
    format.wFormatTag = 1;
    format.nChannels = 1;
    format.nSamplesPerSec = static_cast<std::uint32_t>(sampleRate);
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = format.nSamplesPerSec * 2;
    // The library reads the buffer only.
    void* data = const_cast<std::int16_t*>(samples);
    const std::vector<ostrel::Oscill> bank = ostrel::extractFrequencySet(format, data, frames);
    for (const ostrel::Oscill& resonator : bank) {
        spectrum.frequenciesHz.push_back(resonator.frequency());
        spectrum.amplitudes.push_back(resonator.globAbs());
    }
    const bool silent = std::all_of(samples, samples + frames, [](std::int16_t v) { return v == 0; });
    if (frames > 1 && !silent)
        spectrum.dominantHz = ostrel::extractFrequency(format, data, frames);
    return spectrum;
}

StemPlot layoutStemPlot(const Spectrum& spectrum, int paneWidth, int paneHeight) {
    StemPlot plot;
    // Room for the end labels to the right and under the baseline.
    plot.width = std::max(paneWidth - 40, 0);
    plot.height = std::max(paneHeight - 3 * kMargin, 0);
    plot.dominantHz = spectrum.dominantHz;
    plot.lastHz = std::clamp(4.0 * spectrum.dominantHz, 600.0, 2000.0);
    if (plot.width < 2)
        return plot;
    plot.stepHz = (plot.lastHz - plot.firstHz) / plot.width;

    // The strongest resonator within each stem's band; where the bands are
    // narrower than the resonators' spacing, the nearest resonator.
    std::vector<double> stemAmplitudes(static_cast<std::size_t>(plot.width), 0.0);
    const std::vector<double>& hz = spectrum.frequenciesHz;
    const std::vector<double>& amplitudes = spectrum.amplitudes;
    if (amplitudes.size() == hz.size() && !hz.empty())
        plot.stemHz.assign(static_cast<std::size_t>(plot.width), 0.0);
    for (int d = 0; d < plot.width && !hz.empty(); ++d) {
        const double low = plot.firstHz + d * plot.stepHz;
        const double high = low + plot.stepHz;
        auto first = std::lower_bound(hz.begin(), hz.end(), low);
        auto last = std::lower_bound(hz.begin(), hz.end(), high);
        double amplitude = 0.0;
        std::size_t shown = 0;
        if (first != last) {
            for (auto it = first; it != last; ++it) {
                const auto i = static_cast<std::size_t>(it - hz.begin());
                if (it == first || spectrum.amplitudes[i] > amplitude) {
                    amplitude = spectrum.amplitudes[i];
                    shown = i;
                }
            }
        } else {
            auto nearest = first;
            if (nearest == hz.end() || (nearest != hz.begin() && low - *(nearest - 1) < *nearest - low))
                --nearest;
            shown = static_cast<std::size_t>(nearest - hz.begin());
            amplitude = spectrum.amplitudes[shown];
        }
        stemAmplitudes[static_cast<std::size_t>(d)] = amplitude;
        if (!plot.stemHz.empty())
            plot.stemHz[static_cast<std::size_t>(d)] = refinedHz(spectrum, shown);
    }
    const double strongest = *std::max_element(stemAmplitudes.begin(), stemAmplitudes.end());
    const int baseline = plot.height + kMargin;
    plot.tops.reserve(stemAmplitudes.size());
    for (int d = 0; d < plot.width; ++d) {
        const double share = strongest > 0.0 ? stemAmplitudes[static_cast<std::size_t>(d)] / strongest : 0.0;
        const int stemHeight = static_cast<int>(std::lround(share * plot.height));
        plot.tops.emplace_back(kMargin + d, baseline - stemHeight);
    }
    if (plot.dominantHz >= plot.firstHz && plot.dominantHz < plot.lastHz) {
        plot.dominantX = kMargin + static_cast<int>((plot.dominantHz - plot.firstHz) / plot.stepHz);
        // The fine measurement is closer than any interpolation of the coarse bank.
        const int d = plot.dominantX - kMargin;
        for (int e = std::max(d - 1, 0); e <= std::min(d + 1, plot.width - 1) && !plot.stemHz.empty(); ++e) {
            double& stemHz = plot.stemHz[static_cast<std::size_t>(e)];
            if (std::fabs(stemHz - plot.dominantHz) < kCoarseSpacingHz)
                stemHz = plot.dominantHz;
        }
    }
    return plot;
}

QRect dominantTextRect(const StemPlot& plot, const QFontMetrics& metrics) {
    const QString text = QStringLiteral("%1 Hz").arg(plot.dominantHz, 0, 'f', 2);
    const int textWidth = metrics.horizontalAdvance(text);
    return QRect(plot.width + kMargin - textWidth, 0, textWidth, metrics.height());
}

std::vector<StemLabel> stemLabels(const StemPlot& plot, const QFontMetrics& metrics) {
    const int W = std::min(plot.width, static_cast<int>(plot.tops.size()));
    const int baseline = plot.height + kMargin;
    const int labelHeight = (3 * plot.height - 42) / 4;
    auto topOf = [&plot](int d) { return plot.tops[static_cast<std::size_t>(d)].y(); };
    std::vector<int> peaks;
    for (int d = 1; d < W; ++d) {
        const int y = topOf(d);
        if (!(labelHeight < baseline - y) || !(y < topOf(d - 1)))
            continue;
        int next = d + 1;
        while (next < W && topOf(next) == y)
            ++next;
        if (next == W || topOf(next) > y)
            peaks.push_back(d);
    }
    std::stable_sort(peaks.begin(), peaks.end(), [&](int a, int b) { return topOf(a) < topOf(b); });

    std::vector<QRect> taken;
    if (plot.dominantX >= 0)
        taken.push_back(dominantTextRect(plot, metrics));
    std::vector<StemLabel> labels;
    for (int d : peaks) {
        const QPoint top = plot.tops[static_cast<std::size_t>(d)];
        const QString text =
            d < static_cast<int>(plot.stemHz.size())
                ? QStringLiteral("%1 Hz").arg(std::lround(plot.stemHz[static_cast<std::size_t>(d)]))
                : hertzLabel(d * plot.stepHz + plot.firstHz);
        const int textWidth = metrics.horizontalAdvance(text);
        // Centred on (x + 12, y - 3), where the labels have always been, or,
        // where that is taken, as far to the stem's left.
        for (int centreX : {top.x() + 12, top.x() - 12}) {
            QRect rect(centreX - textWidth / 2, top.y() - 3 - metrics.height() / 2, textWidth,
                       metrics.height());
            // Raised above the other stems it would cover, so none runs
            // through its letters.
            for (int e = std::max(rect.left() - kMargin, 0); e <= std::min(rect.right() - kMargin, W - 1);
                 ++e) {
                if (e != d && topOf(e) <= rect.bottom())
                    rect.moveBottom(topOf(e) - 1);
            }
            // No higher than the tallest peak's label has always been; over
            // its own broad peak it is drawn on a white ground.
            if (rect.top() < kLabelTopPx)
                rect.moveTop(kLabelTopPx);
            const QRect spaced = rect.adjusted(-2, 0, 2, 0);
            if (rect.left() < 0 ||
                std::any_of(taken.begin(), taken.end(), [&](const QRect& r) { return r.intersects(spaced); }))
                continue;
            taken.push_back(spaced);
            labels.push_back({d, text, rect});
            break;
        }
    }
    return labels;
}

void drawStemPlot(QPainter& painter, const StemPlot& plot) {
    const int W = plot.width;
    const int H = plot.height;
    painter.setFont(labelFont());
    painter.setPen(QPen(Qt::black, 1));
    const auto flags = kLabelAlignment | Qt::TextDontClip | Qt::TextSingleLine;
    // The first label starts at the pane's edge: centred on x = 10 it would
    // lose its first digit.
    painter.drawText(QRect(0, H + kMargin, 7, 7), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip,
                     hertzLabel(plot.firstHz));
    painter.drawText(QRect(W + kMargin, H + kMargin, 7, 7), flags, hertzLabel(plot.lastHz));
    const int baseline = H + kMargin;
    for (int d = 1; d < W && d < static_cast<int>(plot.tops.size()); ++d) {
        const QPoint top = plot.tops[static_cast<std::size_t>(d)];
        if (top.y() < baseline)
            painter.drawLine(top.x(), top.y(), top.x(), baseline - 1);
    }
    // Only separate peaks, and no label over another.
    for (const StemLabel& label : stemLabels(plot, QFontMetrics(painter.font()))) {
        // A white ground under the glyphs, leaving the peak's own stem whole.
        const int stemX = plot.tops[static_cast<std::size_t>(label.stem)].x();
        const QRect ground = label.rect.adjusted(0, 3, 0, -1);
        painter.fillRect(QRect(ground.topLeft(), QPoint(stemX - 1, ground.bottom())), Qt::white);
        painter.fillRect(QRect(QPoint(stemX + 1, ground.top()), ground.bottomRight()), Qt::white);
        painter.drawText(label.rect, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, label.text);
    }
    painter.drawLine(kMargin, baseline, W + kMargin - 1, baseline);
    if (plot.dominantX >= 0) {
        painter.setPen(QPen(QColor(255, 0, 0), 1));
        painter.setBrush(QColor(255, 0, 0));
        const QPoint mark[] = {{plot.dominantX, baseline + 1},
                               {plot.dominantX - 4, baseline + 6},
                               {plot.dominantX + 4, baseline + 6}};
        painter.drawPolygon(mark, 3);
        painter.drawText(dominantTextRect(plot, QFontMetrics(painter.font())), Qt::AlignRight | Qt::AlignTop,
                         QStringLiteral("%1 Hz").arg(plot.dominantHz, 0, 'f', 2));
    }
}

// ------------------------------------------------------------ CAnalyzatorWnd

CAnalyzatorWnd::CAnalyzatorWnd(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CAnalyzatorWnd"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(0, 0);
    worker_ = std::make_unique<LatestRequestWorker<Spectrum>>(
        this,
        [this](std::uint64_t, Spectrum spectrum) {
            spectrum_ = std::move(spectrum);
            failureText_.clear();
            update();
            emit spectrumReady();
        },
        [this](std::uint64_t, const QString& text) { showFailure(text); });
}

// Stops the worker while the pane it delivers to is whole.
CAnalyzatorWnd::~CAnalyzatorWnd() {
    worker_.reset();
}

void CAnalyzatorWnd::analyze(const std::int16_t* samples, int count, int sampleRate) {
    // Nothing the analysis throws ends the program: a failure to copy or to
    // start the worker here, one of the computation on the worker.
    try {
        const int frames = std::clamp(count, 0, static_cast<int>(kMaxAnalysedFrames));
        std::vector<std::int16_t> copy(samples, samples + frames);
        worker_->request([analysis = analysis_, copy = std::move(copy), sampleRate] {
            return analysis(copy.data(), static_cast<unsigned>(copy.size()), sampleRate);
        });
    } catch (...) {
        showFailure(currentExceptionText());
    }
}

void CAnalyzatorWnd::showFailure(const QString& reason) {
    spectrum_.reset();
    failureText_ = tr("The spectrum could not be computed: %1").arg(reason);
    update();
    emit analysisFailed(failureText_);
}

void CAnalyzatorWnd::clear() {
    spectrum_.reset();
    failureText_.clear();
    update();
}

void CAnalyzatorWnd::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (spectrum_) {
        drawStemPlot(painter, layoutStemPlot(*spectrum_, width(), height()));
    } else if (!failureText_.isEmpty()) {
        painter.setFont(labelFont());
        painter.setPen(Qt::black);
        painter.drawText(rect().adjusted(kMargin, kMargin, -kMargin, -kMargin),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, failureText_);
    }
}

// ---------------------------------------------------------- CAnalyzatorFrame

CAnalyzatorFrame::CAnalyzatorFrame(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CAnalyzatorFrame"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new CAnalyzatorWnd(this);
    layout->addWidget(view_);
    setMinimumSize(0, 0);
}

} // namespace kivora
