// Cut, Copy, Paste and Duplicate of nodes with their springs: the clipboard's
// JSON text, the undoable edits, and the Edit menu's keys in the window, which
// act only while the editor has the focus and never play notes.
#include "editor/EditorClipboard.h"

#include "AppTestSupport.h"
#include "editor/ModelCanvas.h"
#include "editor/ModelEditorPane.h"
#include "editor/ModelFragment.h"
#include "piano/CPianoFrame.h"
#include "session/ModelSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <modelkit/ModelFile.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QTest>
#include <QUndoStack>
#include <gtest/gtest.h>

namespace kivora {
namespace {

// Nodes at x = 0, 1, 2 (the first fixed, the middle one heavier); springs 0-1
// (400) and 1-2 (900); the flag on the middle node.
void buildChain(ModelEditorPane& editor) {
    editor.addNode(0.0, 0.0);
    editor.addNode(1.0, 0.0);
    editor.addNode(2.0, 0.0);
    editor.session().addSpring(0, 1, 400.0);
    editor.session().addSpring(1, 2, 900.0);
    editor.session().toggleFixed({0});
    editor.setSelection({1});
    editor.applyField(NodeField::Mass, QStringLiteral("0.1"));
    editor.session().setFlag(1);
    editor.setSelection({});
}

TEST(ModelFragment, KeepsTheSpringsAmongTheNodesAndReadsBackItsJsonExactly) {
    ModelSession session;
    ModelEditorPane editor(session);
    buildChain(editor);
    const ModelFragment fragment = ModelFragment::of(editor.document(), {2, 1, 2});
    ASSERT_EQ(fragment.nodes.size(), 2u);
    EXPECT_EQ(fragment.nodes[0].mass, 0.1);
    ASSERT_EQ(fragment.links.size(), 2u); // 1-2 both ways; 0-1 left out with node 0
    for (const EditorLink& link : fragment.links)
        EXPECT_EQ(link.stiffness, 900.0);

    ModelFragment awkward = fragment;
    awkward.nodes[1].position = {1.0 / 3.0, -1e-300, 12345.678901234567};
    awkward.nodes[1].v0 = -0.1;
    const std::optional<ModelFragment> read = ModelFragment::fromJson(awkward.toJson());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->toJson(), awkward.toJson());
    EXPECT_EQ(read->nodes[1].position.x, 1.0 / 3.0);
    EXPECT_EQ(read->nodes[1].position.y, -1e-300);
    EXPECT_EQ(read->nodes[1].position.z, 12345.678901234567);
    EXPECT_EQ(read->nodes[1].v0, -0.1);

    for (const char* refused : {
             "", "[]", R"({"nodes": [{"x": 0, "y": 0}]})",                        // not a fragment
             R"({"kivora_fragment": 1, "nodes": []})",                            // nothing in it
             R"({"kivora_fragment": 1, "nodes": [{"x": 0, "y": 0, "mass": 0}]})", // massless
             R"({"kivora_fragment": 1, "nodes": [{"x": "0", "y": 0}]})",          // text for a number
             R"({"kivora_fragment": 1, "nodes": [{"y": 0}]})",                    // no position
             R"({"kivora_fragment": 1, "nodes": [{"x": 0, "y": 0}],
                 "links": [{"node": 0, "other": 1, "stiffness": 5}]})",           // outside the fragment
         })
        EXPECT_FALSE(ModelFragment::fromJson(QByteArray(refused)).has_value()) << refused;
}

