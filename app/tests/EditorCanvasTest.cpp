// The editor's canvas driven with the mouse: where a click puts a node, the
// grid and snapping from the first node on, picking springs, and the tools'
// tooltips.
#include "editor/ModelCanvas.h"
#include "editor/ModelEditorPane.h"
#include "session/ModelSession.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolBar>
#include <QUndoStack>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace kivora {
namespace {

class EditorCanvasTest : public ::testing::Test {
protected:
    void SetUp() override {
        editor_.resize(900, 600);
        editor_.show();
        QApplication::processEvents();
    }
    ModelCanvas* canvas() { return editor_.canvas(); }
    QPointF screenOf(int node) {
        const EditorNode& at = editor_.document().nodes[static_cast<std::size_t>(node)];
        return canvas()->toScreen(at.position.x, at.position.y);
    }

    ModelSession session_;
    ModelEditorPane editor_{session_};
};

// The first node of a new model is a model of no extent: fitting the view to
// it used to centre it and make the grid step about 1e-10.
TEST_F(EditorCanvasTest, TheFirstNodeStaysWhereClickedAndTheGridAndSnapWork) {
    canvas()->setTool(ModelCanvas::Tool::AddNode);
    const QPoint click(100, 120);
    QTest::mouseClick(canvas(), Qt::LeftButton, {}, click);
    ASSERT_EQ(editor_.document().nodes.size(), 1u);
    // The canvas changes size after the click, as when the side column or the
    // window's status bar takes room.
    editor_.resize(960, 640);
    QApplication::processEvents();
    EXPECT_NEAR(screenOf(0).x(), click.x(), 1e-9);
    EXPECT_NEAR(screenOf(0).y(), click.y(), 1e-9);
    const double stepPx = canvas()->gridStep() * canvas()->scale();
    EXPECT_GE(stepPx, 6.0); // drawn
    EXPECT_LE(stepPx, 200.0);

    // Snapping puts the second node on a grid crossing near the click.
    canvas()->setSnapToGrid(true);
    QTest::mouseClick(canvas(), Qt::LeftButton, {}, QPoint(157, 181));
    ASSERT_EQ(editor_.document().nodes.size(), 2u);
    const double step = canvas()->gridStep();
    for (double coordinate : {editor_.document().nodes[1].position.x, editor_.document().nodes[1].position.y})
        EXPECT_NEAR(std::remainder(coordinate, step), 0.0, step * 1e-9) << coordinate;
    EXPECT_LE(std::abs(screenOf(1).x() - 157.0), stepPx / 2 + 1e-9);
    EXPECT_LE(std::abs(screenOf(1).y() - 181.0), stepPx / 2 + 1e-9);
}

TEST_F(EditorCanvasTest, FittingOneNodeCentresItAndKeepsAUsableGrid) {
    editor_.addNode(3.0, -2.0);
    editor_.addNode(3.0, -2.0); // on top of the first: still no extent
    canvas()->resetView();
    EXPECT_NEAR(screenOf(0).x(), canvas()->width() / 2.0, 1e-6);
    EXPECT_NEAR(screenOf(0).y(), canvas()->height() / 2.0, 1e-6);
    const double stepPx = canvas()->gridStep() * canvas()->scale();
    EXPECT_GE(stepPx, 6.0);
    EXPECT_LE(stepPx, 200.0);
    // A model with extent gets 10 to 20 lines across it, as before.
    editor_.addNode(5.0, -2.0);
    canvas()->resetView();
    EXPECT_DOUBLE_EQ(canvas()->gridStep(), 0.1);
}

// The two-mass chain: nodes at x = 0, 1, 2; springs 0-1 (400) and 1-2 (900).
void buildChain(ModelEditorPane& editor) {
    editor.addNode(0.0, 0.0);
    editor.addNode(1.0, 0.0);
    editor.addNode(2.0, 0.0);
    editor.session().addSpring(0, 1, 400.0);
    editor.session().addSpring(1, 2, 900.0);
}

TEST_F(EditorCanvasTest, AClickNearASpringSelectsItForItsStiffness) {
    buildChain(editor_);
    canvas()->resetView();
    canvas()->setTool(ModelCanvas::Tool::Select);
    const QPointF middle = (screenOf(1) + screenOf(2)) / 2.0;
    QTest::mouseClick(canvas(), Qt::LeftButton, {}, (middle + QPointF(0, 4)).toPoint());
    ASSERT_TRUE(editor_.selectedSpring().has_value());
    EXPECT_EQ(*editor_.selectedSpring(), std::make_pair(1, 2));
    EXPECT_TRUE(editor_.selection().empty());
    QLineEdit* stiffness = editor_.fieldEdit(NodeField::Stiffness);
    EXPECT_TRUE(stiffness->isEnabled());
    EXPECT_EQ(stiffness->text(), QStringLiteral("900"));
    EXPECT_FALSE(editor_.fieldEdit(NodeField::Mass)->isEnabled());

    // Typed into the field, the value reaches both directions of the spring, undoably.
    stiffness->setFocus();
    stiffness->selectAll();
    QTest::keyClicks(stiffness, QStringLiteral("2500"));
    QTest::keyClick(stiffness, Qt::Key_Return);
    EXPECT_EQ(editor_.document().springBetween(1, 2), 2500.0);
    EXPECT_EQ(editor_.document().springBetween(2, 1), 2500.0);
    const auto& links = editor_.document().links;
    EXPECT_EQ(std::count_if(links.begin(), links.end(),
                            [](const EditorLink& link) { return link.stiffness == 2500.0; }),
              2);
    EXPECT_EQ(editor_.document().springBetween(0, 1), 400.0);
    editor_.session().undoStack()->undo();
    EXPECT_EQ(editor_.document().springBetween(1, 2), 900.0);

    // A node under the cursor wins over the springs that end there; empty space clears.
    QTest::mouseClick(canvas(), Qt::LeftButton, {}, screenOf(1).toPoint());
    EXPECT_EQ(editor_.selection(), std::vector<int>({1}));
    EXPECT_FALSE(editor_.selectedSpring().has_value());
    QTest::mouseClick(canvas(), Qt::LeftButton, {}, (middle + QPointF(0, 60)).toPoint());
    EXPECT_TRUE(editor_.selection().empty());
    EXPECT_FALSE(editor_.selectedSpring().has_value());
}

TEST_F(EditorCanvasTest, DeletingASelectedSpringKeepsItsNodes) {
    buildChain(editor_);
    canvas()->resetView();
    const QPointF middle = (screenOf(0) + screenOf(1)) / 2.0;
    QTest::mouseClick(canvas(), Qt::LeftButton, {}, middle.toPoint());
    ASSERT_EQ(editor_.selectedSpring(), std::make_optional(std::make_pair(0, 1)));
    editor_.deleteSelection();
    EXPECT_EQ(editor_.document().nodes.size(), 3u);
    EXPECT_FALSE(editor_.document().springBetween(0, 1).has_value());
    EXPECT_EQ(editor_.document().springBetween(1, 2), 900.0);
    EXPECT_FALSE(editor_.selectedSpring().has_value());
    editor_.session().undoStack()->undo();
    EXPECT_EQ(editor_.document().springBetween(0, 1), 400.0);
    EXPECT_EQ(editor_.document().links.size(), 4u);
}

TEST_F(EditorCanvasTest, ToolButtonsSayWhatTheyDoAndHow) {
    auto* tools = editor_.findChild<QToolBar*>(QStringLiteral("editorTools"));
    ASSERT_NE(tools, nullptr);
    int described = 0;
    for (QAction* action : tools->actions()) {
        if (action->isSeparator())
            continue;
        const QString tip = action->toolTip();
        EXPECT_NE(tip, action->text()) << action->text().toStdString();
        EXPECT_GT(tip.size(), action->text().size() + 15) << action->text().toStdString();
        ++described;
    }
    EXPECT_GE(described, 10);
}

} // namespace
} // namespace kivora
