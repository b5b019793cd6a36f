// The model editor pane: the properties panel's checks, model files, the unsaved-changes question, key
// forwarding and the modal preview.
#include "AppTestSupport.h"
#include "editor/ModelCanvas.h"
#include "editor/ModelEditorPane.h"
#include "session/ModelSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUndoStack>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <sys/stat.h>

namespace kivora {
namespace {

using test::CapturedMessages;

// Builds the two-mass model step by step; returns the number of steps.
int buildTwoMassModel(ModelEditorPane& editor) {
    const int a = editor.addNode(0.0, 0.0);
    const int b = editor.addNode(1.0, 0.0);
    const int c = editor.addNode(2.0, 0.0);
    editor.session().addSpring(a, b, 400.0);
    editor.session().addSpring(b, c, 900.0);
    editor.session().toggleFixed({a});
    editor.session().setFlag(b);
    return 7;
}

std::string fileText(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Answers the next modal message box with `button`; the guard closes it even
// when a check fails, so a test never hangs.
void answerNextMessageBox(QMessageBox::StandardButton button, QString* text = nullptr) {
    QTimer::singleShot(5, [button, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        // Closes the box when a check below fails to answer it.
        auto close = qScopeGuard([box] { box->done(QMessageBox::Cancel); });
        if (text != nullptr)
            *text = box->text();
        if (QAbstractButton* answer = box->button(button)) {
            close.dismiss();
            answer->click();
        }
    });
}

TEST(ModelEditor, SavesAndReopensTheSameModel) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("two-mass.json"));
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    buildTwoMassModel(editor);
    editor.session().addElementLink(1, 2, 25.0);
    editor.setSelection({1});
    ASSERT_TRUE(editor.applyField(NodeField::X0, QStringLiteral("0.25")));
    EXPECT_TRUE(editor.session().isModified());
    ASSERT_TRUE(editor.session().saveToFile(path));
    EXPECT_FALSE(editor.session().isModified());
    const std::string saved = fileText(path);

    ModelSession reopenedSession;

    ModelEditorPane reopened(reopenedSession);
    ASSERT_TRUE(reopened.session().openFile(path));
    EXPECT_FALSE(reopened.session().isModified());
    EXPECT_EQ(reopened.session().undoStack()->count(), 0);
    EXPECT_EQ(InstrumentKit::saveModel(reopened.session().representation()), saved);
    // The file is what modelkit itself reads.
    EXPECT_EQ(InstrumentKit::saveModel(InstrumentKit::loadModelFile(path.toStdString())), saved);
    EXPECT_EQ(reopened.session().windowTitleText(), QStringLiteral("two-mass.json[*]"));
}

TEST(ModelEditor, SavingKeepsTheFilesPermissions) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("private.json"));
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    buildTwoMassModel(editor);
    ASSERT_TRUE(editor.session().saveToFile(path));
    ASSERT_EQ(::chmod(path.toLocal8Bit().constData(), 0600), 0);
    editor.session().moveNodes({0}, 0.5, 0.0);
    ASSERT_TRUE(editor.session().save());
    struct stat info {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(InstrumentKit::loadModelFile(path.toStdString()).findNode("n1")->position.x, 0.5);
}

TEST(ModelEditor, AModelThatCannotBeOpenedLeavesTheCurrentOneAndSaysWhy) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("broken.json"));
    std::ofstream(path.toStdString())
        << R"({"kivora_model": 1, "elements": [{"nodes": [{"id": "a", "mass": -2}]}]})";
    CapturedMessages messages;
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    buildTwoMassModel(editor);
    EXPECT_FALSE(editor.session().openFile(path));
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].contains(QStringLiteral("mass"))) << messages.texts[0].toStdString();
    EXPECT_EQ(editor.session().representation().nodeCount(), 3u);
    EXPECT_EQ(editor.session().undoStack()->count(), 7);
}

