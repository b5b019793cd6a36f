// The OpenGL window of the model drawer: the model's springs as lines, each
// node's displacement drawn as its height, animated from a timer. The left
// button pushes the node under the mouse up, the right button down; the arrow
// keys turn the picture. All work runs on the interface thread.
#pragma once

#include <muntero/DrawerAnimation.h>
#include <muntero/view/Export.h>

#include <QBasicTimer>
#include <QOpenGLWidget>
#include <memory>

class QAction;

namespace InstrumentKit {
class Representation;
template <class Value>
class Processor;
} // namespace InstrumentKit

namespace muntero::view {
class DrawerRenderer;
struct DrawnPicture;
} // namespace muntero::view

class MUNTERO_VIEW_API CDrawerView : public QOpenGLWidget {
    Q_OBJECT

public:
    // The drawer's command ids, shared by the toolbar and the main window's menu.
    enum Command : int {
        PlayCommand = 32812,
        RefreshCommand = 32813,
        AccelerateCommand = 32816,
        SlowCommand = 32817,
        AmplitudeUpCommand = 32818,
        AmplitudeDownCommand = 32819,
    };

    // Shown in place of the picture when no OpenGL context can be made.
    static constexpr const char* kContextFailedText = "ChoosePixelFormat failed";

    explicit CDrawerView(QWidget* parent = nullptr);
    ~CDrawerView() override;

    // False on platforms where an OpenGL widget cannot be shown at all (the
    // offscreen and minimal test platforms): the frame makes no view there.
    static bool openGLWidgetsAvailable();

    // Keeps the pointer (not owned); the model is read on Refresh. Returns 0.
    int setRepresentation(InstrumentKit::Representation* model);
    void setProcessor(InstrumentKit::Processor<double>*) {}

    // Refresh: rebuilds the integrator and the picture from the model. A model
    // that gives nothing to draw leaves the view as it was; so does one that
    // cannot be taken in (out of memory, or anything else thrown), which
    // shows one message through muntero::view::showMessage.
    void getRepr();
    // The model was replaced (opened, or a new one started): Refresh, and
    // when the new model gives nothing to draw, an empty picture rather than
    // the old model's.
    void modelReplaced();
    // Takes the picture of the model as it is now and has it shown. Later
    // repaints show the same picture until the next one is taken, so the
    // arrow keys turn the picture at the next tick.
    void DrawScene();

    // One timer tick: draws the picture, then applies the held buttons'
    // forces and, while playing, advances the model by the steps per tick.
    // A failure stops the animation as a failed paint does.
    void OnTimer();
    // Pictures taken so far.
    int framesDrawn() const { return framesDrawn_; }

    // Commands and their update rules.
    void OnFilePlay();
    void OnRefresh() { getRepr(); }
    void OnAccelerate();
    void OnSlow();
    void OnAmplUp();
    void OnAmplDown();
    void OnUpdateFilePlay(QAction* action) const;
    void OnUpdateAccelerate(QAction* action) const;
    void OnUpdateSlow(QAction* action) const;
    void OnUpdateAmplDown(QAction* action) const;
    // Runs the handler of a drawer command; false for any other id.
    bool OnCmdMsg(int id);

    const muntero::DrawerAnimation& animation() const { return animation_; }
    muntero::DrawerAnimation& animation() { return animation_; }
    // The timer runs only while playing or while a button holds a node.
    bool timerActive() const { return timer_.isActive(); }
    int timerPeriodMs() const { return timerPeriodMs_; }
    bool renderingFailed() const { return renderingFailed_; }
    // True from a failed paint or tick until the next paint that succeeds:
    // failures in between stop the animation again but show no message.
    bool drawingFailureReported() const { return drawingFailureReported_; }

signals:
    // Playing, speed or amplitude changed: the commands' update rules may give
    // another answer.
    void commandStateChanged();
    // Emitted once when no OpenGL context can be made; the view keeps running
    // (timer, simulation, mouse forces) without drawing.
    void contextFailed(const QString& text);

protected:
    // Draws the current picture on the view's framebuffer (the context is
    // current); paintGL catches whatever it throws.
    virtual void paintPicture();

    void initializeGL() override;
    void resizeEvent(QResizeEvent* event) override;
    void paintGL() override;
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void updateTimer();
    void drawUnlessTicking();
    void reportContextFailure();
    // Stops playing and the timer; shows text (after the current event) unless
    // a failure was shown since the last successful paint.
    void reportDrawingFailure(const QString& text);
    void releaseRenderer();

    InstrumentKit::Representation* model_ = nullptr;
    muntero::DrawerAnimation animation_;
    std::unique_ptr<muntero::view::DrawnPicture> picture_;
    std::unique_ptr<muntero::view::DrawerRenderer> renderer_;
    QBasicTimer timer_;
    int timerPeriodMs_ = 0;
    int framesDrawn_ = 0;
    bool renderingFailed_ = false;
    bool drawingFailureReported_ = false;
};
