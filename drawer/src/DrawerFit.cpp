#include <muntero/DrawerFit.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace muntero {

CameraFit fitCamera(const SceneBox& box, const ViewOrientation& orientation, double amplitude,
                    double aspect) {
    // Eye coordinates of the corners before the camera's translation: the
    // window point of q is at (f·q.x / aspect, f·q.y) / (distance - q.z).
    ViewOrientation turned = orientation;
    turned.distance = 0.0f;
    const Matrix4 view = drawerModelView(turned, amplitude);
    const double f = 1.0 / std::tan(kDrawerFieldOfViewDegrees / 2.0 * std::numbers::pi / 180.0);
    const double safeAspect = aspect > 0.0 ? aspect : 1.0;
    double distance = 0.0;
    double nearestZ = -1e300;
    double farthestZ = 1e300;
    for (int corner = 0; corner < 8; ++corner) {
        const double in[3] = {(corner & 1) != 0 ? box.high.x : box.low.x,
                              (corner & 2) != 0 ? box.high.y : box.low.y,
                              (corner & 4) != 0 ? box.high.z : box.low.z};
        double q[3];
        for (int r = 0; r < 3; ++r) {
            q[r] = view.at(r, 0) * in[0] + view.at(r, 1) * in[1] + view.at(r, 2) * in[2];
        }
        const double spread = std::max(std::abs(q[0]) / safeAspect, std::abs(q[1]));
        distance = std::max(distance, q[2] + f * spread / kFitMargin);
        nearestZ = std::max(nearestZ, q[2]);
        farthestZ = std::min(farthestZ, q[2]);
    }
    CameraFit fit;
    const double depth = nearestZ - farthestZ;
    // A box of no size (one point) gets the size of the usual scene.
    fit.distance = std::max(distance, nearestZ + std::max(depth, 1.0));
    // Room in front and behind for displacements beyond the box.
    const double nearest = fit.distance - nearestZ;
    const double farthest = fit.distance - farthestZ;
    fit.nearPlane = nearest * 0.25;
    fit.farPlane = farthest * 4.0;
    return fit;
}

StaticStiffness::StaticStiffness(const ModelSnapshot& snapshot)
    : snapshot_(snapshot), known_(snapshot.nodes.size(), -1.0) {}

void StaticStiffness::multiply(const std::vector<double>& x, std::vector<double>& y) const {
    const double rate2 = kFreeModeAngularRate * kFreeModeAngularRate;
    for (std::size_t i = 0; i < snapshot_.nodes.size(); ++i) {
        const ModelNode& node = snapshot_.nodes[i];
        if (node.fixed) {
            y[i] = 0.0;
            continue;
        }
        double sum = node.mass * rate2 * x[i];
        for (int c = node.firstConnection; c < node.firstConnection + node.connectionCount; ++c) {
            const Connection& link = snapshot_.connections[static_cast<std::size_t>(c)];
            const auto other = static_cast<std::size_t>(link.other);
            const double otherX = snapshot_.nodes[other].fixed ? 0.0 : x[other];
            sum += link.stiffness * (x[i] - otherX);
        }
        y[i] = sum;
    }
}

double StaticStiffness::at(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= known_.size() ||
        snapshot_.nodes[static_cast<std::size_t>(index)].fixed) {
        return 0.0;
    }
    double& known = known_[static_cast<std::size_t>(index)];
    if (known >= 0.0) {
        return known;
    }
    // Conjugate gradients for K·x = e_index; the stiffness is x[index]⁻¹.
    // From x = 0, x[index] = xᵀ·K·x only grows towards its limit, so an early
    // stop overstates the stiffness a little and the push falls a little short.
    const std::size_t n = known_.size();
    solution_.assign(n, 0.0);
    residual_.assign(n, 0.0);
    residual_[static_cast<std::size_t>(index)] = 1.0;
    direction_ = residual_;
    product_.assign(n, 0.0);
    double residualNorm = 1.0;
    for (int iteration = 0; iteration < kMaxIterations && residualNorm > 1e-24; ++iteration) {
        multiply(direction_, product_);
        double curvature = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            curvature += direction_[i] * product_[i];
        }
        if (!(curvature > 0.0)) {
            break; // not positive definite here: keep what was found
        }
        const double alpha = residualNorm / curvature;
        double nextNorm = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            solution_[i] += alpha * direction_[i];
            residual_[i] -= alpha * product_[i];
            nextNorm += residual_[i] * residual_[i];
        }
        const double beta = nextNorm / residualNorm;
        residualNorm = nextNorm;
        for (std::size_t i = 0; i < n; ++i) {
            direction_[i] = residual_[i] + beta * direction_[i];
        }
    }
    const double compliance = solution_[static_cast<std::size_t>(index)];
    const ModelNode& node = snapshot_.nodes[static_cast<std::size_t>(index)];
    // Without a usable solve: the node's own springs, an upper bound.
    double own = node.mass * kFreeModeAngularRate * kFreeModeAngularRate;
    for (int c = node.firstConnection; c < node.firstConnection + node.connectionCount; ++c) {
        own += std::abs(snapshot_.connections[static_cast<std::size_t>(c)].stiffness);
    }
    known = compliance > 0.0 ? std::min(1.0 / compliance, own) : own;
    return known;
}

} // namespace muntero
