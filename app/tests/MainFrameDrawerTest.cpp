// The drawer in the main window (offscreen: the pane shows its failure text,
// the commands and the shared model are there all the same).
#include "AppTestSupport.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <modelkit/Representation.h>
#include <muntero/view/CDrawerFrame.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace kivora {
namespace {

class MainFrameDrawerTest : public ::testing::Test {
protected:
    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    CMainFrame& frame_ = window_->frame();
    test::CapturedMessages messages_;
};

TEST_F(MainFrameDrawerTest, TheDrawerFillsTheDrawerPaneAndHasTheModel) {
    ASSERT_NE(frame_.drawerFrame(), nullptr);
    EXPECT_EQ(frame_.drawerPane(), frame_.drawerFrame());
    EXPECT_EQ(frame_.drawerFrame()->getName(), "2d drawer for linear model");
}

TEST_F(MainFrameDrawerTest, TheModelMenuFollowsTheInstrumentMenuWithTheDrawersCommands) {
    const QList<QAction*> bar = frame_.menuBar()->actions();
    const qsizetype instrument = bar.indexOf(frame_.instrumentMenu()->menuAction());
    ASSERT_GE(instrument, 0);
    ASSERT_LT(instrument + 1, bar.size());
    EXPECT_EQ(bar[instrument + 1], frame_.modelMenu()->menuAction());
    EXPECT_EQ(frame_.modelMenu()->title(), "&Model");
    QStringList texts;
    for (QAction* action : frame_.modelMenu()->actions())
        texts << action->text();
    EXPECT_EQ(texts, QStringList({"&Refresh", "&Play", "&Slow", "&Accel", "&Increase Amplitude",
                                  "&Decrease Amplitude", "", "&Follow Edits"}));
    // The toolbar's own actions: one enabling rule for both.
    EXPECT_EQ(frame_.modelMenu()->actions().mid(0, 6), frame_.drawerFrame()->commandActions());
}

TEST_F(MainFrameDrawerTest, AModelFileFromTheCommandLineReplacesTheSharedModel) {
    const InstrumentKit::Representation* shared = &frame_.modelSession().representation();
    ASSERT_TRUE(frame_.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/struck-membrane.json")))
        << messages_.texts.join('\n').toStdString();
    EXPECT_EQ(&frame_.modelSession().representation(), shared);
    EXPECT_EQ(frame_.modelSession().representation().nodeCount(), 120u);
    EXPECT_TRUE(messages_.texts.isEmpty());
}

TEST_F(MainFrameDrawerTest, ARefusedModelFileSaysWhyAndKeepsTheModel) {
    ASSERT_TRUE(frame_.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json")));
    const std::size_t nodes = frame_.modelSession().representation().nodeCount();
    QTemporaryDir folder;
    const QString broken = folder.filePath(QStringLiteral("broken.json"));
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"kivora_model": 1, "elements": [{"nodes": [{"id": "a", "mass": 0}]}]})");
    file.close();
    EXPECT_FALSE(frame_.openFile(broken));
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_TRUE(messages_.texts[0].contains("mass")) << messages_.texts[0].toStdString();
    EXPECT_EQ(frame_.modelSession().representation().nodeCount(), nodes);
    EXPECT_FALSE(frame_.openFile(folder.filePath(QStringLiteral("missing.json"))));
    EXPECT_EQ(messages_.texts.size(), 2);
}

} // namespace
} // namespace kivora