TEST(ModelEditor, RefusesInvalidValuesWithTheMessageBesideTheField) {
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    buildTwoMassModel(editor);
    editor.setSelection({1});
    const int before = editor.session().undoStack()->count();
    for (const char* text : {"-1", "0", "nan", "inf", "abc", ""}) {
        EXPECT_FALSE(editor.applyField(NodeField::Mass, QString::fromLatin1(text))) << text;
        EXPECT_FALSE(editor.fieldMessage(NodeField::Mass).isEmpty()) << text;
    }
    EXPECT_FALSE(editor.applyField(NodeField::V0, QStringLiteral("inf")));
    EXPECT_EQ(editor.fieldMessage(NodeField::V0), QStringLiteral("must be finite"));
    // A comma is not a decimal point here, whatever the user's locale.
    EXPECT_FALSE(editor.applyField(NodeField::X0, QStringLiteral("0,5")));
    EXPECT_EQ(editor.session().undoStack()->count(), before);
    EXPECT_EQ(editor.document().nodes[1].mass, 1.0);

    EXPECT_TRUE(editor.applyField(NodeField::Mass, QStringLiteral("2.5")));
    EXPECT_TRUE(editor.fieldMessage(NodeField::Mass).isEmpty());
    EXPECT_EQ(editor.session().representation().findNode("n2")->mass(), 2.5);
}

TEST(ModelEditor, EditsSeveralSelectedNodesInOneStep) {
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    buildTwoMassModel(editor);
    editor.setSelection({1, 2});
    const int before = editor.session().undoStack()->count();
    ASSERT_TRUE(editor.applyField(NodeField::Mass, QStringLiteral("3")));
    EXPECT_EQ(editor.session().undoStack()->count(), before + 1);
    EXPECT_EQ(editor.document().nodes[1].mass, 3.0);
    EXPECT_EQ(editor.document().nodes[2].mass, 3.0);
    EXPECT_EQ(editor.document().nodes[0].mass, 1.0);
    // The panel shows the shared value, and nothing when they differ.
    EXPECT_EQ(editor.fieldEdit(NodeField::Mass)->text(), QStringLiteral("3"));
    editor.setSelection({0, 1});
    EXPECT_TRUE(editor.fieldEdit(NodeField::Mass)->text().isEmpty());
    editor.session().undoStack()->undo();
    EXPECT_EQ(editor.document().nodes[2].mass, 1.0);

    // The stiffness of the spring between two selected nodes.
    editor.setSelection({1, 2});
    ASSERT_TRUE(editor.applyField(NodeField::Stiffness, QStringLiteral("1600")));
    EXPECT_EQ(editor.document().springBetween(1, 2), 1600.0);
    EXPECT_EQ(editor.session().representation().findNode("n3")->links[0].stiffness, 1600.0);
}

TEST(ModelEditor, CanvasClicksAddNodesAndTheRubberBandSelects) {
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    editor.resize(900, 600);
    ModelCanvas* canvas = editor.canvas();
    canvas->setTool(ModelCanvas::Tool::AddNode);
    const QPoint first(100, 200), second(160, 200);
    QTest::mouseClick(canvas, Qt::LeftButton, {}, first);
    QTest::mouseClick(canvas, Qt::LeftButton, {}, second);
    ASSERT_EQ(editor.document().nodes.size(), 2u);
    const QPointF at =
        canvas->toScreen(editor.document().nodes[0].position.x, editor.document().nodes[0].position.y);
    EXPECT_NEAR(at.x(), first.x(), 1e-9);
    EXPECT_NEAR(at.y(), first.y(), 1e-9);
    EXPECT_EQ(canvas->nodeAt(QPointF(second) + QPointF(3, 2)), 1);

    canvas->setTool(ModelCanvas::Tool::Select);
    QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(80, 180));
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(130, 220));
    EXPECT_EQ(editor.selection(), std::vector<int>({0}));
    QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(80, 180));
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(200, 220));
    EXPECT_EQ(editor.selection(), std::vector<int>({0, 1}));

    canvas->setTool(ModelCanvas::Tool::AddSpring);
    QTest::mousePress(canvas, Qt::LeftButton, {}, first);
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, second);
    EXPECT_EQ(editor.document().springBetween(0, 1), editor.defaultStiffness());
    canvas->setTool(ModelCanvas::Tool::SetFlag);
    QTest::mouseClick(canvas, Qt::LeftButton, {}, second);
    EXPECT_EQ(editor.document().flagged, 1);
    canvas->setTool(ModelCanvas::Tool::ToggleFixed);
    QTest::mouseClick(canvas, Qt::LeftButton, {}, first);
    EXPECT_TRUE(editor.document().nodes[0].fixed);

    // Zooming about a point keeps the model point under it.
    const QPointF before = canvas->toModel(QPointF(300, 300));
    canvas->zoomBy(2.0, QPointF(300, 300));
    const QPointF after = canvas->toModel(QPointF(300, 300));
    EXPECT_NEAR(after.x(), before.x(), 1e-12);
    EXPECT_NEAR(after.y(), before.y(), 1e-12);
}

class EditorInFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        editor_ = frame_.modelEditor();
        frame_.resize(1200, 900);
        frame_.show();
        frame_.activateWindow();
        QApplication::processEvents();
    }
    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    CMainFrame& frame_ = window_->frame();
    ModelEditorPane* editor_ = nullptr;
    CapturedMessages messages_;
};

TEST_F(EditorInFrameTest, LettersAndDigitsReachThePianoAndNotTheEditor) {
    buildTwoMassModel(*editor_);
    editor_->setSelection({1});
    int pianoPresses = 0;
    struct Counter : QObject {
        int* presses;
        explicit Counter(int* p) : presses(p) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::KeyPress)
                ++*presses;
            return false;
        }
    } counter(&pianoPresses);
    frame_.pianoView()->installEventFilter(&counter);
    const int steps = editor_->session().undoStack()->count();
    const auto tool = editor_->canvas()->tool();
    for (Qt::Key key : {Qt::Key_Q, Qt::Key_W, Qt::Key_2, Qt::Key_Z, Qt::Key_X, Qt::Key_C, Qt::Key_V})
        QTest::keyClick(editor_->canvas(), key);
    EXPECT_EQ(pianoPresses, 7);
    EXPECT_EQ(editor_->session().undoStack()->count(), steps);
    EXPECT_EQ(editor_->canvas()->tool(), tool);
    EXPECT_EQ(editor_->selection(), std::vector<int>({1}));

    // Delete and the arrows are the editor's.
    QTest::keyClick(editor_->canvas(), Qt::Key_Right);
    EXPECT_GT(editor_->document().nodes[1].position.x, 1.0);
    QTest::keyClick(editor_->canvas(), Qt::Key_Delete);
    EXPECT_EQ(editor_->document().nodes.size(), 2u);
}

