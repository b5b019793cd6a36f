// How the drawer fits a model into its window and how hard its mouse pushes:
// the camera distance and depth range that keep the model's box inside the
// window, and the push force that moves a node by a fixed share of the
// model's drawn size whatever the model's stiffness and masses.
#pragma once

#include <muntero/DrawerTransform.h>
#include <muntero/Export.h>
#include <muntero/ModelSnapshot.h>

#include <vector>

namespace muntero {

// An axis-aligned box in drawn coordinates (x, displacement, y).
struct SceneBox {
    ScenePoint low;
    ScenePoint high;
};

struct CameraFit {
    double distance = 4.5;
    double nearPlane = kDrawerNearPlane;
    double farPlane = kDrawerFarPlane;
};

// The share of the window's half-size the box may fill.
inline constexpr double kFitMargin = 0.9;

// The camera that shows every corner of box, turned by orientation and scaled
// as drawerModelView does, within kFitMargin of the window's half-width and
// half-height for a window of the given aspect (width / height).
MUNTERO_API CameraFit fitCamera(const SceneBox& box, const ViewOrientation& orientation, double amplitude,
                                double aspect);

// The static stiffness the model opposes to a force on one node: the force
// that, held, moves the node by one displacement unit while the other free
// nodes settle. Fixed nodes stay where they are. Each free node is also tied
// to rest by a soft spring (its mass times kFreeModeAngularRate squared), so
// a part held by no fixed node answers a push too and comes to rest.
class MUNTERO_API StaticStiffness {
public:
    static constexpr double kFreeModeAngularRate = 2.0 * 3.141592653589793 * 2.0; // 2 Hz
    // The solve stops after this many iterations: an estimate is enough.
    static constexpr int kMaxIterations = 400;

    StaticStiffness() = default;
    explicit StaticStiffness(const ModelSnapshot& snapshot);

    // Of node index; computed on first use and kept. 0 for a fixed node or an
    // index out of range.
    double at(int index);

private:
    void multiply(const std::vector<double>& x, std::vector<double>& y) const;

    ModelSnapshot snapshot_;
    std::vector<double> known_; // < 0 while not computed
    std::vector<double> residual_, direction_, product_, solution_;
};

} // namespace muntero
