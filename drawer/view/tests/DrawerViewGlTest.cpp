// The drawer on a real OpenGL context (Xvfb with Mesa's software renderer):
// the picture grabbed from the framebuffer shows the lines where our own
// transforms say they are, picked ends turn red, a held node rises while
// playing, and the arrow keys turn the picture at the next tick; a paint that
// keeps failing says so once.
#include <modelkit/ModelFile.h>
#include <modelkit/Representation.h>
#include <muntero/view/CDrawerFrame.h>
#include <muntero/view/CDrawerView.h>
#include <muntero/view/DrawerMessages.h>

#include <QAction>
#include <QImage>
#include <QTest>
#include <QToolBar>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <stdexcept>

namespace {

using InstrumentKit::Node;
using InstrumentKit::Representation;

// A square seen from the default angle: the fixed nodes f0 (0, 0) and f1
// (1, 0) joined by a spring (drawn, never simulated), the free nodes a (0, 1)
// and b (1, 1) joined to each other and each to the fixed node below it.
// Light masses on soft springs, so a push shows within a few ticks.
Representation square() {
    Representation model;
    Node& f0 = model.createNode("f0");
    Node& f1 = model.createNode("f1");
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    f0.position = {0.0, 0.0, 0.0};
    f1.position = {1.0, 0.0, 0.0};
    a.position = {0.0, 1.0, 0.0};
    b.position = {1.0, 1.0, 0.0};
    f0.fixed = f1.fixed = true;
    f0.links = {{&f1, 1.0}};
    for (Node* free : {&a, &b}) {
        free->parameters[Node::kMass] = 0.001;
    }
    a.links = {{&b, 1.0}, {&f0, 1.0}};
    b.links = {{&a, 1.0}, {&f1, 1.0}};
    InstrumentKit::Element element;
    element.nodes = {&f0, &f1, &a, &b};
    model.elements = {element};
    return model;
}

constexpr int kFixedF0 = 0;
constexpr int kFixedF1 = 1;
constexpr int kFreeA = 2;
constexpr int kFreeB = 3;

struct Rgb {
    int r, g, b;
};

class DrawerViewGl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CDrawerView::openGLWidgetsAvailable()) << "run under xvfb-run with QT_QPA_PLATFORM=xcb";
        frame.resize(640, 480);
        frame.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
        view = frame.view();
        ASSERT_NE(view, nullptr);
        ASSERT_TRUE(view->isValid());
        ASSERT_FALSE(view->renderingFailed());
        frame.setRepresentation(&model);
    }

    // Where a point of the model's drawing lands in the grabbed image.
    QPointF imagePoint(double x, double displacement, double y) const {
        const auto& animation = view->animation();
        const auto window = muntero::projectToWindow({x, displacement, y}, animation.modelView(),
                                                     animation.projection(), animation.viewport());
        return {window->x, animation.viewport().height - window->y};
    }
    QPointF vertexPoint(int i) const {
        const auto& v = view->animation().geometry().vertices[static_cast<std::size_t>(i)];
        return imagePoint(v.x, view->animation().displacement(i), v.y);
    }
    // The point a fraction t of the way from vertex i to vertex j.
    QPointF between(int i, int j, double t) const {
        const QPointF p = vertexPoint(i);
        const QPointF q = vertexPoint(j);
        return p + (q - p) * t;
    }
    // A pixel within `reach` pixels of the point satisfying the test.
    template <class Test>
    static std::optional<QPoint> findNear(const QImage& image, QPointF at, int reach, Test test) {
        const QPoint centre(static_cast<int>(std::floor(at.x())), static_cast<int>(std::floor(at.y())));
        for (int dy = -reach; dy <= reach; ++dy) {
            for (int dx = -reach; dx <= reach; ++dx) {
                const QPoint p = centre + QPoint(dx, dy);
                if (image.rect().contains(p)) {
                    const QColor c = image.pixelColor(p);
                    if (test(Rgb{c.red(), c.green(), c.blue()})) {
                        return p;
                    }
                }
            }
        }
        return std::nullopt;
    }
    static bool isColour(Rgb c, int r, int g, int b) {
        return std::abs(c.r - r) <= 2 && std::abs(c.g - g) <= 2 && std::abs(c.b - b) <= 2;
    }
    static bool isRed(Rgb c) { return c.r > 200 && c.g < 60 && c.b < 60; }
    QPoint widgetPoint(int vertex) const { return vertexPoint(vertex).toPoint(); }

    Representation model = square();
    CDrawerFrame frame;
    CDrawerView* view = nullptr;
};

