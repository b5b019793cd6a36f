// The drawer's transforms, computed on the processor with the formulas of the
// fixed-function pipeline (glTranslate, glRotate, glScale, gluPerspective,
// gluProject) in double precision. The same matrices draw the picture and
// pick the node under the mouse, so picking never reads anything back from
// the graphics driver.
#pragma once

#include <muntero/DrawerScene.h>
#include <muntero/Export.h>

#include <array>
#include <optional>
#include <vector>

namespace muntero {

// A 4 x 4 matrix stored column by column, as OpenGL loads it: element (row r,
// column c) is m[c * 4 + r].
struct MUNTERO_API Matrix4 {
    std::array<double, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    double at(int row, int column) const { return m[static_cast<std::size_t>(column * 4 + row)]; }
    const double* data() const { return m.data(); }

    // this · other, as glMultMatrix applies other after the current matrix.
    Matrix4 operator*(const Matrix4& other) const;
    Matrix4 translated(double x, double y, double z) const;
    // angle in degrees about the axis (x, y, z), normalised first.
    Matrix4 rotated(double angleDegrees, double x, double y, double z) const;
    Matrix4 scaled(double x, double y, double z) const;

    // gluPerspective.
    static Matrix4 perspective(double fovyDegrees, double aspect, double zNear, double zFar);
};

struct Viewport {
    int x = 0;
    int y = 0;
    int width = 1;
    int height = 1;
};

// A point in window coordinates: origin at the bottom left, y upwards, depth
// in [0, 1] between the near and far planes.
struct WindowPoint {
    double x = 0.0;
    double y = 0.0;
    double depth = 0.0;
};

// gluProject: nothing when the point lies in the eye's plane (w = 0).
MUNTERO_API std::optional<WindowPoint> projectToWindow(const ScenePoint& point, const Matrix4& modelView,
                                                       const Matrix4& projection, const Viewport& viewport);

// How the drawer looks at the model.
struct ViewOrientation {
    float rotationX = 40.0f; // degrees about the x axis; the up and down arrows turn it
    float rotationY = 0.0f;  // degrees about the y axis; the left and right arrows turn it
    float rotationZ = 0.0f;  // nothing changes it
    float distance = 4.5f;   // of the model from the eye
};

inline constexpr double kDrawerFieldOfViewDegrees = 45.0;
inline constexpr double kDrawerNearPlane = 3.0;
inline constexpr double kDrawerFarPlane = 7.0;
inline constexpr double kDrawerHorizontalScale = 1.5;

// The perspective for a window of this size: 45 degrees vertical field of
// view, aspect width/height as a float (1 when the height is 0), near plane 3,
// far plane 7.
MUNTERO_API Matrix4 drawerProjection(int width, int height);
// Translation by -distance along z, rotations about x, y and z, then the scale
// (1.5, amplitude, 1.5): the displacement axis is scaled by the amplitude.
MUNTERO_API Matrix4 drawerModelView(const ViewOrientation& orientation, double amplitude);

// The drawn point of vertex i: (x, displacement, y).
inline ScenePoint drawnPoint(const ScenePoint& vertex, double displacement) {
    return {vertex.x, displacement, vertex.y};
}

// Vertices closer to the mouse than this many pixels can be picked.
inline constexpr double kPickRadiusPixels = 20.0;

// The free vertex whose drawn point projects nearest to the mouse, closer than
// kPickRadiusPixels; the lowest index wins a tie; -1 for none. mouse is in
// window coordinates (y upwards). drawnPoints[i] belongs to vertex i.
MUNTERO_API int pickFreeVertex(const std::vector<ScenePoint>& drawnPoints,
                               const std::vector<std::uint8_t>& fixed, const Matrix4& modelView,
                               const Matrix4& projection, const Viewport& viewport, double mouseX,
                               double mouseY);

} // namespace muntero
