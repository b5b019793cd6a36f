// Draws the drawer's picture with the legacy OpenGL 2.1 pipeline: the
// matrices computed on the processor are loaded as they are, the lines drawn
// from client-side arrays, the legend painted over them with QPainter. The
// view and the benchmark share it.
#pragma once

#include <muntero/DrawerAnimation.h>

#include <QSize>
#include <memory>
#include <string>

class QOpenGLContext;
class QOpenGLFunctions_2_1;
class QPainter;

namespace muntero::view {

// One picture as the timer tick took it: the lines with their colours, the
// model-view transform and the legend of that moment.
struct DrawnPicture {
    FrameLines lines;
    Matrix4 modelView;
    std::string legend;

    // Takes the animation's current state (reusing the line storage).
    void take(const DrawerAnimation& animation);
};

class DrawerRenderer {
public:
    // Needs the context current; nothing when it offers no OpenGL 2.1
    // functions (a core profile or an OpenGL ES context).
    static std::unique_ptr<DrawerRenderer> create(QOpenGLContext* context);

    // Draws the picture on the painter's device, a framebuffer of pixelSize
    // pixels, seen through projection.
    void paint(QPainter& painter, const DrawnPicture& picture, const Matrix4& projection, QSize pixelSize);

private:
    explicit DrawerRenderer(QOpenGLFunctions_2_1* gl) : gl_(gl) {}
    void drawLines(const FrameLines& lines, const Matrix4& projection, const Matrix4& modelView,
                   QSize pixelSize);

    QOpenGLFunctions_2_1* gl_;
};

} // namespace muntero::view