TEST(EditorClipboard, CopyAndPasteInsertNodesWithTheirSpringOneUndoableStep) {
    ModelSession session;
    ModelEditorPane editor(session);
    buildChain(editor);
    EditorClipboard& clipboard = *editor.clipboard();
    QAction* cut = clipboard.actions().value(0);
    QAction* copy = clipboard.actions().value(1);
    QAction* paste = clipboard.actions().value(2);
    QGuiApplication::clipboard()->setText(QStringLiteral("not a model"));
    EXPECT_FALSE(copy->isEnabled());
    EXPECT_FALSE(cut->isEnabled());
    EXPECT_FALSE(paste->isEnabled());

    editor.setSelection({1, 2});
    ASSERT_TRUE(copy->isEnabled());
    copy->trigger();
    EXPECT_TRUE(paste->isEnabled());
    // The system clipboard holds JSON text that other programs can read.
    EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("{\"kivora_fragment\":1")))
        << QGuiApplication::clipboard()->text().toStdString();

    const int steps = session.undoStack()->count();
    paste->trigger();
    EXPECT_EQ(session.undoStack()->count(), steps + 1);
    const ModelDocument& document = editor.document();
    ASSERT_EQ(document.nodes.size(), 5u);
    EXPECT_EQ(editor.selection(), std::vector<int>({3, 4}));
    EXPECT_EQ(document.nodes[3].id, "n4");
    EXPECT_EQ(document.nodes[4].id, "n5");
    EXPECT_EQ(document.nodes[3].mass, 0.1);
    EXPECT_FALSE(document.nodes[3].fixed);
    // Moved on by one grid step, off the nodes it was copied from.
    const double step = editor.canvas()->gridStep();
    EXPECT_DOUBLE_EQ(document.nodes[3].position.x, 1.0 + step);
    EXPECT_DOUBLE_EQ(document.nodes[3].position.y, -step);
    EXPECT_EQ(document.springBetween(3, 4), 900.0);
    EXPECT_EQ(document.springBetween(4, 3), 900.0);
    EXPECT_FALSE(document.springBetween(0, 3).has_value());
    EXPECT_EQ(document.flagged, 1); // the flag is not copied
    EXPECT_EQ(session.representation().nodeCount(), 5u);
    // A second paste moves on again rather than covering the first.
    paste->trigger();
    EXPECT_DOUBLE_EQ(document.nodes[5].position.x, 1.0 + 2 * step);

    session.undoStack()->undo();
    session.undoStack()->undo();
    EXPECT_EQ(document.nodes.size(), 3u);
    EXPECT_EQ(document.links.size(), 4u);
    EXPECT_EQ(session.representation().nodeCount(), 3u);
}

TEST(EditorClipboard, CutRemovesAndPasteBringsBackInPlaceDuplicateLeavesTheClipboard) {
    ModelSession session;
    ModelEditorPane editor(session);
    buildChain(editor);
    const std::string built = InstrumentKit::saveModel(session.representation());
    editor.setSelection({2});
    editor.clipboard()->cut();
    EXPECT_EQ(editor.document().nodes.size(), 2u);
    EXPECT_EQ(session.undoStack()->undoText(), QStringLiteral("Cut"));
    // The place it was cut from is free again: the paste lands there.
    editor.clipboard()->paste();
    ASSERT_EQ(editor.document().nodes.size(), 3u);
    EXPECT_EQ(editor.document().nodes[2].position.x, 2.0);
    EXPECT_EQ(editor.document().nodes[2].position.y, 0.0);
    EXPECT_FALSE(editor.document().springBetween(1, 2).has_value()); // its spring's other end stayed

    const QString held = QGuiApplication::clipboard()->text();
    editor.setSelection({0, 1});
    editor.clipboard()->duplicate();
    EXPECT_EQ(session.undoStack()->undoText(), QStringLiteral("Duplicate"));
    ASSERT_EQ(editor.document().nodes.size(), 5u);
    EXPECT_TRUE(editor.document().nodes[3].fixed);
    EXPECT_EQ(editor.document().springBetween(3, 4), 400.0);
    EXPECT_EQ(editor.selection(), std::vector<int>({3, 4}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), held);

    for (int i = 0; i < 3; ++i)
        session.undoStack()->undo();
    EXPECT_EQ(InstrumentKit::saveModel(session.representation()), built);
}

TEST(EditorClipboard, PastesIntoAnEmptyModelAndTextFromElsewhere) {
    ModelSession session;
    ModelEditorPane editor(session);
    QGuiApplication::clipboard()->setText(QStringLiteral(
        R"({"kivora_fragment": 1, "nodes": [{"x": 0.5, "y": 0.25, "mass": 2}, {"x": 1, "y": 0}],
                           "links": [{"node": 0, "other": 1, "stiffness": 70}]})"));
    ASSERT_TRUE(editor.clipboardActions().value(2)->isEnabled());
    editor.clipboard()->paste();
    ASSERT_EQ(editor.document().nodes.size(), 2u);
    EXPECT_EQ(editor.document().elements.size(), 1u);
    EXPECT_EQ(editor.document().nodes[0].position.x, 0.5);
    EXPECT_EQ(editor.document().nodes[0].mass, 2.0);
    EXPECT_EQ(editor.document().springBetween(0, 1), 70.0);
    session.undoStack()->undo();
    EXPECT_TRUE(editor.document().empty());
}

class ClipboardInFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        editor_ = frame_.modelEditor();
        frame_.resize(1200, 900);
        frame_.show();
        frame_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
        buildChain(*editor_);
    }
    QAction* editAction(const QString& text) {
        for (QAction* menu : frame_.menuBar()->actions())
            if (menu->text() == QStringLiteral("&Edit"))
                for (QAction* action : menu->menu()->actions())
                    if (action->text() == text)
                        return action;
        return nullptr;
    }
    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    CMainFrame& frame_ = window_->frame();
    ModelEditorPane* editor_ = nullptr;
    test::CapturedMessages messages_;
};

// Counts the key presses a widget receives.
struct PressCounter : QObject {
    int presses = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        presses += event->type() == QEvent::KeyPress;
        return false;
    }
};

TEST_F(ClipboardInFrameTest, EditMenuKeysWorkOnTheEditorAndNeverPlayNotes) {
    QAction* cut = editAction(QStringLiteral("Cu&t"));
    QAction* copy = editAction(QStringLiteral("&Copy"));
    QAction* paste = editAction(QStringLiteral("&Paste"));
    QAction* duplicate = editAction(QStringLiteral("&Duplicate"));
    ASSERT_TRUE(cut && copy && paste && duplicate);
    EXPECT_EQ(cut->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_X));
    EXPECT_EQ(copy->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_C));
    EXPECT_EQ(paste->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_V));
    EXPECT_EQ(duplicate->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_D));
    EXPECT_FALSE(copy->isEnabled());

    PressCounter piano;
    frame_.pianoView()->installEventFilter(&piano);
    QWidget* canvas = editor_->canvas();
    QTest::mouseClick(canvas, Qt::LeftButton, {}, editor_->canvas()->toScreen(1.0, 0.0).toPoint());
    ASSERT_EQ(editor_->selection(), std::vector<int>({1}));
    canvas->setFocus(); // as the click gives it
    ASSERT_EQ(QApplication::focusWidget(), canvas);
    EXPECT_TRUE(copy->isEnabled());

    QTest::keyClick(canvas, Qt::Key_C, Qt::ControlModifier);
    ASSERT_TRUE(EditorClipboard::clipboardFragment().has_value());
    QTest::keyClick(canvas, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(editor_->document().nodes.size(), 4u);
    QTest::keyClick(canvas, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(editor_->document().nodes.size(), 5u);
    QTest::keyClick(canvas, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(editor_->document().nodes.size(), 4u);
    EXPECT_EQ(piano.presses, 0);
    frame_.pianoView()->removeEventFilter(&piano);

    // A field of the panel keeps Ctrl+C for its text.
    editor_->setSelection({0});
    QLineEdit* mass = editor_->fieldEdit(NodeField::Mass);
    mass->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), mass);
    mass->selectAll();
    QTest::keyClick(mass, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("1"));

    // Outside the editor the keys are not the model's.
    const std::size_t nodes = editor_->document().nodes.size();
    QGuiApplication::clipboard()->clear();
    frame_.pianoView()->setFocus();
    QTest::keyClick(frame_.pianoView(), Qt::Key_D, Qt::ControlModifier);
    QTest::keyClick(frame_.pianoView(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(editor_->document().nodes.size(), nodes);
    EXPECT_FALSE(EditorClipboard::clipboardFragment().has_value());
}

// Counts the Insert and Delete presses a widget receives (Shift alone may reach the piano).
struct InsertDeleteCounter : QObject {
    int presses = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            presses += key == Qt::Key_Insert || key == Qt::Key_Delete;
        }
        return false;
    }
};

// The older convention's keys do the same, in the editor only.
TEST_F(ClipboardInFrameTest, InsertAndDeleteKeysCopyCutAndPaste) {
    InsertDeleteCounter piano;
    frame_.pianoView()->installEventFilter(&piano);
    QWidget* canvas = editor_->canvas();
    editor_->setSelection({1});
    canvas->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), canvas);
    QGuiApplication::clipboard()->clear();

    QTest::keyClick(canvas, Qt::Key_Insert, Qt::ControlModifier);
    ASSERT_TRUE(EditorClipboard::clipboardFragment().has_value()) << "Ctrl+Insert copies";
    QTest::keyClick(canvas, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(editor_->document().nodes.size(), 4u) << "Shift+Insert pastes";
    QTest::keyClick(canvas, Qt::Key_Delete, Qt::ShiftModifier);
    EXPECT_EQ(editor_->document().nodes.size(), 3u) << "Shift+Delete cuts the pasted node";
    EXPECT_EQ(piano.presses, 0);
    frame_.pianoView()->removeEventFilter(&piano);
}

} // namespace
} // namespace kivora
