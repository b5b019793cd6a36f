// Everything the model drawer does apart from putting pixels on the screen:
// the scene, the integrator, the speed and amplitude commands, the mouse
// forces and the view's turning. The window layer forwards its timer, mouse,
// key and command events here and draws what frameLines() gives.
#pragma once

#include <muntero/DrawerFit.h>
#include <muntero/DrawerScene.h>
#include <muntero/DrawerTransform.h>
#include <muntero/Export.h>
#include <muntero/StepIntegrator.h>

#include <memory>
#include <string>
#include <vector>

namespace InstrumentKit {
class Representation;
}

namespace muntero {

// Play, Slow, Accel and the displayed amplitude, with their enabling rules.
// Accel and Slow walk one ladder: from kMaximumIntervalMs at one step per
// tick the interval halves down to kMinimumIntervalMs, then the steps per
// tick double up to the step limit; each command is off at its end.
class MUNTERO_API PlaybackControls {
public:
    static constexpr int kStoppedIntervalMs = 16;
    // About one frame at 60 Hz: a shorter interval would only skip pictures.
    static constexpr int kMinimumIntervalMs = 16;
    // About two pictures a second, a step every half second.
    static constexpr int kMaximumIntervalMs = 512;
    // Eight times real time at 16 ms (128 steps of 0.125 ms are real time).
    // On the bundled models such a tick takes well under a frame (see
    // bench/drawer_bench.cpp); bigger models get a lower limit, see
    // DrawerAnimation::stepLimitFor.
    static constexpr int kMaximumStepsPerTick = 1024;
    static constexpr double kAmplitudeStep = 0.2;
    static constexpr double kMinimumAmplitude = 0.2;

    // Accel: above the minimum interval half the interval; otherwise twice
    // the steps per tick. Nothing at the step limit.
    void accelerate();
    // Slow: above one step per tick half the steps; otherwise twice the
    // interval. Nothing at the maximum interval.
    void slow();
    void togglePlaying() { playing_ = !playing_; }
    void increaseAmplitude() { amplitude_ += kAmplitudeStep; }
    // Never below kMinimumAmplitude.
    void decreaseAmplitude();
    // The most steps per tick Accel may reach: limit rounded down to a power
    // of two within [1, kMaximumStepsPerTick]. More steps per tick than that
    // come down to it.
    void setStepLimit(int limit);

    bool playing() const { return playing_; }
    int intervalMs() const { return intervalMs_; }
    int stepsPerTick() const { return stepsPerTick_; }
    int stepLimit() const { return stepLimit_; }
    double amplitude() const { return amplitude_; }
    // The timer's period: the interval while playing, 16 ms while stopped
    // with a button held (drawing and mouse forces only).
    int timerPeriodMs() const { return playing_ ? intervalMs_ : kStoppedIntervalMs; }

    // Update rules of the commands.
    bool playChecked() const { return playing_; }
    bool accelerateEnabled() const {
        return playing_ && (intervalMs_ > kMinimumIntervalMs || stepsPerTick_ < stepLimit_);
    }
    bool slowEnabled() const { return playing_ && (stepsPerTick_ > 1 || intervalMs_ < kMaximumIntervalMs); }
    bool decreaseAmplitudeEnabled() const { return amplitude_ > 0.21; }

private:
    int intervalMs_ = 16;
    int stepsPerTick_ = 1;
    int stepLimit_ = kMaximumStepsPerTick;
    bool playing_ = false;
    double amplitude_ = 1.0;
};

enum class ViewTurn { left, right, up, down };

// The line list of one picture: two ends per edge, each with its position
// (x, displacement, y) and colour (red, green, blue), as floats ready for the
// graphics driver.
struct MUNTERO_API FrameLines {
    std::vector<float> positions; // 3 per end
    std::vector<float> colours;   // 3 per end
    int endCount() const { return static_cast<int>(positions.size() / 3); }
};

// Colours of a line end: fixed, ordinary, picked by the left button, picked
// by the right button (the later rule wins).
inline constexpr float kFixedColour[3] = {0.0f, 0.0f, 1.0f};
inline constexpr float kFreeColour[3] = {0.02f, 0.74f, 0.98f};
inline constexpr float kLeftPickedColour[3] = {1.0f, 0.0f, 0.0f};
inline constexpr float kRightPickedColour[3] = {0.0f, 1.0f, 0.0f};

class MUNTERO_API DrawerAnimation {
public:
    // A held button moves its node by this share of the model's drawn size
    // (the larger side of its box) once the model has settled: the push is
    // this target displacement times the node's static stiffness, so soft and
    // stiff models, heavy and light ones, move alike.
    static constexpr double kPushShare = 0.1;
    static constexpr float kTurnDegrees = 3.0f;

