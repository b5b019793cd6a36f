// Where the window asks for file names: the file dialogs, or a test's answers.
// Every dialog starts in the folder last used for its kind of file (models,
// instruments, melodies, exports), remembered in the program's settings.
#pragma once

#include <QString>
#include <functional>
#include <string>

class QWidget;

namespace kivora {

// The kinds of file whose folders are remembered apart, told by the first
// pattern of a dialog's filter.
enum class FileKind { Model, Instrument, Melody, Export, Other };
FileKind fileKindOf(const QString& filter);

// The folder last used for `kind` (empty before the first), and remembering
// the folder of a chosen file. Nothing is remembered for FileKind::Other.
QString lastFolder(FileKind kind);
void rememberFolder(FileKind kind, const QString& chosenPath);

class FileChooser {
public:
    // Returns the chosen path or an empty string when cancelled. `startPath` is
    // a folder to start in or a file name to propose.
    using Ask = std::function<QString(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                                      const QString& startPath)>;

    FileChooser(Ask open, Ask save) : open_(std::move(open)), save_(std::move(save)) {}

    // Without a startPath the dialog starts in the folder last used for the
    // filter's kind; a chosen file's folder becomes that folder.
    QString openFile(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                     const QString& startPath = {}) const;
    QString saveFile(QWidget* owner, const QString& filter, const QString& defaultSuffix,
                     const QString& startPath = {}) const;

    // Modal QFileDialogs.
    static FileChooser dialogs();

private:
    QString ask(const Ask& dialog, QWidget* owner, const QString& filter, const QString& defaultSuffix,
                const QString& startPath) const;

    Ask open_;
    Ask save_;
};

// A path as the engine's narrow-string interfaces take it (the file system's encoding).
std::string narrowPath(const QString& path);

} // namespace kivora
