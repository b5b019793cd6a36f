#include <modelkit/Representation.h>
#include <muntero/DrawerAnimation.h>
#include <muntero/ModelSnapshot.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>

namespace muntero {

void PlaybackControls::accelerate() {
    if (intervalMs_ > kMinimumIntervalMs) {
        intervalMs_ /= 2;
    } else if (stepsPerTick_ < stepLimit_) {
        stepsPerTick_ *= 2;
    }
}

void PlaybackControls::slow() {
    if (stepsPerTick_ > 1) {
        stepsPerTick_ /= 2;
    } else if (intervalMs_ < kMaximumIntervalMs) {
        intervalMs_ *= 2;
    }
}

void PlaybackControls::setStepLimit(int limit) {
    stepLimit_ = 1;
    while (stepLimit_ < kMaximumStepsPerTick && stepLimit_ * 2 <= limit) {
        stepLimit_ *= 2;
    }
    stepsPerTick_ = std::min(stepsPerTick_, stepLimit_);
}

void PlaybackControls::decreaseAmplitude() {
    amplitude_ -= kAmplitudeStep;
    if (amplitude_ < kMinimumAmplitude) {
        amplitude_ = kMinimumAmplitude;
    }
}

DrawerAnimation::DrawerAnimation() = default;

int DrawerAnimation::stepLimitFor(int nodeCount, std::size_t springCount) {
    const long long workPerStep =
        std::max(1LL, static_cast<long long>(nodeCount) + 2LL * static_cast<long long>(springCount));
    return static_cast<int>(std::clamp(kStepWorkPerTick / workPerStep, 1LL,
                                       static_cast<long long>(PlaybackControls::kMaximumStepsPerTick)));
}
DrawerAnimation::~DrawerAnimation() = default;

bool DrawerAnimation::refresh(const InstrumentKit::Representation* model) {
    if (model == nullptr) {
        return false;
    }
    SceneGeometry geometry = buildSceneGeometry(*model);
    if (geometry.empty()) {
        return false;
    }
    auto integrator = std::make_unique<RungeKuttaIntegrator>();
    try {
        if (integrator->init(model) != 0 || integrator->nodeCount() != geometry.vertexCount()) {
            return false;
        }
    } catch (const std::invalid_argument&) {
        return false; // a model the kernel cannot lay out
    }
    StaticStiffness stiffness(takeSnapshot(*model));
    ValueAccessor* accessor = integrator->step(); // hands out the initial state
    integrator_ = std::move(integrator);
    accessor_ = accessor;
    geometry_ = std::move(geometry);
    stiffness_ = std::move(stiffness);
    const SceneBox box = fittedBox();
    pushTarget_ = kPushShare * std::max(box.high.x - box.low.x, box.high.z - box.low.z);
    if (pushTarget_ == 0.0) {
        pushTarget_ = kPushShare; // one point: the model's own units
    }
    fitView();
    controls_.setStepLimit(stepLimitFor(geometry_.vertexCount(), geometry_.edges.size()));
    leftIndex_ = -1;
    rightIndex_ = -1;
    return true;
}

void DrawerAnimation::clear() {
    integrator_.reset();
    accessor_ = nullptr;
    geometry_ = {};
    stiffness_ = {};
    pushTarget_ = 0.0;
    releaseLeft();
    releaseRight();
}

double DrawerAnimation::displacement(int index) const {
    return *accessor_->at(index);
}

double DrawerAnimation::simulatedSeconds() const {
    if (integrator_ == nullptr || integrator_->stepCount() < 1) {
        return 0.0;
    }
    return static_cast<double>(integrator_->stepCount() - 1) * RungeKuttaIntegrator::kTimeStep;
}

std::string DrawerAnimation::legendLine() const {
    if (!hasScene()) {
        return {};
    }
    std::array<char, 64> seconds{};
    const auto written = std::to_chars(seconds.data(), seconds.data() + seconds.size(), simulatedSeconds(),
                                       std::chars_format::fixed, 3);
    const int steps = controls_.stepsPerTick();
    return std::to_string(nodeCount()) + (nodeCount() == 1 ? " node, " : " nodes, ") + std::to_string(steps) +
           (steps == 1 ? " step per tick, " : " steps per tick, ") +
           std::string(seconds.data(), written.ptr) + " s simulated";
}

double DrawerAnimation::pushForce(int index) {
    return pushTarget_ * stiffness_.at(index);
}

void DrawerAnimation::applyHeldForces() {
    if (integrator_ == nullptr) {
        return;
    }
    if (leftHeld_ && leftIndex_ != -1) {
        integrator_->excite(pushForce(leftIndex_), leftIndex_);
    }
    if (rightHeld_ && rightIndex_ != -1) {
        integrator_->excite(-pushForce(rightIndex_), rightIndex_);
    }
}

void DrawerAnimation::tick() {
    if (!controls_.playing() || integrator_ == nullptr) {
        return;
    }
    applyHeldForces();
    for (int s = 1; s < controls_.stepsPerTick(); ++s) {
        integrator_->step();
        applyHeldForces();
    }
    accessor_ = integrator_->step();
}

void DrawerAnimation::resize(int width, int height) {
    if (height <= 0) {
        return;
    }
    viewport_ = {0, 0, std::max(width, 0), height};
    fitView();
}

Matrix4 DrawerAnimation::projection() const {
    const float aspect = viewport_.height > 0
                             ? static_cast<float>(viewport_.width) / static_cast<float>(viewport_.height)
                             : 1.0f;
    return Matrix4::perspective(kDrawerFieldOfViewDegrees, aspect, camera_.nearPlane, camera_.farPlane);
}

SceneBox DrawerAnimation::fittedBox() const {
    if (geometry_.empty()) {
        return {};
    }
    SceneBox box{{geometry_.vertices[0].x, -pushTarget_, geometry_.vertices[0].y},
                 {geometry_.vertices[0].x, pushTarget_, geometry_.vertices[0].y}};
    for (const ScenePoint& v : geometry_.vertices) {
        box.low.x = std::min(box.low.x, v.x);
        box.high.x = std::max(box.high.x, v.x);
        box.low.z = std::min(box.low.z, v.y);
        box.high.z = std::max(box.high.z, v.y);
    }
    return box;
}

void DrawerAnimation::fitView() {
    if (geometry_.empty()) {
        return;
    }
    const double aspect = static_cast<double>(viewport_.width) / std::max(viewport_.height, 1);
    camera_ = fitCamera(fittedBox(), orientation_, controls_.amplitude(), aspect);
    orientation_.distance = static_cast<float>(camera_.distance);
}

void DrawerAnimation::turn(ViewTurn direction) {
    switch (direction) {
    case ViewTurn::left:
        orientation_.rotationY -= kTurnDegrees;
        break;
    case ViewTurn::right:
        orientation_.rotationY += kTurnDegrees;
        break;
    case ViewTurn::up:
        orientation_.rotationX += kTurnDegrees;
        break;
    case ViewTurn::down:
        orientation_.rotationX -= kTurnDegrees;
        break;
    }
    fitView();
}

void DrawerAnimation::drawnPoints(std::vector<ScenePoint>& points) const {
    points.resize(geometry_.vertices.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i] = drawnPoint(geometry_.vertices[i], displacement(static_cast<int>(i)));
    }
}

