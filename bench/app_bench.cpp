// The window layer's costs: a key press from the main window to the voice
// start (against the engine's own path), and full repaints of the piano and
// the oscillogram at 1920 × 1080 into a QImage.
#include "MainFrame.h"
#include "OscillogramFrame.h"
#include "PianoFrame.h"
#include "WindowMessages.h"

#include <pellamy/InstrumentController.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <benchmark/benchmark.h>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "app_bench";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("SDL_AUDIODRIVER", "dummy");
        return std::make_unique<QApplication>(argc, argv);
    }();
    return *app;
}

// 36 generated notes a semitone apart from C3, 1 s each at 44.1 kHz.
struct ThirtySixNotes {
    std::vector<std::vector<std::int16_t>> samples;
    std::vector<pellamy::SoundStreamDescription> records;

    ThirtySixNotes() {
        constexpr int kRate = 44100;
        for (int note = 0; note < 36; ++note) {
            const double hz = 130.8127826502993 * std::pow(2.0, note / 12.0);
            std::vector<std::int16_t> values(kRate);
            for (std::size_t i = 0; i < values.size(); ++i)
                values[i] = static_cast<std::int16_t>(std::lround(
                    8000.0 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate)));
            samples.push_back(std::move(values));
        }
        for (int note = 0; note < 36; ++note) {
            pellamy::SoundStreamDescription record;
            record.name = "note" + std::to_string(note + 1);
            record.format = {pellamy::kWaveFormatPcm, 1, kRate, kRate * 2, 2, 16, 0};
            record.dataBytes = kRate * 2;
            record.data = samples[static_cast<std::size_t>(note)].data();
            records.push_back(record);
        }
    }
};

// A press and a release of Q sent to the main window: the key forwarding,
// the code mapping, KeyPress/KeyRelease and the repaint request.
void BM_KeyPressThroughTheWindow(benchmark::State& state) {
    application();
    ThirtySixNotes notes;
    kivora::CMainFrame frame;
    frame.resize(1920, 1080);
    frame.show();
    frame.deliverRunResults(36, notes.records.data());
    QApplication::processEvents();
    for (auto _ : state) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Q, {}, 24, 'q', 0, QStringLiteral("q"));
        QApplication::sendEvent(&frame, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Q, {}, 24, 'q', 0, QStringLiteral("q"));
        QApplication::sendEvent(&frame, &release);
        state.PauseTiming();
        QApplication::processEvents(); // paints and the note's display, outside the key handler
        state.ResumeTiming();
    }
}
BENCHMARK(BM_KeyPressThroughTheWindow)->Unit(benchmark::kMicrosecond);

// The engine's path alone, for comparison.
void BM_KeyPressEngineOnly(benchmark::State& state) {
    application();
    ThirtySixNotes notes;
    pellamy::InstrumentController controller;
    controller.CreateInstrumentSuite(36, notes.records.data());
    for (auto _ : state) {
        controller.KeyPress('Q');
        controller.KeyRelease('Q', false);
    }
}
BENCHMARK(BM_KeyPressEngineOnly)->Unit(benchmark::kMicrosecond);

void BM_PaintPiano1920x1080(benchmark::State& state) {
    application();
    ThirtySixNotes notes;
    kivora::CPianoView view;
    view.instrumentFromRecords(36, notes.records.data());
    view.resize(1920, 1080);
    QImage image(1920, 1080, QImage::Format_RGB32);
    for (auto _ : state) {
        view.render(&image, QPoint(), QRegion(),
                    QWidget::DrawChildren); // opaque: no background, as on screen
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_PaintPiano1920x1080)->Unit(benchmark::kMillisecond);

void BM_PaintOscillogram1920x1080(benchmark::State& state) {
    application();
    ThirtySixNotes notes;
    kivora::COscillogrammWnd view;
    view.resize(1920, 1080);
    view.showWaveform(notes.samples[0].data(), static_cast<int>(notes.samples[0].size()), 44100);
    QImage image(1920, 1080, QImage::Format_RGB32);
    for (auto _ : state) {
        view.render(&image, QPoint(), QRegion(),
                    QWidget::DrawChildren); // opaque: no background, as on screen
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_PaintOscillogram1920x1080)->Unit(benchmark::kMillisecond);

} // namespace
