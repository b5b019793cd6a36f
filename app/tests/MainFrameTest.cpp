#include "MainFrame.h"

#include "AnalyzerFrame.h"
#include "OscillogramFrame.h"
#include "WindowMessages.h"

#include <QApplication>
#include <QMenuBar>
#include <gtest/gtest.h>

namespace kivora {
namespace {

QList<int> listOf(std::initializer_list<int> values) {
    return QList<int>(values);
}

TEST(MainFrameLayout, DefaultLayoutGivesHalfTheWidthAndTheRowsInEighths) {
    const PaneLayout layout = defaultPaneLayout(1280, 960, 4);
    EXPECT_EQ(layout.columns[0], 640);
    EXPECT_EQ(layout.columns[1], 1280 - 640 - 4);
    EXPECT_EQ(layout.rows[0], 480);
    EXPECT_EQ(layout.rows[1], 120);
    EXPECT_EQ(layout.rows[2], 120);
    EXPECT_EQ(layout.rows[3], 960 - 480 - 240 - 12); // the rest of H/4 after the three bars
}

TEST(MainFrameLayout, ResizingAppliesTheDefaultLayout) {
    CMainFrame frame;
    frame.resize(1200, 900);
    frame.show();
    QApplication::processEvents();
    const QSize area = frame.editorSplitter()->size();
    const PaneLayout expected =
        defaultPaneLayout(area.width(), area.height(), CMainFrame::kSplitterHandleWidth);
    EXPECT_EQ(area.height(), 900 - frame.menuBar()->height());
    EXPECT_EQ(frame.editorSplitter()->sizes(), listOf({expected.columns[0], expected.columns[1]}));
    EXPECT_EQ(frame.paneSplitter()->sizes(),
              listOf({expected.rows[0], expected.rows[1], expected.rows[2], expected.rows[3]}));
    EXPECT_EQ(frame.editorPane()->width(), 600);
    EXPECT_EQ(frame.drawerPane()->height(), area.height() / 2);
}

} // namespace
} // namespace kivora
