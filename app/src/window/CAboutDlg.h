// "About Kivora": the program's name and version, and OK.
#pragma once

#include <QDialog>

namespace kivora {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace kivora
