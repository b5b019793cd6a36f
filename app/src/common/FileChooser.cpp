#include "common/FileChooser.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace kivora {

namespace {

QString runFileDialog(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                      const QString& startPath, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(defaultSuffix);
    if (!startPath.isEmpty()) {
        const QFileInfo start(startPath);
        if (start.isDir()) {
            dialog.setDirectory(start.absoluteFilePath());
        } else {
            dialog.setDirectory(start.absolutePath());
            dialog.selectFile(start.fileName());
        }
    }
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

QString settingsKey(FileKind kind) {
    switch (kind) {
    case FileKind::Model:
        return QStringLiteral("folders/models");
    case FileKind::Instrument:
        return QStringLiteral("folders/instruments");
    case FileKind::Melody:
        return QStringLiteral("folders/melodies");
    case FileKind::Export:
        return QStringLiteral("folders/exports");
    case FileKind::Other:
        break;
    }
    return {};
}

} // namespace

FileKind fileKindOf(const QString& filter) {
    const QRegularExpressionMatch pattern = QRegularExpression(QStringLiteral("\\*\\.(\\w+)")).match(filter);
    const QString suffix = pattern.hasMatch() ? pattern.captured(1).toLower() : QString();
    if (suffix == QLatin1String("json"))
        return FileKind::Model;
    if (suffix == QLatin1String("ins"))
        return FileKind::Instrument;
    for (const char* melody : {"wav", "snc", "mid", "midi"})
        if (suffix == QLatin1String(melody))
            return FileKind::Melody;
    if (suffix == QLatin1String("sf2") || suffix == QLatin1String("sfz"))
        return FileKind::Export;
    return FileKind::Other;
}

QString lastFolder(FileKind kind) {
    const QString key = settingsKey(kind);
    return key.isEmpty() ? QString() : QSettings().value(key).toString();
}

void rememberFolder(FileKind kind, const QString& chosenPath) {
    const QString key = settingsKey(kind);
    if (!key.isEmpty() && !chosenPath.isEmpty())
        QSettings().setValue(key, QFileInfo(chosenPath).absolutePath());
}

QString FileChooser::ask(const Ask& dialog, QWidget* owner, const QString& filter,
                         const QString& defaultSuffix, const QString& startPath) const {
    const FileKind kind = fileKindOf(filter);
    QString start = startPath;
    // A remembered folder that has gone away would only show an error.
    const QString remembered = lastFolder(kind);
    if (start.isEmpty() && QFileInfo(remembered).isDir())
        start = remembered;
    const QString chosen = dialog(owner, filter, defaultSuffix, start);
    rememberFolder(kind, chosen);
    return chosen;
}

QString FileChooser::openFile(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                              const QString& startPath) const {
    return ask(open_, owner, filter, defaultSuffix, startPath);
}

QString FileChooser::saveFile(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                              const QString& startPath) const {
    return ask(save_, owner, filter, defaultSuffix, startPath);
}

std::string narrowPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

FileChooser FileChooser::dialogs() {
    return {
        [](QWidget* owner, const QString& filter, const QString& suffix, const QString& start) {
            return runFileDialog(owner, filter, suffix, start, QFileDialog::AcceptOpen);
        },
        [](QWidget* owner, const QString& filter, const QString& suffix, const QString& start) {
            return runFileDialog(owner, filter, suffix, start, QFileDialog::AcceptSave);
        },
    };
}

} // namespace kivora
