// A list of recently used files kept in the program's settings, so that it
// outlives the program: the newest first, each path once, at most maxCount.
#pragma once

#include <QString>
#include <QStringList>

namespace kivora {

class RecentFiles {
public:
    static constexpr int kDefaultMaxCount = 8;

    explicit RecentFiles(QString settingsKey, int maxCount = kDefaultMaxCount);

    QStringList paths() const;
    // Moves `path` to the front.
    void add(const QString& path);
    // Drops a file that could not be opened.
    void remove(const QString& path);

private:
    void store(const QStringList& paths) const;

    QString settingsKey_;
    int maxCount_;
};

} // namespace kivora
