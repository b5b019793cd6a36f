// "About Kivora": the program's name and version, and OK.
#pragma once

#include <QDialog>

namespace kivora {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

} // namespace kivora
