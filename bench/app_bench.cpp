// The window layer's costs: a key press from the main window to the voice
// start (against the engine's own path), a live MIDI note-on to the voice
// start, and full repaints of the piano and the oscillogram at 1920 × 1080
// into a QImage.
#include "FakeMidiInputSource.h"
#include "analysis/COscillogrammFrame.h"
#include "midi/MidiKeyboard.h"
#include "piano/CPianoFrame.h"
#include "session/InstrumentSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <semaphore>
#include <string>
#include <thread>
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
    const std::unique_ptr<kivora::MainWindow> window = kivora::buildMainWindow();
    kivora::CMainFrame& frame = window->frame();
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

// The piano playing the 36 notes, with a MIDI keyboard on a fake port. (Not
// the whole window: its oscillogram and analyzer would show every note,
// on threads of their own, after the timed part.)
struct MidiPiano {
    ThirtySixNotes notes;
    kivora::InstrumentSession session;
    kivora::CPianoView piano{session};
    QMenu menu;
    std::shared_ptr<kivora::test::FakeMidiPorts> ports = std::make_shared<kivora::test::FakeMidiPorts>();
    std::unique_ptr<kivora::MidiKeyboard> keyboard;
    const pellamy::Sound* c3 = nullptr;

    explicit MidiPiano(benchmark::State& state) {
        piano.resize(1920, 270);
        piano.show();
        session.adoptRecords(36, notes.records.data());
        ports->ports = {"Keys"};
        keyboard = std::make_unique<kivora::MidiKeyboard>(
            &session, &menu, std::make_unique<kivora::test::FakeMidiInputSource>(ports));
        keyboard->choosePort(QStringLiteral("Keys"));
        QApplication::processEvents();
        c3 = session.instrument()->soundFor("note1");
        if (keyboard->aliasForMidiKey(48).empty() || c3 == nullptr)
            state.SkipWithError("no sound on C3 (MIDI key 48)");
    }
    // The note-off, outside the timing.
    void release() {
        ports->send(48, 0, false);
        QCoreApplication::sendPostedEvents();
        QApplication::processEvents();
    }
};

std::int64_t steadyNs() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

// A note-on from the port's own thread until its voice has started on the
// interface thread, which waits in its event loop as it does when idle: the
// queue, the posted wake-up, the loop waking, the key mapping and KeyPress.
// The clock starts in the sending thread just before the send.
void BM_MidiNoteOnToVoiceStartedAcrossThreads(benchmark::State& state) {
    application();
    MidiPiano piano(state);
    std::binary_semaphore go(0);
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> sentAtNs{0};
    std::thread port([&] {
        for (;;) {
            go.acquire();
            if (stop.load(std::memory_order_acquire))
                return;
            sentAtNs.store(steadyNs(), std::memory_order_release);
            piano.ports->send(48, 100);
        }
    });
    for (auto _ : state) {
        go.release();
        while (!piano.c3->isPlaying())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const std::int64_t startedAtNs = steadyNs();
        state.SetIterationTime(static_cast<double>(startedAtNs - sentAtNs.load(std::memory_order_acquire)) *
                               1e-9);
        piano.release();
    }
    stop.store(true, std::memory_order_release);
    go.release();
    port.join();
}
BENCHMARK(BM_MidiNoteOnToVoiceStartedAcrossThreads)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The same on one thread: the note queued and its wake-up event delivered at
// once, without the thread hand-over.
void BM_MidiNoteOnToVoiceStartedOnOneThread(benchmark::State& state) {
    application();
    MidiPiano piano(state);
    for (auto _ : state) {
        piano.ports->send(48, 100);
        QCoreApplication::sendPostedEvents(piano.keyboard.get());
        if (!piano.c3->isPlaying())
            state.SkipWithError("the note did not start");
        state.PauseTiming();
        piano.release();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MidiNoteOnToVoiceStartedOnOneThread)->Unit(benchmark::kMicrosecond);

void BM_PaintPiano1920x1080(benchmark::State& state) {
    application();
    ThirtySixNotes notes;
    kivora::InstrumentSession session;
    kivora::CPianoView view(session);
    session.adoptRecords(36, notes.records.data());
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
