#include <muntero/view/CDrawerFrame.h>

#include <QAction>
#include <QLabel>
#include <QToolBar>
#include <QVBoxLayout>

CDrawerFrame::CDrawerFrame(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    toolBar_ = new QToolBar(this);
    toolBar_->setObjectName(QStringLiteral("drawerToolBar"));
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    toolBar_->setFloatable(false);
    layout->addWidget(toolBar_);

    QAction* play = makeAction(CDrawerView::PlayCommand, tr("&Play"), QStringLiteral("Draw process"),
                               QStringLiteral("Play"));
    QAction* slow = makeAction(CDrawerView::SlowCommand, tr("&Slow"), QStringLiteral("Slow down playing"),
                               QStringLiteral("Slow"));
    QAction* accelerate = makeAction(CDrawerView::AccelerateCommand, tr("&Accel"),
                                     QStringLiteral("Accelerate play speed"), QStringLiteral("Accel"));
    QAction* up = makeAction(CDrawerView::AmplitudeUpCommand, tr("&Increase Amplitude"),
                             QStringLiteral("Increase displayed amplitude"), QStringLiteral("Increase ampl"));
    QAction* down =
        makeAction(CDrawerView::AmplitudeDownCommand, tr("&Decrease Amplitude"),
                   QStringLiteral("Decrease displayed amplitude"), QStringLiteral("Decrease ampl"));
    QAction* refresh =
        makeAction(CDrawerView::RefreshCommand, tr("&Refresh"),
                   QStringLiteral("Reinitialize graph for drawing"), QStringLiteral("Refresh"));
    play->setCheckable(true);
    toolBar_->addAction(play);
    toolBar_->addAction(slow);
    toolBar_->addAction(accelerate);
    toolBar_->addSeparator();
    toolBar_->addAction(up);
    toolBar_->addAction(down);
    toolBar_->addSeparator();
    toolBar_->addAction(refresh);
    menuOrder_ = {refresh, play, slow, accelerate, up, down};

    failure_ = new QLabel(this);
    failure_->setObjectName(QStringLiteral("drawerFailure"));
    failure_->setAlignment(Qt::AlignCenter);
    failure_->hide();

    if (CDrawerView::openGLWidgetsAvailable()) {
        view_ = new CDrawerView(this);
        view_->setObjectName(QStringLiteral("drawerView"));
        layout->addWidget(view_, 1);
        setFocusProxy(view_);
        connect(view_, &CDrawerView::commandStateChanged, this, &CDrawerFrame::updateCommands);
        connect(view_, &CDrawerView::contextFailed, this, &CDrawerFrame::showFailure);
    }
    layout->addWidget(failure_, 1);
    if (view_ == nullptr) {
        showFailure(QString::fromLatin1(CDrawerView::kContextFailedText));
    }
    updateCommands();
}

CDrawerFrame::~CDrawerFrame() = default;

QAction* CDrawerFrame::makeAction(int id, const QString& menuText, const QString& statusText,
                                  const QString& toolText) {
    auto* action = new QAction(menuText, this);
    action->setData(id);
    action->setIconText(toolText);
    action->setToolTip(toolText);
    action->setStatusTip(statusText);
    connect(action, &QAction::triggered, this, [this, id] { OnCmdMsg(id); });
    return action;
}

QAction* CDrawerFrame::action(int id) const {
    for (QAction* action : menuOrder_) {
        if (action->data().toInt() == id) {
            return action;
        }
    }
    return nullptr;
}

int CDrawerFrame::setRepresentation(InstrumentKit::Representation* model) {
    return view_ != nullptr ? view_->setRepresentation(model) : 0;
}

void CDrawerFrame::setProcessor(void*) {
    // The view ignores the processor as well.
}

void CDrawerFrame::modelReplaced() {
    if (view_ != nullptr) {
        view_->modelReplaced();
    }
}

bool CDrawerFrame::OnCmdMsg(int id) {
    return view_ != nullptr && view_->OnCmdMsg(id);
}

void CDrawerFrame::updateCommands() {
    if (view_ == nullptr) {
        for (QAction* action : menuOrder_) {
            action->setEnabled(false);
        }
        return;
    }
    view_->OnUpdateFilePlay(action(CDrawerView::PlayCommand));
    view_->OnUpdateAccelerate(action(CDrawerView::AccelerateCommand));
    view_->OnUpdateSlow(action(CDrawerView::SlowCommand));
    view_->OnUpdateAmplDown(action(CDrawerView::AmplitudeDownCommand));
}

void CDrawerFrame::showFailure(const QString& text) {
    failure_->setText(text);
    failure_->show();
    if (view_ != nullptr) {
        view_->hide(); // it keeps running without drawing
    }
}
