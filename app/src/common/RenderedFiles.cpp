#include "common/RenderedFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

namespace kivora {

namespace {

const QString kSettingsKey = QStringLiteral("melodies/rendered");

// The rendering, its source, and the file's time and size as written.
QString fingerprint(const QString& wavPath, const QString& sourcePath) {
    const QFileInfo wav(wavPath);
    return QStringList{wav.absoluteFilePath(), QFileInfo(sourcePath).absoluteFilePath(),
                       QString::number(wav.lastModified().toMSecsSinceEpoch()), QString::number(wav.size())}
        .join(QLatin1Char('\n'));
}

} // namespace

bool isRenderingOf(const QString& wavPath, const QString& sourcePath) {
    return QFileInfo::exists(wavPath) &&
           QSettings().value(kSettingsKey).toStringList().contains(fingerprint(wavPath, sourcePath));
}

void rememberRendering(const QString& wavPath, const QString& sourcePath) {
    if (!QFileInfo::exists(wavPath))
        return;
    QSettings settings;
    QStringList kept = settings.value(kSettingsKey).toStringList();
    const QString wavLine = QFileInfo(wavPath).absoluteFilePath() + QLatin1Char('\n');
    kept.removeIf([&wavLine](const QString& entry) { return entry.startsWith(wavLine); });
    kept.prepend(fingerprint(wavPath, sourcePath));
    while (kept.size() > kRenderingsRemembered)
        kept.removeLast();
    settings.setValue(kSettingsKey, kept);
}

bool folderTakesFiles(const QString& folder) {
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".kivora-probe-XXXXXX")));
    return probe.open();
}

} // namespace kivora