TEST_F(DrawerViewGl, NothingIsDrawnBeforeRefresh) {
    const QImage image = view->grabFramebuffer();
    int lit = 0;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            lit += image.pixelColor(x, y) != QColor(Qt::black) ? 1 : 0;
        }
    }
    EXPECT_EQ(lit, 0);
}

TEST_F(DrawerViewGl, RefreshShowsFixedBlueAndOrdinaryLightBlueLinesWhereTheTransformsPutThem) {
    frame.action(CDrawerView::RefreshCommand)->trigger();
    ASSERT_EQ(view->animation().nodeCount(), 4);
    const QImage image = view->grabFramebuffer();
    ASSERT_EQ(image.size(), view->size() * view->devicePixelRatio());
    // Between two fixed ends: pure blue; between two free ones: (0.02, 0.74, 0.98).
    for (double t : {0.25, 0.5, 0.75}) {
        EXPECT_TRUE(
            findNear(image, between(kFixedF0, kFixedF1, t), 2, [](Rgb c) { return isColour(c, 0, 0, 255); }))
            << "fixed line at " << t;
        EXPECT_TRUE(
            findNear(image, between(kFreeA, kFreeB, t), 2, [](Rgb c) { return isColour(c, 5, 189, 250); }))
            << "free line at " << t;
    }
    // Nothing where no line is: the middle of the square.
    const QPointF middle = (vertexPoint(kFixedF0) + vertexPoint(kFreeB)) / 2;
    EXPECT_FALSE(findNear(image, middle, 10, [](Rgb c) { return c.r + c.g + c.b > 0; }));
}

TEST_F(DrawerViewGl, LeftPressTurnsTheNodesEndsRedAndPlayingRaisesIt) {
    frame.action(CDrawerView::RefreshCommand)->trigger();
    const QPointF rest = vertexPoint(kFreeA);
    QTest::mousePress(view, Qt::LeftButton, {}, widgetPoint(kFreeA) + QPoint(3, -2));
    ASSERT_EQ(view->animation().leftIndex(), kFreeA);
    view->OnTimer(); // the next tick shows the pick
    QImage image = view->grabFramebuffer();
    EXPECT_TRUE(findNear(image, between(kFreeA, kFreeB, 0.05), 2, isRed));
    EXPECT_FALSE(findNear(image, between(kFreeB, kFreeA, 0.05), 2, isRed));

    frame.action(CDrawerView::PlayCommand)->trigger();
    for (int i = 0; i < 6; ++i) {
        frame.action(CDrawerView::AccelerateCommand)->trigger(); // 64 steps per tick
    }
    for (int tick = 0; tick < 5; ++tick) {
        view->OnTimer(); // the button stays down without moving
    }
    view->DrawScene(); // the picture of the state after the last tick's steps
    EXPECT_GT(view->animation().displacement(kFreeA), 0.05);
    EXPECT_EQ(view->animation().leftIndex(), kFreeA);
    const QPointF raised = vertexPoint(kFreeA);
    EXPECT_LT(raised.y(), rest.y() - 5.0); // higher in the picture
    image = view->grabFramebuffer();
    EXPECT_TRUE(findNear(image, raised + (vertexPoint(kFreeB) - raised) * 0.05, 2, isRed));

    QTest::mouseRelease(view, Qt::LeftButton, {}, widgetPoint(kFreeA));
    EXPECT_EQ(view->animation().leftIndex(), -1);
    view->OnTimer();
    image = view->grabFramebuffer();
    EXPECT_FALSE(findNear(image, between(kFreeA, kFreeB, 0.05), 2, isRed));
}

TEST_F(DrawerViewGl, RightPressPushesDownInGreen) {
    frame.action(CDrawerView::RefreshCommand)->trigger();
    QTest::mousePress(view, Qt::RightButton, {}, widgetPoint(kFreeB));
    ASSERT_EQ(view->animation().rightIndex(), kFreeB);
    view->OnTimer();
    const QImage image = view->grabFramebuffer();
    EXPECT_TRUE(findNear(image, between(kFreeB, kFreeA, 0.05), 2,
                         [](Rgb c) { return c.g > 200 && c.r < 60 && c.b < 60; }));
    frame.action(CDrawerView::PlayCommand)->trigger();
    for (int tick = 0; tick < 20; ++tick) {
        view->OnTimer();
    }
    EXPECT_LT(view->animation().displacement(kFreeB), 0.0);
    QTest::mouseRelease(view, Qt::RightButton, {}, widgetPoint(kFreeB));
}

TEST_F(DrawerViewGl, DraggingAcrossTheModelPushesEveryNodeItPasses) {
    frame.action(CDrawerView::RefreshCommand)->trigger();
    frame.action(CDrawerView::PlayCommand)->trigger();
    const QPoint from = widgetPoint(kFreeA);
    const QPoint to = widgetPoint(kFreeB);
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    for (int i = 1; i <= 10; ++i) {
        const QPoint at = from + (to - from) * i / 10;
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, {});
        QCoreApplication::sendEvent(view, &move);
        view->OnTimer();
    }
    QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    EXPECT_GT(view->animation().integrator()->velocity(kFreeA), 0.0);
    EXPECT_GT(view->animation().integrator()->velocity(kFreeB), 0.0);
}

TEST_F(DrawerViewGl, AReplacedModelIsShownAtOnceAndAnEmptyOneClearsThePicture) {
    frame.modelReplaced(); // no Refresh
    ASSERT_EQ(view->animation().nodeCount(), 4);
    QImage image = view->grabFramebuffer();
    EXPECT_TRUE(
        findNear(image, between(kFreeA, kFreeB, 0.5), 2, [](Rgb c) { return isColour(c, 5, 189, 250); }));
    model = Representation(); // File > New
    frame.modelReplaced();
    EXPECT_FALSE(view->animation().hasScene());
    image = view->grabFramebuffer();
    int lit = 0;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            lit += image.pixelColor(x, y) != QColor(Qt::black) ? 1 : 0;
        }
    }
    EXPECT_EQ(lit, 0);
}

// Every bundled model: its outermost nodes are drawn inside the picture, and
// a held left button moves a node's red ends by many pixels.
TEST_F(DrawerViewGl, EveryBundledModelIsWholeInThePictureAndAHeldButtonVisiblyMovesANode) {
    for (const char* name :
         {"free-bar.json", "plucked-string.json", "string-on-board.json", "struck-membrane.json"}) {
        SCOPED_TRACE(name);
        model = InstrumentKit::loadModelFile(std::filesystem::path(KIVORA_SOURCE_DIR) / "examples" /
                                             "models" / name);
        // At rest, so that what moves is the push (plucked models start bent).
        for (InstrumentKit::Element& element : model.elements) {
            for (Node* node : element.nodes) {
                node->parameters[Node::kInitialDisplacement] = 0.0;
                node->parameters[Node::kInitialVelocity] = 0.0;
            }
        }
        frame.modelReplaced();
        ASSERT_GT(view->animation().nodeCount(), 0);
        const QImage image = view->grabFramebuffer();
        const QRect inside = image.rect().adjusted(2, 2, -2, -2);
        for (int i = 0; i < view->animation().nodeCount(); ++i) {
            EXPECT_TRUE(inside.contains(vertexPoint(i).toPoint())) << "node " << i;
        }
        // The outermost ends of lines are drawn.
        int leftmost = view->animation().geometry().edges.front().first;
        int rightmost = leftmost;
        for (const muntero::SceneEdge& edge : view->animation().geometry().edges) {
            for (int i : {edge.first, edge.second}) {
                leftmost = vertexPoint(i).x() < vertexPoint(leftmost).x() ? i : leftmost;
                rightmost = vertexPoint(i).x() > vertexPoint(rightmost).x() ? i : rightmost;
            }
        }
        const auto lit = [](Rgb c) { return c.r + c.g + c.b > 100; };
        EXPECT_TRUE(findNear(image, vertexPoint(leftmost), 2, lit));
        EXPECT_TRUE(findNear(image, vertexPoint(rightmost), 2, lit));

        // The free node nearest the middle of the picture.
        int node = -1;
        for (int i = 0; i < view->animation().nodeCount(); ++i) {
            const QPointF middle(view->width() / 2.0, view->height() / 2.0);
            if (view->animation().geometry().fixed[static_cast<std::size_t>(i)] == 0 &&
                (node == -1 ||
                 QLineF(vertexPoint(i), middle).length() < QLineF(vertexPoint(node), middle).length())) {
                node = i;
            }
        }
        ASSERT_NE(node, -1);
        const QPointF rest = vertexPoint(node);
        if (!view->animation().controls().playing()) {
            frame.action(CDrawerView::PlayCommand)->trigger();
        }
        while (view->animation().controls().stepsPerTick() < 64) {
            frame.action(CDrawerView::AccelerateCommand)->trigger();
        }
        QTest::mousePress(view, Qt::LeftButton, {}, rest.toPoint());
        ASSERT_EQ(view->animation().leftIndex(), node);
        double risen = 0.0;
        for (int tick = 0; tick < 40; ++tick) {
            view->OnTimer();
            risen = std::max(risen, rest.y() - vertexPoint(node).y());
        }
        EXPECT_GT(risen, 15.0) << "pixels";
        QTest::mouseRelease(view, Qt::LeftButton, {}, rest.toPoint());
    }
}

TEST_F(DrawerViewGl, ArrowKeysTurnTheStoppedPictureAtOnce) {
    frame.activateWindow();
    frame.setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    EXPECT_TRUE(view->hasFocus()); // the frame hands the focus to its view
    frame.action(CDrawerView::RefreshCommand)->trigger();
    view->OnTimer();
    QCoreApplication::sendPostedEvents(); // pending updates, but no timer ticks
    const int drawn = view->framesDrawn();
    const QImage before = view->grabFramebuffer();
    const QPointF middleBefore = between(kFreeA, kFreeB, 0.5);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(view->animation().orientation().rotationY, 6.0f);
    // Stopped, no tick comes: each key draws the turned picture at once.
    EXPECT_EQ(view->framesDrawn(), drawn + 2);
    const QImage after = view->grabFramebuffer();
    EXPECT_FALSE(after == before);
    const QPointF middleAfter = between(kFreeA, kFreeB, 0.5);
    EXPECT_GT(QLineF(middleBefore, middleAfter).length(), 3.0);
    const auto lightBlue = [](Rgb c) { return isColour(c, 5, 189, 250); };
    EXPECT_TRUE(findNear(after, middleAfter, 2, lightBlue));
    EXPECT_TRUE(findNear(before, middleBefore, 2, lightBlue));
}

TEST_F(DrawerViewGl, ToolbarButtonsReachTheViewAndFollowItsUpdateRules) {
    QToolBar* toolBar = frame.toolBar();
    QAction* play = frame.action(CDrawerView::PlayCommand);
    QAction* accelerate = frame.action(CDrawerView::AccelerateCommand);
    EXPECT_FALSE(accelerate->isEnabled());
    QTest::mouseClick(toolBar->widgetForAction(play), Qt::LeftButton);
    EXPECT_TRUE(view->animation().controls().playing());
    EXPECT_TRUE(play->isChecked());
    EXPECT_TRUE(accelerate->isEnabled());
    QTest::mouseClick(toolBar->widgetForAction(accelerate), Qt::LeftButton);
    EXPECT_EQ(view->animation().controls().stepsPerTick(), 2);
    QAction* down = frame.action(CDrawerView::AmplitudeDownCommand);
    for (int i = 0; i < 4; ++i) {
        QTest::mouseClick(toolBar->widgetForAction(down), Qt::LeftButton);
    }
    EXPECT_FALSE(down->isEnabled());
    QTest::mouseClick(toolBar->widgetForAction(play), Qt::LeftButton);
    EXPECT_FALSE(play->isChecked());
    EXPECT_FALSE(accelerate->isEnabled());
    EXPECT_FALSE(view->timerActive());
}

TEST_F(DrawerViewGl, LegendNamesTheModelOverThePicture) {
    frame.action(CDrawerView::RefreshCommand)->trigger();
    const QImage image = view->grabFramebuffer();
    // Light grey text in the top left corner.
    bool text = false;
    for (int y = 0; y < 24 && !text; ++y) {
        for (int x = 0; x < 200 && !text; ++x) {
            const QColor c = image.pixelColor(x, y);
            text = c.red() > 100 && std::abs(c.red() - c.blue()) < 20;
        }
    }
    EXPECT_TRUE(text);
    EXPECT_EQ(view->animation().legendLine(), "4 nodes, 1 step per tick, 0.000 s simulated");
}

// A view whose drawing throws while `failing` is set.
class FailingPaintView : public CDrawerView {
public:
    bool failing = false;
    int paintAttempts = 0;

protected:
    void paintPicture() override {
        ++paintAttempts;
        if (failing) {
            throw std::runtime_error("the device is lost");
        }
        CDrawerView::paintPicture();
    }
};

TEST(DrawerViewPaintFailure, OneMessageUntilAPaintSucceedsAndEveryFailureStopsTheTimer) {
    QStringList messages;
    const muntero::view::MessageHandler previous =
        muntero::view::setMessageHandler([&](QWidget*, const QString& text) { messages << text; });
    struct Restore {
        muntero::view::MessageHandler handler;
        ~Restore() { muntero::view::setMessageHandler(std::move(handler)); }
    } restore{previous};
    Representation model = square();
    FailingPaintView view;
    view.resize(320, 240);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    ASSERT_TRUE(view.isValid());
    view.setRepresentation(&model);
    view.OnRefresh();

    view.failing = true;
    view.OnFilePlay();
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.size() == 1; }, 10000));
    EXPECT_EQ(messages[0].toStdString(),
              "The model could not be drawn (the device is lost). The animation has stopped.");
    EXPECT_FALSE(view.timerActive());
    EXPECT_FALSE(view.animation().controls().playing());
    EXPECT_TRUE(view.drawingFailureReported());

    // Playing again fails again: stopped again, without a second message.
    const int attempts = view.paintAttempts;
    view.OnFilePlay();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.paintAttempts > attempts && !view.timerActive(); }, 10000));
    QTest::qWait(100); // time for a queued message to arrive
    EXPECT_EQ(messages.size(), 1);
    EXPECT_FALSE(view.animation().controls().playing());

    // A paint that succeeds re-arms the message.
    view.failing = false;
    view.update();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.drawingFailureReported(); }, 10000));
    view.failing = true;
    view.OnFilePlay();
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.size() == 2; }, 10000));
    EXPECT_FALSE(view.timerActive());
}

} // namespace
