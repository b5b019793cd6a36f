// kivora [FILE]: the desktop program. FILE is an instrument (.ins) to open in
// the piano or a model (.json) to open in the editor (the drawer and the
// generation run use the model the editor holds). --help and --version answer
// without a display.
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr const char* kUsage =
    "usage: kivora [FILE] [Qt options]\n"
    "\n"
    "Draw a vibrating model, turn it into an instrument and play it.\n"
    "  FILE          an instrument definition file (.ins) to open in the piano,\n"
    "                or a model file (.json) to open in the editor\n"
    "  --help        this text\n"
    "  --version     the program's version\n"
    "\n"
    "Keys: the two piano rows Q2W3ER5T6Y7U and ZSXDCVGBHNJM play the first 24 notes\n"
    "(by key position, whatever the keyboard layout); the space bar silences.\n"
    "Qt's own options apply too, e.g. -platform offscreen or -qwindowgeometry 1280x1024+0+0.\n";

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts: these need no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kivora %s\n", KIVORA_VERSION);
            return 0;
        }
    }

    QApplication application(argc, argv);
    // The settings (recent files, folders) go to Kivora/Kivora.conf in the user's configuration folder.
    QApplication::setOrganizationName(QStringLiteral("Kivora"));
    QApplication::setApplicationName(QStringLiteral("Kivora"));
    QApplication::setApplicationVersion(QStringLiteral(KIVORA_VERSION));

    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i].startsWith(QLatin1Char('-'))) {
            std::fprintf(stderr, "kivora: unknown option %s (kivora --help)\n", qPrintable(arguments[i]));
            return 2;
        }
    }
    if (arguments.size() > 2) {
        std::fputs("kivora: one file at most (kivora --help)\n", stderr);
        return 2;
    }

    const std::unique_ptr<kivora::MainWindow> window = kivora::buildMainWindow();
    window->frame().showMaximized();
    if (arguments.size() == 2)
        window->frame().openFile(arguments[1]);
    return QApplication::exec();
}
