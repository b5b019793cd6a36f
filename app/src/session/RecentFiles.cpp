#include "session/RecentFiles.h"

#include <QFileInfo>
#include <QSettings>

namespace kivora {

RecentFiles::RecentFiles(QString settingsKey, int maxCount)
    : settingsKey_(std::move(settingsKey)), maxCount_(maxCount) {}

QStringList RecentFiles::paths() const {
    QStringList paths = QSettings().value(settingsKey_).toStringList();
    paths.removeAll(QString());
    return paths.mid(0, maxCount_);
}

void RecentFiles::add(const QString& path) {
    if (path.isEmpty())
        return;
    // One spelling per file, so that reopening it moves it rather than adds it.
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList list = paths();
    list.removeAll(absolute);
    list.prepend(absolute);
    store(list.mid(0, maxCount_));
}

void RecentFiles::remove(const QString& path) {
    QStringList list = paths();
    list.removeAll(QFileInfo(path).absoluteFilePath());
    list.removeAll(path);
    store(list);
}

void RecentFiles::store(const QStringList& paths) const {
    QSettings settings;
    settings.setValue(settingsKey_, paths);
}

} // namespace kivora
