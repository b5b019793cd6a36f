#include "common/FileChooser.h"

#include <QFile>
#include <QFileDialog>
#include <QRegularExpression>

namespace kivora {

namespace {

QString runFileDialog(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                      QFileDialog::AcceptMode mode) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(defaultSuffix);
    // With several filters the suffix follows the one chosen.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& chosen) {
        const QRegularExpressionMatch suffix =
            QRegularExpression(QStringLiteral("\\*\\.(\\w+)")).match(chosen);
        if (suffix.hasMatch())
            dialog.setDefaultSuffix(suffix.captured(1));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front();
}

} // namespace

std::string narrowPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

FileChooser FileChooser::dialogs() {
    return {
        [](QWidget* owner, const QString& filter, const QString& suffix) {
            return runFileDialog(owner, filter, suffix, QFileDialog::AcceptOpen);
        },
        [](QWidget* owner, const QString& filter, const QString& suffix) {
            return runFileDialog(owner, filter, suffix, QFileDialog::AcceptSave);
        },
    };
}

} // namespace kivora
