// Where the window asks for file names: the file dialogs, or a test's answers.
#pragma once

#include <QString>
#include <functional>
#include <string>

class QWidget;

namespace kivora {

// Each returns the chosen path or an empty string when cancelled.
struct FileChooser {
    std::function<QString(QWidget* owner, const QString& filter, const QString& defaultSuffix)> openFile;
    std::function<QString(QWidget* owner, const QString& filter, const QString& defaultSuffix)> saveFile;

    // Modal QFileDialogs.
    static FileChooser dialogs();
};

// A path as the engine's narrow-string interfaces take it (the file system's encoding).
std::string narrowPath(const QString& path);

} // namespace kivora
