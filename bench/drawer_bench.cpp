// One timer tick of the model drawer on the 32 x 32 membrane at 64 steps per
// tick: the integration alone, and the integration with the picture drawn
// through the view's renderer into a 640 x 450 framebuffer (the drawer pane of
// a 1280 x 1024 window). The drawing needs an X display with OpenGL: run it as
//     xvfb-run -a -s "-screen 0 1280x1024x24" build/bench/drawer_bench
// The goal is a tick with its drawing under 4 ms on Mesa's software renderer.
// On a loaded machine read the CPU column of the drawing case: it sums the
// work of every thread, Mesa's included.
//
// The bundled models (examples/models) at the highest Accel, held by the left
// button: a tick must stay well within a frame (16 ms), which
// PlaybackControls::kMaximumStepsPerTick is chosen for. The plain kernel's
// ticks of the membranes at their step limit check DrawerAnimation's work
// budget on the slowest kernel: they too must stay within a frame.
#include "DrawerRenderer.h"

#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/DrawerAnimation.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLPaintDevice>
#include <QPainter>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 450;

// The membrane playing at 64 steps per tick, held by the left button at its
// middle so the forces are repeated before every step.
struct PlayingMembrane {
    InstrumentKit::Representation model = InstrumentKit::makeMembrane(32, 32);
    muntero::DrawerAnimation animation;

    PlayingMembrane() {
        animation.resize(kWidth, kHeight);
        animation.refresh(&model);
        animation.controls().togglePlaying();
        while (animation.controls().stepsPerTick() < 64) {
            animation.controls().accelerate();
        }
        animation.pressLeft(kWidth / 2, kHeight / 2);
    }
};

void BM_DrawerTickWithoutDrawing(benchmark::State& state) {
    PlayingMembrane membrane;
    for (auto _ : state) {
        membrane.animation.tick();
        benchmark::DoNotOptimize(membrane.animation.displacement(500));
    }
    state.counters["nodes"] = membrane.animation.nodeCount();
    state.counters["edges"] = static_cast<double>(membrane.animation.geometry().edges.size());
}
BENCHMARK(BM_DrawerTickWithoutDrawing)->Unit(benchmark::kMillisecond);

