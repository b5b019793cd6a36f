#include "window/AboutDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace kivora {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("About Kivora"));
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(QStringLiteral("Kivora v2.0"), this);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    // 235 × 55 dialog units.
    resize(353, 90);
}

} // namespace kivora
