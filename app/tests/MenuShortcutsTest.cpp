// The window's keyboard shortcuts: each key sequence belongs to one action, so
// Qt never finds two and refuses both as ambiguous; Ctrl+O and Ctrl+S still
// open and save after the File menu's submenus were visited and closed.
#include "AppTestSupport.h"
#include "editor/ModelEditorPane.h"
#include "session/ModelSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <modelkit/ModelFile.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMap>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace kivora {
namespace {

class MenuShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        frame_.resize(1200, 900);
        frame_.show();
        frame_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
    }
    QMenu* fileMenu() const { return frame_.menuBar()->actions().value(0)->menu(); }
    QAction* fileEntry(const QString& text) const {
        for (QAction* action : fileMenu()->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }
    // Opens File, then the submenu, as the mouse does on its way through the
    // menu, and closes them all with Escape.
    void visitAndEscape(QAction* submenu) {
        frame_.menuBar()->setActiveAction(fileMenu()->menuAction());
        ASSERT_TRUE(QTest::qWaitFor([this] { return fileMenu()->isVisible(); }, 5000));
        fileMenu()->setActiveAction(submenu);
        ASSERT_TRUE(QTest::qWaitFor([submenu] { return submenu->menu()->isVisible(); }, 5000));
        for (int presses = 0; presses < 5 && QApplication::activePopupWidget() != nullptr; ++presses)
            QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
        ASSERT_EQ(QApplication::activePopupWidget(), nullptr);
    }
    // Where the keyboard goes now: the focus widget, else the window.
    QWidget* keyTarget() {
        QWidget* focus = QApplication::focusWidget();
        return focus != nullptr ? focus : &frame_;
    }

    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    CMainFrame& frame_ = window_->frame();
    test::CapturedMessages messages_;
};

TEST_F(MenuShortcutsTest, EachKeySequenceBelongsToOneAction) {
    // Every action of the window: its own and those its menus show.
    QList<QAction*> actions = frame_.findChildren<QAction*>();
    QList<QMenu*> menus = frame_.findChildren<QMenu*>();
    for (QAction* top : frame_.menuBar()->actions())
        if (top->menu() != nullptr)
            menus << top->menu();
    for (QMenu* menu : menus)
        actions << menu->actions();
    QMap<QString, QSet<QAction*>> owners;
    for (QAction* action : actions) {
        // A widget shortcut answers only in its own widget, which no other shares.
        if (action->shortcutContext() == Qt::WidgetShortcut)
            continue;
        for (const QKeySequence& keys : action->shortcuts())
            if (!keys.isEmpty())
                owners[keys.toString()].insert(action);
    }
    EXPECT_TRUE(owners.contains(QStringLiteral("Ctrl+O")));
    EXPECT_TRUE(owners.contains(QStringLiteral("Ctrl+S")));
    for (auto entry = owners.cbegin(); entry != owners.cend(); ++entry)
        EXPECT_EQ(entry.value().size(), 1) << entry.key().toStdString();
}

TEST_F(MenuShortcutsTest, OpenAndSaveKeysWorkAfterTheSubmenusWereVisitedAndClosed) {
    // A model with a file, so that Recent Models has an entry to visit.
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("string.json"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json"), path));
    ModelSession& session = frame_.modelSession();
    ASSERT_TRUE(frame_.openFile(path));
    QStringList requests;
    session.setFileChooser({[&requests](QWidget*, const QString&, const QString&, const QString&) {
                                requests << QStringLiteral("open");
                                return QString();
                            },
                            [&requests](QWidget*, const QString&, const QString&, const QString&) {
                                requests << QStringLiteral("save");
                                return QString();
                            }});
    QAction* templates = fileEntry(QStringLiteral("New from &Template"));
    QAction* recent = fileEntry(QStringLiteral("&Recent Models"));
    ASSERT_NE(templates, nullptr);
    ASSERT_NE(recent, nullptr);
    ASSERT_TRUE(recent->isEnabled());

    visitAndEscape(templates);
    QTest::keyClick(keyTarget(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(requests.join(QLatin1Char(' ')).toStdString(), "open");

    visitAndEscape(recent);
    const std::size_t nodes = frame_.modelEditor()->document().nodes.size();
    frame_.modelEditor()->addNode(5.0, 5.0);
    ASSERT_TRUE(session.isModified());
    QTest::keyClick(keyTarget(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(session.isModified());
    EXPECT_EQ(InstrumentKit::loadModelFile(path.toStdString()).nodeCount(), nodes + 1);

    visitAndEscape(templates);
    visitAndEscape(recent);
    QTest::keyClick(keyTarget(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(requests.join(QLatin1Char(' ')).toStdString(), "open open");
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join(QLatin1Char('\n')).toStdString();
}

// Escape leaves the menu bar holding the keys; once the menu has closed
// they play notes again, and a letter opens no menu.
TEST_F(MenuShortcutsTest, NoteKeysPlayAgainOnceAMenuIsClosedWithEscape) {
    ASSERT_TRUE(frame_.openFile(test::duoInstrumentPath()));
    const pellamy::InstrumentModel* duo = frame_.instrumentSession().instrument();
    ASSERT_NE(duo, nullptr);
    ASSERT_EQ(duo->aliasForKey('E'), "high");
    for (QMenu* menu : {fileMenu(), frame_.menuBar()->actions().value(1)->menu()}) {
        frame_.menuBar()->setActiveAction(menu->menuAction());
        ASSERT_TRUE(QTest::qWaitFor([menu] { return menu->isVisible(); }, 5000));
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
        ASSERT_EQ(QApplication::activePopupWidget(), nullptr);
        // The window is active again, and the menu bar has had its chance at the keys.
        QTest::qWait(50);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
        EXPECT_NE(QApplication::focusWidget(), frame_.menuBar()) << menu->title().toStdString();

        QTest::keyPress(keyTarget(), Qt::Key_E);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << "E opened a menu";
        EXPECT_TRUE(duo->soundFor("high")->isPlaying()) << menu->title().toStdString();
        QTest::keyRelease(keyTarget(), Qt::Key_E);
    }
}

} // namespace
} // namespace kivora