TEST_F(EditorInFrameTest, EditMenuUndoesAndRedoesAndTheTitleShowsUnsavedChanges) {
    QMenu* edit = nullptr;
    for (QAction* action : frame_.menuBar()->actions())
        if (action->text() == QStringLiteral("&Edit"))
            edit = action->menu();
    ASSERT_NE(edit, nullptr);
    QAction* undo = edit->actions().value(0);
    QAction* redo = edit->actions().value(1);
    ASSERT_NE(undo, nullptr);
    ASSERT_NE(redo, nullptr);
    EXPECT_EQ(undo->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_EQ(frame_.windowTitle(), QStringLiteral("Kivora"));
    EXPECT_FALSE(frame_.isWindowModified());

    editor_->addNode(0.0, 0.0);
    EXPECT_TRUE(undo->isEnabled());
    EXPECT_TRUE(frame_.isWindowModified());
    undo->trigger();
    EXPECT_TRUE(editor_->document().nodes.empty());
    EXPECT_FALSE(frame_.isWindowModified());
    redo->trigger();
    EXPECT_EQ(editor_->document().nodes.size(), 1u);
    // Ctrl+Z from the keyboard is Edit > Undo, and reaches neither the piano nor the editor as a key.
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
    QTest::keyClick(editor_->canvas(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(editor_->document().nodes.empty());
    QTest::keyClick(editor_->canvas(), Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(editor_->document().nodes.size(), 1u);
    // Cut and Copy wait for a selection.
    for (QAction* action : edit->actions()) {
        if (action->text().startsWith(QStringLiteral("Cu&t")) ||
            action->text().startsWith(QStringLiteral("&Copy"))) {
            EXPECT_FALSE(action->isEnabled());
        }
    }
}

TEST_F(EditorInFrameTest, EditsReachTheSessionsRepresentationAndSignal) {
    int edits = 0;
    QObject::connect(&frame_.modelSession(), &ModelSession::changed, [&edits] { ++edits; });
    ASSERT_EQ(&frame_.modelSession(), &editor_->session());
    buildTwoMassModel(*editor_);
    EXPECT_EQ(edits, 7);
    EXPECT_EQ(frame_.modelSession().representation().nodeCount(), 3u);
}

// The drawer and the generation run read the frame's model: once the editor
// is in, that is the editor's representation, also after a model is opened.
TEST_F(EditorInFrameTest, TheDrawerAndTheGenerationRunTakeTheEditorsModel) {
    ASSERT_EQ(&frame_.modelSession().representation(), &editor_->session().representation());
    ASSERT_TRUE(frame_.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/struck-membrane.json")));
    EXPECT_EQ(&frame_.modelSession().representation(), &editor_->session().representation());
    EXPECT_EQ(muntero::takeSnapshot(frame_.modelSession().representation()).nodeCount(), 120);

    QAction* follow = nullptr;
    for (QAction* action : frame_.modelMenu()->actions())
        if (action->text() == QStringLiteral("&Follow Edits"))
            follow = action;
    ASSERT_NE(follow, nullptr);
    EXPECT_TRUE(follow->isCheckable());
}

TEST_F(EditorInFrameTest, ClosingWithUnsavedChangesAsksFirst) {
    buildTwoMassModel(*editor_);
    QString asked;
    answerNextMessageBox(QMessageBox::Cancel, &asked);
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(frame_.isVisible());
    EXPECT_EQ(asked, QStringLiteral("The model has unsaved changes. Save them?"));

    // Saving from the question goes through Save As when there is no file yet.
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("kept.json"));
    test::ScriptedFileChooser chooser;
    chooser.answers = {path};
    editor_->session().setFileChooser(chooser.chooser());
    answerNextMessageBox(QMessageBox::Save);
    EXPECT_TRUE(frame_.close());
    EXPECT_EQ(InstrumentKit::loadModelFile(path.toStdString()).nodeCount(), 3u);
}

TEST_F(EditorInFrameTest, OpeningAnotherModelAsksAndDiscardingLosesTheEdits) {
    const QString example = QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json");
    test::ScriptedFileChooser chooser;
    chooser.answers = {example, example};
    editor_->session().setFileChooser(chooser.chooser());
    editor_->addNode(0.0, 0.0);
    answerNextMessageBox(QMessageBox::Cancel);
    editor_->session().open();
    EXPECT_EQ(editor_->document().nodes.size(), 1u);
    EXPECT_EQ(chooser.answers.size(), 2); // cancelled before choosing

    answerNextMessageBox(QMessageBox::Discard);
    editor_->session().open();
    EXPECT_EQ(editor_->session().representation().nodeCount(),
              InstrumentKit::loadModelFile(example.toStdString()).nodeCount());
    EXPECT_EQ(frame_.windowTitle(), QStringLiteral("plucked-string.json[*] \u2014 Kivora"));
    EXPECT_EQ(editor_->session().recentFiles(), QStringList({example}));

    // The command line's file goes through the frame.
    EXPECT_TRUE(frame_.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/free-bar.json")));
    EXPECT_EQ(editor_->session().filePath(),
              QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/free-bar.json"));
}

TEST(ModelEditorPreview, MembraneTemplateShowsItsModesOffTheInterfaceThread) {
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    editor.session().newFromTemplate(ModelSession::Template::Membrane, 12, 12);
    ASSERT_TRUE(QTest::qWaitFor([&editor] { return editor.previewCurrent(); }, 60000));
    const ModalPreview& preview = editor.preview();
    ASSERT_EQ(preview.modes.size(), 8u);
    // The builder puts the lowest mode at 110 Hz.
    EXPECT_NEAR(preview.modes[0].frequencyHz, 110.0, 0.01);
    EXPECT_TRUE(editor.previewText().contains(QStringLiteral("110.00")));
}

TEST(ModelEditorPreview, OnlyTheLatestModelsResultIsShown) {
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    // A single mass between two fixed ends: f = sqrt(2k/m)/2π.
    const int left = editor.addNode(0.0, 0.0);
    const int mass = editor.addNode(1.0, 0.0);
    const int right = editor.addNode(2.0, 0.0);
    editor.session().toggleFixed({left, right});
    editor.session().setFlag(mass);
    editor.setSelection({mass});
    editor.applyField(NodeField::X0, QStringLiteral("1"));
    editor.session().addSpring(left, mass, 1000.0);
    editor.session().addSpring(mass, right, 1000.0);
    for (int k = 2; k <= 20; ++k) {
        editor.setSelection({left, mass});
        editor.applyField(NodeField::Stiffness, QString::number(1000.0 * k));
    }
    ASSERT_TRUE(QTest::qWaitFor([&editor] { return editor.previewCurrent(); }, 60000));
    ASSERT_EQ(editor.preview().modes.size(), 1u);
    const double expected = std::sqrt((20000.0 + 1000.0) / 1.0) / (2.0 * std::numbers::pi);
    EXPECT_NEAR(editor.preview().modes[0].frequencyHz, expected, expected * 1e-9);
}

TEST(ModelEditorPreview, WarnsOfANodalLineAndOfUnstableNotes) {
    ModelSession editorSession;
    ModelEditorPane editor(editorSession);
    InstrumentKit::Representation string = InstrumentKit::makeString(9);
    // Heard at the centre: the second mode's node.
    string.flagged = string.elements[0].nodes[5];
    editor.session().replace(ModelDocument::fromRepresentation(string), QStringLiteral("string"));
    editor.setPreviewSettings(3, 8000);
    ASSERT_TRUE(QTest::qWaitFor([&editor] { return editor.previewCurrent(); }, 60000));
    ASSERT_FALSE(editor.preview().nodalModes.empty());
    EXPECT_EQ(editor.preview().nodalModes[0], 1);
    const StabilityForecast forecast = editor.forecast();
    EXPECT_EQ(forecast.stepProducts.size(), 36u);
}

TEST(ModelTemplates, FreeBarAndCoupledStringsSaveAndHaveFreeModes) {
    for (int which = 0; which < 2; ++which) {
        const InstrumentKit::Representation model =
            which == 0 ? InstrumentKit::makeFreeBar(12) : InstrumentKit::makeCoupledStrings(6);
        const std::string text = InstrumentKit::saveModel(model);
        EXPECT_EQ(InstrumentKit::saveModel(InstrumentKit::loadModel(text)), text);
        const ModalPreview preview = analyseModes(muntero::takeSnapshot(model));
        EXPECT_TRUE(preview.unavailable.empty()) << preview.unavailable;
        EXPECT_FALSE(preview.modes.empty());
        EXPECT_GE(preview.loudestMode, 0);
    }
    EXPECT_EQ(InstrumentKit::makeCoupledStrings(6).elements.size(), 2u);
}

} // namespace
} // namespace kivora

namespace kivora {
namespace {

// In a 1024 x 768 window every caption and the whole modes table, "base"
// included, fit the editor's side column, whatever the font.
TEST(ModelEditorPreview, TheModesPaneFitsA1024PixelWindow) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    frame.resize(1024, 768);
    frame.show();
    ASSERT_TRUE(frame.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/struck-membrane.json")));
    ModelEditorPane& editor = *frame.modelEditor();
    ASSERT_TRUE(QTest::qWaitFor([&editor] { return editor.previewCurrent(); }, 60000));
    QApplication::processEvents();

    const auto* caption = editor.findChild<QLabel*>(QStringLiteral("modesCaption"));
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(caption->text(), QStringLiteral("Modes — octaves"));
    EXPECT_GE(caption->contentsRect().width(), caption->fontMetrics().horizontalAdvance(caption->text()));

    const auto* table = editor.findChild<QLabel*>(QStringLiteral("modalPreview"));
    ASSERT_NE(table, nullptr);
    const QStringList lines = table->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(table->text().contains(QStringLiteral(" base\n")));
    const QWidget* column = table->parentWidget();
    for (const QString& line : lines) {
        const int right = table->mapTo(column, QPoint(table->contentsRect().left(), 0)).x() +
                          table->fontMetrics().horizontalAdvance(line);
        EXPECT_LE(right, column->width()) << line.toStdString();
        EXPECT_LE(table->fontMetrics().horizontalAdvance(line), table->contentsRect().width())
            << line.toStdString();
    }
}

} // namespace
} // namespace kivora