int DrawerAnimation::pick(int x, int y) const {
    if (geometry_.empty()) {
        return -1;
    }
    drawnPoints(pickPoints_);
    // Widget rows count down from the top, window rows up from the bottom.
    return pickFreeVertex(pickPoints_, geometry_.fixed, modelView(), projection(), viewport_, x,
                          viewport_.height - y);
}

void DrawerAnimation::pressLeft(int x, int y) {
    if (geometry_.empty()) {
        return;
    }
    leftIndex_ = pick(x, y);
    if (leftIndex_ != -1 && controls_.playing()) {
        integrator_->excite(pushForce(leftIndex_), leftIndex_);
    }
    leftHeld_ = true;
}

void DrawerAnimation::pressRight(int x, int y) {
    if (geometry_.empty()) {
        return;
    }
    rightIndex_ = pick(x, y);
    if (rightIndex_ != -1 && controls_.playing()) {
        integrator_->excite(-pushForce(rightIndex_), rightIndex_);
    }
    rightHeld_ = true;
}

void DrawerAnimation::releaseLeft() {
    leftIndex_ = -1;
    leftHeld_ = false;
}

void DrawerAnimation::releaseRight() {
    rightIndex_ = -1;
    rightHeld_ = false;
}

void DrawerAnimation::move(int x, int y) {
    if ((!leftHeld_ && !rightHeld_) || geometry_.empty()) {
        return;
    }
    const int picked = pick(x, y);
    if (leftHeld_) {
        leftIndex_ = picked;
        if (picked != -1 && controls_.playing()) {
            integrator_->excite(pushForce(picked), picked);
        }
    }
    if (rightHeld_) {
        rightIndex_ = picked;
        if (picked != -1 && controls_.playing()) {
            integrator_->excite(-pushForce(picked), picked);
        }
    }
}

void DrawerAnimation::frameLines(FrameLines& lines) const {
    const std::size_t ends = geometry_.edges.size() * 2;
    lines.positions.resize(ends * 3);
    lines.colours.resize(ends * 3);
    float* position = lines.positions.data();
    float* colour = lines.colours.data();
    auto put = [&](int e) {
        const ScenePoint& v = geometry_.vertices[static_cast<std::size_t>(e)];
        const float* rgb = geometry_.fixed[static_cast<std::size_t>(e)] != 0 ? kFixedColour : kFreeColour;
        if (e == leftIndex_) {
            rgb = kLeftPickedColour;
        }
        if (e == rightIndex_) {
            rgb = kRightPickedColour;
        }
        *position++ = static_cast<float>(v.x);
        *position++ = static_cast<float>(displacement(e));
        *position++ = static_cast<float>(v.y);
        *colour++ = rgb[0];
        *colour++ = rgb[1];
        *colour++ = rgb[2];
    };
    for (const SceneEdge& edge : geometry_.edges) {
        put(edge.first);
        put(edge.second);
    }
}

} // namespace muntero
