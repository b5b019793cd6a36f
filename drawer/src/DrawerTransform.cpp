#include <muntero/DrawerTransform.h>

#include <cmath>
#include <numbers>

namespace muntero {

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;

Matrix4 fromRows(const std::array<std::array<double, 4>, 4>& rows) {
    Matrix4 result;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            result.m[static_cast<std::size_t>(c * 4 + r)] =
                rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
        }
    }
    return result;
}

} // namespace

Matrix4 Matrix4::operator*(const Matrix4& other) const {
    Matrix4 result;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) {
                sum += at(r, k) * other.at(k, c);
            }
            result.m[static_cast<std::size_t>(c * 4 + r)] = sum;
        }
    }
    return result;
}

Matrix4 Matrix4::translated(double x, double y, double z) const {
    return *this * fromRows({{{1, 0, 0, x}, {0, 1, 0, y}, {0, 0, 1, z}, {0, 0, 0, 1}}});
}

Matrix4 Matrix4::scaled(double x, double y, double z) const {
    return *this * fromRows({{{x, 0, 0, 0}, {0, y, 0, 0}, {0, 0, z, 0}, {0, 0, 0, 1}}});
}

Matrix4 Matrix4::rotated(double angleDegrees, double x, double y, double z) const {
    const double length = std::sqrt(x * x + y * y + z * z);
    if (length == 0.0) {
        return *this; // glRotate leaves the matrix alone for a zero axis
    }
    x /= length;
    y /= length;
    z /= length;
    const double s = std::sin(angleDegrees * kRadiansPerDegree);
    const double c = std::cos(angleDegrees * kRadiansPerDegree);
    const double t = 1.0 - c;
    return *this * fromRows({{{x * x * t + c, x * y * t - z * s, x * z * t + y * s, 0},
                              {y * x * t + z * s, y * y * t + c, y * z * t - x * s, 0},
                              {x * z * t - y * s, y * z * t + x * s, z * z * t + c, 0},
                              {0, 0, 0, 1}}});
}

Matrix4 Matrix4::perspective(double fovyDegrees, double aspect, double zNear, double zFar) {
    const double radians = fovyDegrees / 2.0 * kRadiansPerDegree;
    const double deltaZ = zFar - zNear;
    const double sine = std::sin(radians);
    if (deltaZ == 0.0 || sine == 0.0 || aspect == 0.0) {
        return Matrix4{}; // gluPerspective changes nothing then
    }
    const double cotangent = std::cos(radians) / sine;
    return fromRows({{{cotangent / aspect, 0, 0, 0},
                      {0, cotangent, 0, 0},
                      {0, 0, -(zFar + zNear) / deltaZ, -2.0 * zNear * zFar / deltaZ},
                      {0, 0, -1, 0}}});
}

std::optional<WindowPoint> projectToWindow(const ScenePoint& point, const Matrix4& modelView,
                                           const Matrix4& projection, const Viewport& viewport) {
    const double in[4] = {point.x, point.y, point.z, 1.0};
    double eye[4];
    for (int r = 0; r < 4; ++r) {
        eye[r] = modelView.at(r, 0) * in[0] + modelView.at(r, 1) * in[1] + modelView.at(r, 2) * in[2] +
                 modelView.at(r, 3) * in[3];
    }
    double clip[4];
    for (int r = 0; r < 4; ++r) {
        clip[r] = projection.at(r, 0) * eye[0] + projection.at(r, 1) * eye[1] + projection.at(r, 2) * eye[2] +
                  projection.at(r, 3) * eye[3];
    }
    if (clip[3] == 0.0) {
        return std::nullopt;
    }
    double ndc[3];
    for (int r = 0; r < 3; ++r) {
        ndc[r] = clip[r] / clip[3] * 0.5 + 0.5; // mapped to [0, 1]
    }
    return WindowPoint{ndc[0] * viewport.width + viewport.x, ndc[1] * viewport.height + viewport.y, ndc[2]};
}

Matrix4 drawerProjection(int width, int height) {
    const float aspect = height > 0 ? static_cast<float>(width) / static_cast<float>(height) : 1.0f;
    return Matrix4::perspective(kDrawerFieldOfViewDegrees, aspect, kDrawerNearPlane, kDrawerFarPlane);
}

Matrix4 drawerModelView(const ViewOrientation& orientation, double amplitude) {
    return Matrix4{}
        .translated(0.0, 0.0, -orientation.distance)
        .rotated(orientation.rotationX, 1.0, 0.0, 0.0)
        .rotated(orientation.rotationY, 0.0, 1.0, 0.0)
        .rotated(orientation.rotationZ, 0.0, 0.0, 1.0)
        .scaled(kDrawerHorizontalScale, amplitude, kDrawerHorizontalScale);
}

int pickFreeVertex(const std::vector<ScenePoint>& drawnPoints, const std::vector<std::uint8_t>& fixed,
                   const Matrix4& modelView, const Matrix4& projection, const Viewport& viewport,
                   double mouseX, double mouseY) {
    int picked = -1;
    double nearest = kPickRadiusPixels;
    for (std::size_t i = 0; i < drawnPoints.size(); ++i) {
        if (i < fixed.size() && fixed[i] != 0) {
            continue;
        }
        const std::optional<WindowPoint> window =
            projectToWindow(drawnPoints[i], modelView, projection, viewport);
        if (!window) {
            continue;
        }
        const double distance = std::hypot(window->x - mouseX, window->y - mouseY);
        if (distance < nearest) { // strictly: the lowest index keeps a tie
            nearest = distance;
            picked = static_cast<int>(i);
        }
    }
    return picked;
}

} // namespace muntero