std::vector<std::filesystem::path> bundledModels() {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(KIVORA_SOURCE_DIR "/examples/models")) {
        if (entry.path().extension() == ".json") {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Plays the model at the highest Accel with the left button held at the
// middle of the pane.
void playAtTheHighestAccel(muntero::DrawerAnimation& animation, const InstrumentKit::Representation& model) {
    animation.resize(kWidth, kHeight);
    animation.refresh(&model);
    animation.controls().togglePlaying();
    for (int i = 0; i < 40 && animation.controls().accelerateEnabled(); ++i) {
        animation.controls().accelerate();
    }
    animation.pressLeft(kWidth / 2, kHeight / 2);
}

void BM_DrawerTickOfABundledModelAtTheHighestAccel(benchmark::State& state) {
    const std::vector<std::filesystem::path> paths = bundledModels();
    if (static_cast<std::size_t>(state.range(0)) >= paths.size()) {
        state.SkipWithError("no such bundled model");
        return;
    }
    const std::filesystem::path& path = paths[static_cast<std::size_t>(state.range(0))];
    const InstrumentKit::Representation model = InstrumentKit::loadModelFile(path);
    muntero::DrawerAnimation animation;
    playAtTheHighestAccel(animation, model);
    for (auto _ : state) {
        animation.tick();
        benchmark::DoNotOptimize(animation.displacement(0));
    }
    state.SetLabel(path.filename().string());
    state.counters["nodes"] = animation.nodeCount();
    state.counters["steps_per_tick"] = animation.controls().stepsPerTick();
}
BENCHMARK(BM_DrawerTickOfABundledModelAtTheHighestAccel)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The plain kernel stepping a rows x rows membrane for as many steps per tick
// as Accel may reach on it.
void BM_PlainKernelTickAtTheStepLimit(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const InstrumentKit::Representation model = InstrumentKit::makeMembrane(rows, rows);
    muntero::DrawerAnimation animation;
    animation.refresh(&model);
    const int steps = animation.controls().stepLimit(); // what Accel may reach
    muntero::RungeKuttaIntegrator integrator(muntero::KernelChoice::plain);
    integrator.init(&model);
    for (auto _ : state) {
        for (int s = 0; s < steps; ++s) {
            benchmark::DoNotOptimize(integrator.step());
        }
    }
    state.counters["nodes"] = animation.nodeCount();
    state.counters["springs"] = static_cast<double>(animation.geometry().edges.size());
    state.counters["steps_per_tick"] = steps;
}
BENCHMARK(BM_PlainKernelTickAtTheStepLimit)->Arg(8)->Arg(32)->Arg(100)->Unit(benchmark::kMillisecond);

// The application and an OpenGL context on an offscreen surface, made once.
struct GlSetup {
    std::unique_ptr<QGuiApplication> application;
    std::unique_ptr<QOffscreenSurface> surface;
    std::unique_ptr<QOpenGLContext> context;
    std::unique_ptr<QOpenGLFramebufferObject> framebuffer;
    std::unique_ptr<muntero::view::DrawerRenderer> renderer;
    const char* failure = nullptr;

    GlSetup() {
        if (std::getenv("DISPLAY") == nullptr) {
            failure = "no X display: run under xvfb-run";
            return;
        }
        static int argc = 1;
        static char name[] = "drawer_bench";
        static char* argv[] = {name, nullptr};
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        application = std::make_unique<QGuiApplication>(argc, argv);
        QSurfaceFormat format;
        format.setVersion(2, 1);
        format.setProfile(QSurfaceFormat::CompatibilityProfile);
        format.setDepthBufferSize(24);
        context = std::make_unique<QOpenGLContext>();
        context->setFormat(format);
        surface = std::make_unique<QOffscreenSurface>();
        surface->setFormat(format);
        surface->create();
        if (!context->create() || !context->makeCurrent(surface.get())) {
            failure = "no OpenGL context";
            return;
        }
        framebuffer = std::make_unique<QOpenGLFramebufferObject>(
            QSize(kWidth, kHeight), QOpenGLFramebufferObject::CombinedDepthStencil);
        renderer = muntero::view::DrawerRenderer::create(context.get());
        if (renderer == nullptr) {
            failure = "no OpenGL 2.1 functions";
        }
    }
};

// Never destroyed: Qt's own statics go before ours at exit.
GlSetup& glSetup() {
    static GlSetup* setup = new GlSetup;
    return *setup;
}

void BM_DrawerTickWithDrawing(benchmark::State& state) {
    GlSetup& gl = glSetup();
    if (gl.failure != nullptr) {
        state.SkipWithError(gl.failure);
        return;
    }
    PlayingMembrane membrane;
    muntero::view::DrawnPicture picture;
    gl.framebuffer->bind();
    QOpenGLPaintDevice device(QSize(kWidth, kHeight));
    for (auto _ : state) {
        // The order of the view's timer: the picture, then the steps.
        picture.take(membrane.animation);
        {
            QPainter painter(&device);
            gl.renderer->paint(painter, picture, membrane.animation.projection(), QSize(kWidth, kHeight));
        }
        gl.context->functions()->glFinish();
        membrane.animation.tick();
    }
    state.counters["renderer_is_llvmpipe"] =
        QByteArray(reinterpret_cast<const char*>(gl.context->functions()->glGetString(GL_RENDERER)))
                .contains("llvmpipe")
            ? 1
            : 0;
}
// The CPU time counts Mesa's rasterizer threads too: on an idle machine it
// bounds the wall time of a tick from above.
BENCHMARK(BM_DrawerTickWithDrawing)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace
