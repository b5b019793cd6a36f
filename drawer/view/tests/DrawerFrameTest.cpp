// The drawer frame and view where no OpenGL widget can be shown (the
// offscreen platform): the plug-in interface, the commands and their texts,
// the failure text, and the view's commands on a view that is never shown.
#include "AllocationLimit.h"

#include <modelkit/Builders.h>
#include <muntero/view/CDrawerFrame.h>
#include <muntero/view/CDrawerView.h>
#include <muntero/view/DrawerMessages.h>

#include <QAction>
#include <QDataStream>
#include <QLabel>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

TEST(DrawerFrame, PlugInInterface) {
    CDrawerFrame frame;
    EXPECT_EQ(frame.getName(), "2d drawer for linear model");
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    EXPECT_EQ(frame.serialize(out), 0);
    EXPECT_TRUE(bytes.isEmpty());
    QDataStream in(&bytes, QIODevice::ReadOnly);
    EXPECT_EQ(frame.deSerialize(in), 0);
    EXPECT_EQ(frame.setPosition(7), 0);
    EXPECT_EQ(frame.getLength(), 0);
    EXPECT_EQ(frame.showPicture(), 0);
    InstrumentKit::Representation model = InstrumentKit::defaultModel();
    EXPECT_EQ(frame.setRepresentation(&model), 0);
    frame.setProcessor(nullptr);
}

TEST(DrawerFrame, ToolbarHoldsTheCommandsInOrderWithTheirTexts) {
    CDrawerFrame frame;
    struct Expected {
        int id;
        const char* tool;
        const char* status;
    };
    const Expected expected[] = {
        {CDrawerView::PlayCommand, "Play", "Draw process"},
        {CDrawerView::SlowCommand, "Slow", "Slow down playing"},
        {CDrawerView::AccelerateCommand, "Accel", "Accelerate play speed"},
        {0, nullptr, nullptr},
        {CDrawerView::AmplitudeUpCommand, "Increase ampl", "Increase displayed amplitude"},
        {CDrawerView::AmplitudeDownCommand, "Decrease ampl", "Decrease displayed amplitude"},
        {0, nullptr, nullptr},
        {CDrawerView::RefreshCommand, "Refresh", "Reinitialize graph for drawing"},
    };
    const QList<QAction*> onToolbar = frame.toolBar()->actions();
    ASSERT_EQ(onToolbar.size(), 8);
    for (int i = 0; i < 8; ++i) {
        const Expected& e = expected[i];
        QAction* action = onToolbar[i];
        if (e.tool == nullptr) {
            EXPECT_TRUE(action->isSeparator()) << i;
            continue;
        }
        EXPECT_EQ(action, frame.action(e.id)) << i;
        EXPECT_EQ(action->toolTip().toStdString(), e.tool);
        EXPECT_EQ(action->iconText().toStdString(), e.tool);
        EXPECT_EQ(action->statusTip().toStdString(), e.status);
    }
    EXPECT_EQ(frame.action(12345), nullptr);
}

TEST(DrawerFrame, MenuOrderAndTexts) {
    CDrawerFrame frame;
    QStringList texts;
    for (QAction* action : frame.commandActions()) {
        texts << action->text();
    }
    EXPECT_EQ(texts.join('|').toStdString(),
              "&Refresh|&Play|&Slow|&Accel|&Increase Amplitude|&Decrease Amplitude");
}

// Offscreen, an OpenGL widget cannot be shown: the pane shows the failure
// text in place of the picture and its commands are off.
TEST(DrawerFrame, WithoutOpenGLThePaneShowsTheFailureText) {
    ASSERT_FALSE(CDrawerView::openGLWidgetsAvailable());
    CDrawerFrame frame;
    frame.resize(400, 300);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    EXPECT_EQ(frame.view(), nullptr);
    auto* failure = frame.findChild<QLabel*>(QStringLiteral("drawerFailure"));
    ASSERT_NE(failure, nullptr);
    EXPECT_TRUE(failure->isVisible());
    EXPECT_EQ(failure->text().toStdString(), "ChoosePixelFormat failed");
    for (QAction* action : frame.commandActions()) {
        EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
    }
    EXPECT_FALSE(frame.OnCmdMsg(CDrawerView::PlayCommand));
}

// Replaces the drawer's message box for a scope.
class MessagesTaken {
public:
    explicit MessagesTaken(muntero::view::MessageHandler handler)
        : previous_(muntero::view::setMessageHandler(std::move(handler))) {}
    ~MessagesTaken() { muntero::view::setMessageHandler(std::move(previous_)); }
    MessagesTaken(const MessagesTaken&) = delete;
    MessagesTaken& operator=(const MessagesTaken&) = delete;

private:
    muntero::view::MessageHandler previous_;
};

// A view that is never shown runs its commands, timer and update rules.
class DrawerViewCommands : public ::testing::Test {
protected:
    void SetUp() override {
        play.setCheckable(true);
        QObject::connect(&view, &CDrawerView::commandStateChanged, [this] { ++stateChanges; });
    }
    CDrawerView view;
    QAction play{QStringLiteral("play")};
    QAction accelerate{QStringLiteral("accelerate")};
    QAction slow{QStringLiteral("slow")};
    QAction down{QStringLiteral("down")};
    int stateChanges = 0;

    void update() {
        view.OnUpdateFilePlay(&play);
        view.OnUpdateAccelerate(&accelerate);
        view.OnUpdateSlow(&slow);
        view.OnUpdateAmplDown(&down);
    }
};

TEST_F(DrawerViewCommands, PlayChecksAndEnablesTheSpeedCommandsAndSetsTheTimer) {
    update();
    EXPECT_FALSE(play.isChecked());
    EXPECT_FALSE(accelerate.isEnabled());
    EXPECT_FALSE(slow.isEnabled());
    EXPECT_FALSE(view.timerActive()); // stopped with nothing held: nothing to redraw
    EXPECT_TRUE(view.OnCmdMsg(CDrawerView::PlayCommand));
    EXPECT_TRUE(view.timerActive());
    EXPECT_EQ(view.timerPeriodMs(), 16);
    EXPECT_EQ(stateChanges, 1);
    update();
    EXPECT_TRUE(play.isChecked());
    EXPECT_TRUE(accelerate.isEnabled());
    EXPECT_TRUE(slow.isEnabled());
    view.OnSlow();
    EXPECT_EQ(view.timerPeriodMs(), 32);
    view.OnSlow();
    EXPECT_EQ(view.timerPeriodMs(), 64);
    view.OnAccelerate();
    EXPECT_EQ(view.timerPeriodMs(), 32);
    view.OnFilePlay(); // stopped: no timer, the interval kept for the next Play
    EXPECT_FALSE(view.timerActive());
    view.OnFilePlay();
    EXPECT_TRUE(view.timerActive());
    EXPECT_EQ(view.timerPeriodMs(), 32);
    EXPECT_FALSE(view.OnCmdMsg(57603));
}

TEST_F(DrawerViewCommands, WhileStoppedTheTimerRunsOnlyWhileAButtonHoldsANode) {
    InstrumentKit::Representation model = InstrumentKit::makeMembrane(5, 4);
    view.setRepresentation(&model);
    view.OnRefresh();
    view.animation().resize(400, 300);
    QPoint node(-1, -1);
    for (int y = 0; y < 300 && node.x() < 0; y += 3)
        for (int x = 0; x < 400 && node.x() < 0; x += 3)
            if (view.animation().pick(x, y) >= 0)
                node = QPoint(x, y);
    ASSERT_GE(node.x(), 0);
    const auto mouse = [&](QEvent::Type type, Qt::MouseButton button) {
        QMouseEvent event(type, node, view.mapToGlobal(node), button,
                          type == QEvent::MouseButtonPress ? button : Qt::NoButton, {});
        QCoreApplication::sendEvent(&view, &event);
    };
    EXPECT_FALSE(view.timerActive());
    view.OnAmplUp(); // drawn at once instead
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_FALSE(view.timerActive());
    for (const Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        mouse(QEvent::MouseButtonPress, button);
        EXPECT_TRUE(view.timerActive()) << button;
        EXPECT_EQ(view.timerPeriodMs(), 16);
        mouse(QEvent::MouseButtonRelease, button);
        EXPECT_FALSE(view.timerActive()) << button;
    }
    // Playing keeps it running past a release.
    view.OnFilePlay();
    mouse(QEvent::MouseButtonPress, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, Qt::LeftButton);
    EXPECT_TRUE(view.timerActive());
}

TEST_F(DrawerViewCommands, DecreaseAmplitudeIsOffAtTheFloor) {
    for (int i = 0; i < 4; ++i) {
        view.OnCmdMsg(CDrawerView::AmplitudeDownCommand);
    }
    update();
    EXPECT_FALSE(down.isEnabled());
    view.OnAmplUp();
    update();
    EXPECT_TRUE(down.isEnabled());
    EXPECT_NEAR(view.animation().controls().amplitude(), 0.4, 1e-12);
}

TEST_F(DrawerViewCommands, AccelAndSlowAreOffAtTheirLimits) {
    view.OnFilePlay();
    for (int i = 0; i < 40; ++i) {
        view.OnCmdMsg(CDrawerView::AccelerateCommand);
    }
    update();
    EXPECT_FALSE(accelerate.isEnabled());
    EXPECT_TRUE(slow.isEnabled());
    EXPECT_EQ(view.animation().controls().stepsPerTick(), muntero::PlaybackControls::kMaximumStepsPerTick);
    EXPECT_EQ(view.timerPeriodMs(), 16);
    for (int i = 0; i < 40; ++i) {
        view.OnCmdMsg(CDrawerView::SlowCommand);
    }
    update();
    EXPECT_TRUE(accelerate.isEnabled());
    EXPECT_FALSE(slow.isEnabled());
    EXPECT_EQ(view.timerPeriodMs(), muntero::PlaybackControls::kMaximumIntervalMs);
}

// A model too big for the memory: one message, the previous scene and its
// picture kept, the commands' state announced as after any Refresh.
TEST_F(DrawerViewCommands, RefreshOutOfMemoryKeepsTheSceneAndSaysSoOnce) {
    if (!muntero::test::LargeAllocationsFail::available()) {
        GTEST_SKIP() << "operator new belongs to the sanitizer";
    }
    QStringList messages;
    const MessagesTaken taken([&](QWidget* owner, const QString& text) {
        EXPECT_EQ(owner, &view);
        messages << text;
    });
    InstrumentKit::Representation small = InstrumentKit::makeMembrane(5, 4);
    InstrumentKit::Representation big = InstrumentKit::makeMembrane(100, 100);
    view.setRepresentation(&small);
    view.OnRefresh();
    ASSERT_EQ(view.animation().nodeCount(), 20);
    const muntero::RungeKuttaIntegrator* before = view.animation().integrator();
    const int framesBefore = view.framesDrawn();
    const int changesBefore = stateChanges;
    view.setRepresentation(&big);
    {
        // The big membrane's tables are hundreds of kilobytes, the small one's a few.
        muntero::test::LargeAllocationsFail memoryRunsOut(128 * 1024);
        EXPECT_NO_THROW(view.OnCmdMsg(CDrawerView::RefreshCommand));
    }
    EXPECT_GT(muntero::test::LargeAllocationsFail::refusals(), 0);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].toStdString(),
              "The model cannot be drawn (not enough memory). The drawer shows what it showed before.");
    EXPECT_EQ(view.animation().integrator(), before);
    EXPECT_EQ(view.animation().nodeCount(), 20);
    EXPECT_EQ(view.framesDrawn(), framesBefore);
    EXPECT_EQ(stateChanges, changesBefore + 1);
    view.OnRefresh(); // with memory again
    EXPECT_EQ(view.animation().nodeCount(), 10000);
}

TEST_F(DrawerViewCommands, RefreshReadsTheModelGivenEarlier) {
    InstrumentKit::Representation model = InstrumentKit::makeMembrane(5, 4);
    view.OnRefresh(); // no model yet
    EXPECT_FALSE(view.animation().hasScene());
    EXPECT_EQ(view.setRepresentation(&model), 0);
    EXPECT_FALSE(view.animation().hasScene()); // read on Refresh only
    view.OnCmdMsg(CDrawerView::RefreshCommand);
    EXPECT_EQ(view.animation().nodeCount(), 20);
}

TEST_F(DrawerViewCommands, ArrowKeysTurnTheViewOtherKeysPassOn) {
    QTest::keyClick(&view, Qt::Key_Left);
    QTest::keyClick(&view, Qt::Key_Up);
    EXPECT_EQ(view.animation().orientation().rotationY, -3.0f);
    EXPECT_EQ(view.animation().orientation().rotationX, 43.0f);
    QKeyEvent other(QEvent::KeyPress, Qt::Key_Q, Qt::NoModifier, QStringLiteral("q"));
    QCoreApplication::sendEvent(&view, &other);
    EXPECT_FALSE(other.isAccepted());
}

} // namespace
