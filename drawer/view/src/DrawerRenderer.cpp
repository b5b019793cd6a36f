#include "DrawerRenderer.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions_2_1>
#include <QOpenGLVersionFunctionsFactory>
#include <QPainter>
#include <memory>

namespace muntero::view {

std::unique_ptr<DrawerRenderer> DrawerRenderer::create(QOpenGLContext* context) {
    if (context == nullptr || !context->isValid() || context->isOpenGLES()) {
        return nullptr;
    }
    auto* gl = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_2_1>(context);
    if (gl == nullptr || !gl->initializeOpenGLFunctions()) {
        return nullptr;
    }
    return std::unique_ptr<DrawerRenderer>(new DrawerRenderer(gl));
}

void DrawnPicture::take(const DrawerAnimation& animation) {
    animation.frameLines(lines);
    modelView = animation.modelView();
    legend = animation.legendLine();
}

void DrawerRenderer::paint(QPainter& painter, const DrawnPicture& picture, const Matrix4& projection,
                           QSize pixelSize) {
    painter.beginNativePainting();
    drawLines(picture.lines, projection, picture.modelView, pixelSize);
    painter.endNativePainting();

    if (!picture.legend.empty()) {
        painter.setPen(QColor(220, 220, 220));
        const QRect area = painter.window().adjusted(6, 4, -6, -4);
        painter.drawText(area, Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(picture.legend));
    }
}

void DrawerRenderer::drawLines(const FrameLines& lines, const Matrix4& projection, const Matrix4& modelView,
                               QSize pixelSize) {
    QOpenGLFunctions_2_1& gl = *gl_;
    // The paint engine leaves its own program, buffers and blending behind.
    gl.glUseProgram(0);
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);
    gl.glDisable(GL_BLEND);
    gl.glDisable(GL_SCISSOR_TEST);
    gl.glDisable(GL_STENCIL_TEST);
    gl.glDisable(GL_TEXTURE_2D);
    gl.glDisable(GL_LINE_SMOOTH);
    gl.glShadeModel(GL_SMOOTH);
    gl.glLineWidth(1.0f);
    gl.glViewport(0, 0, pixelSize.width(), pixelSize.height());

    gl.glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    gl.glClearDepth(1.0);
    gl.glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    gl.glEnable(GL_DEPTH_TEST);
    gl.glDepthFunc(GL_LESS);
    gl.glDepthMask(GL_TRUE);

    gl.glMatrixMode(GL_PROJECTION);
    gl.glLoadMatrixd(projection.data());
    gl.glMatrixMode(GL_MODELVIEW);
    gl.glLoadMatrixd(modelView.data());

    if (lines.endCount() > 0) {
        gl.glEnableClientState(GL_VERTEX_ARRAY);
        gl.glEnableClientState(GL_COLOR_ARRAY);
        gl.glVertexPointer(3, GL_FLOAT, 0, lines.positions.data());
        gl.glColorPointer(3, GL_FLOAT, 0, lines.colours.data());
        gl.glDrawArrays(GL_LINES, 0, lines.endCount());
        gl.glDisableClientState(GL_COLOR_ARRAY);
        gl.glDisableClientState(GL_VERTEX_ARRAY);
    }
    gl.glDisable(GL_DEPTH_TEST);
    gl.glMatrixMode(GL_MODELVIEW);
    gl.glLoadIdentity();
    gl.glMatrixMode(GL_PROJECTION);
    gl.glLoadIdentity();
}

} // namespace muntero::view