    DrawerAnimation();
    ~DrawerAnimation();
    DrawerAnimation(const DrawerAnimation&) = delete;
    DrawerAnimation& operator=(const DrawerAnimation&) = delete;

    // What the steps of one tick may cost at most, in node and spring-end
    // updates (nodeCount + 2 x springs per step): about 5 ms of the slowest
    // (plain) kernel, 2.7 ns an update in bench/drawer_bench.cpp, so even
    // models far bigger than the bundled ones tick within a frame with room
    // left for the drawing.
    static constexpr long long kStepWorkPerTick = 2'000'000;
    // The step limit of a model of nodeCount nodes and springCount springs.
    static int stepLimitFor(int nodeCount, std::size_t springCount);

    // Refresh: rebuilds the integrator and the scene from the model. Without a
    // model, with no nodes, or when the integrator refuses the model, nothing
    // changes and false is returned. The orientation, speed, amplitude and
    // playing state stay, the steps per tick within the model's step limit;
    // the picked nodes are let go. Whatever the snapshot or the integrator
    // throws (std::bad_alloc for a model too big for the memory) passes on
    // with nothing changed.
    bool refresh(const InstrumentKit::Representation* model);
    // Forgets the scene: nothing is drawn until the next Refresh. The view,
    // speed, amplitude and playing state stay.
    void clear();
    bool hasScene() const { return integrator_ != nullptr; }
    const SceneGeometry& geometry() const { return geometry_; }
    // The displacement of vertex i in the integrated state.
    double displacement(int index) const;
    int nodeCount() const { return geometry_.vertexCount(); }
    // Time simulated since the last Refresh.
    double simulatedSeconds() const;
    // The legend drawn over the picture, e.g. "1024 nodes, 64 steps per tick,
    // 0.125 s simulated"; empty before the first Refresh. Written without the
    // process locale.
    std::string legendLine() const;

    // The displacement a held button aims at, in drawn units; 0 before the
    // first Refresh.
    double pushTarget() const { return pushTarget_; }
    // The force of the left button on node index (the right one's is its
    // negative); 0 for a fixed node.
    double pushForce(int index);

    // One timer tick after the picture was drawn: while playing, the held
    // buttons' forces, then stepsPerTick steps, the forces repeated before
    // every step but the last. Stopped, ticks add no force: held for long, they
    // would add up to one huge kick when playing starts.
    void tick();

    // The window's size in pixels; sets the projection and the viewport.
    void resize(int width, int height);
    const Viewport& viewport() const { return viewport_; }
    // The perspective of drawerProjection with the fitted depth range.
    Matrix4 projection() const;
    Matrix4 modelView() const { return drawerModelView(orientation_, controls_.amplitude()); }
    const ViewOrientation& orientation() const { return orientation_; }
    // Arrow keys: 3 degrees about y (left, right) or x (up, down). The camera
    // is fitted again, so the turned model stays whole in the window.
    void turn(ViewTurn direction);
    // The box the camera fits: the model's vertices, heights within
    // ±pushTarget().
    SceneBox fittedBox() const;

    // Mouse events in widget coordinates (origin at the top left, y down).
    // A press over an empty scene does nothing: the button is not held.
    void pressLeft(int x, int y);
    void pressRight(int x, int y);
    void releaseLeft();
    void releaseRight();
    void move(int x, int y);
    // The free vertex drawn nearest to (x, y), or -1.
    int pick(int x, int y) const;
    int leftIndex() const { return leftIndex_; }
    int rightIndex() const { return rightIndex_; }
    bool leftHeld() const { return leftHeld_; }
    bool rightHeld() const { return rightHeld_; }

    PlaybackControls& controls() { return controls_; }
    const PlaybackControls& controls() const { return controls_; }

    // The picture of the current state, into lines (reusing its storage).
    void frameLines(FrameLines& lines) const;

    // The integrator, for tests and benchmarks; null before the first Refresh.
    RungeKuttaIntegrator* integrator() { return integrator_.get(); }

private:
    void applyHeldForces();
    void drawnPoints(std::vector<ScenePoint>& points) const;
    // Moves the camera so the whole model is seen in the window.
    void fitView();

    std::unique_ptr<RungeKuttaIntegrator> integrator_;
    ValueAccessor* accessor_ = nullptr;
    SceneGeometry geometry_;
    PlaybackControls controls_;
    ViewOrientation orientation_;
    Viewport viewport_;
    CameraFit camera_;
    StaticStiffness stiffness_;
    double pushTarget_ = 0.0;
    int leftIndex_ = -1;
    int rightIndex_ = -1;
    bool leftHeld_ = false;
    bool rightHeld_ = false;
    mutable std::vector<ScenePoint> pickPoints_;
};

} // namespace muntero
