// The main frame's side of the model drawer: the drawer pane, its "&Model"
// menu (the same actions as the drawer's toolbar, so the same update rules),
// the shared model and the model file from the command line.
#include "common/EngineGuard.h"
#include "window/CMainFrame.h"

#include <modelkit/ModelFile.h>
#include <modelkit/Representation.h>
#include <muntero/view/CDrawerFrame.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>

namespace kivora {

void CMainFrame::createDrawer() {
    model_ = std::make_unique<InstrumentKit::Representation>();
    drawerFrame_ = new CDrawerFrame;
    drawerFrame_->setObjectName(QStringLiteral("CDrawerFrame"));
    setDrawerPane(drawerFrame_);
    drawerFrame_->setRepresentation(model_.get());
    modelMenu_ = addMenuBeforeHelp(tr("&Model"));
    modelMenu_->addActions(drawerFrame_->commandActions());
}

bool CMainFrame::openModelFile(const QString& path) {
    try {
        // Move-assigned: the panes keep their pointer to the same object.
        *model_ = InstrumentKit::loadModelFile(path.toStdString());
        return true;
    } catch (const std::exception& error) {
        showMessage(this, QString::fromLocal8Bit(error.what()));
    }
    return false;
}

bool CMainFrame::drawerTakesKey(const QKeyEvent& event) const {
    switch (event.key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
        break;
    default:
        return false;
    }
    const QWidget* focus = QApplication::focusWidget();
    return drawerFrame_ != nullptr && drawerFrame_->view() != nullptr && focus == drawerFrame_->view();
}

} // namespace kivora
