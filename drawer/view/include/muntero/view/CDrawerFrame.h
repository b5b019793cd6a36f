// The model drawer's pane: a toolbar (Play, Slow, Accel, Increase ampl,
// Decrease ampl, Refresh) over the OpenGL view. The main window puts it in
// its drawer pane, hands it the model and shows the same commands in its
// "&Model" menu through commandActions().
#pragma once

#include <muntero/view/CDrawerView.h>
#include <muntero/view/Export.h>

#include <QList>
#include <QWidget>
#include <string>

class QAction;
class QDataStream;
class QLabel;
class QToolBar;

class MUNTERO_VIEW_API CDrawerFrame : public QWidget {
    Q_OBJECT

public:
    explicit CDrawerFrame(QWidget* parent = nullptr);
    ~CDrawerFrame() override;

    // The pane's plug-in interface. Only setRepresentation, setProcessor and
    // getName do anything.
    int serialize(QDataStream&) { return 0; }
    int deSerialize(QDataStream&) { return 0; }
    // Hands the model to the view (read on Refresh); returns 0.
    int setRepresentation(InstrumentKit::Representation* model);
    int setPosition(int) { return 0; }
    void setProcessor(void* processor);
    int getLength() { return 0; }
    int showPicture() { return 0; }
    std::string getName() { return "2d drawer for linear model"; }

    // The view; null where OpenGL widgets cannot be shown (offscreen tests).
    CDrawerView* view() const { return view_; }
    QToolBar* toolBar() const { return toolBar_; }
    // The action of a command id (CDrawerView::Command), shared by the toolbar
    // and any menu; null for another id.
    QAction* action(int id) const;
    // In menu order: Refresh, Play, Slow, Accel, Increase Amplitude, Decrease Amplitude.
    QList<QAction*> commandActions() const { return menuOrder_; }

    // Offers a command to the view first; the frame handles none itself.
    bool OnCmdMsg(int id);

public slots:
    // The model handed over was replaced (opened, or a new one started): the
    // view shows it at once.
    void modelReplaced();
    // Applies the view's update rules to the actions (checked, enabled).
    void updateCommands();

private:
    QAction* makeAction(int id, const QString& menuText, const QString& statusText, const QString& toolText);
    void showFailure(const QString& text);

    CDrawerView* view_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QLabel* failure_ = nullptr;
    QList<QAction*> menuOrder_;
};
