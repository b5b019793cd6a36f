// The main frame's exchange with other music software: the instrument
// exported as a SoundFont 2 bank or an SFZ file.
#include "common/EngineGuard.h"
#include "window/CMainFrame.h"

#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentModel.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QStatusBar>

namespace kivora {

namespace {

const QString kExportFilter = QStringLiteral("SoundFont 2 (*.sf2);;SFZ (*.sfz)");
constexpr int kStatusShownMs = 10000;

} // namespace

void CMainFrame::exportInstrument() {
    if (instrument_.instrument() == nullptr)
        return;
    const QString path = instrument_.fileChooser().saveFile(this, kExportFilter, QStringLiteral("sf2"));
    if (path.isEmpty())
        return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("sf2") && suffix != QLatin1String("sfz")) {
        showMessage(
            this, tr("An instrument is exported as .sf2 or .sfz, not as %1").arg(QFileInfo(path).fileName()));
        return;
    }
    const pellamy::InstrumentModel& instrument = *instrument_.instrument();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::size_t soundCount = 0;
    QString failure;
    try {
        // The root keys measure the sounds' pitches, the part that takes time:
        // an output that cannot be written is refused before.
        const std::string outputPath = QFile::encodeName(path).toStdString();
        exchange::checkExportTarget(outputPath);
        const std::vector<exchange::RootKey> roots = exchange::assignRootKeys(instrument);
        exchange::exportInstrument(instrument, roots, outputPath);
        soundCount = roots.size();
    } catch (...) {
        failure = currentExceptionText();
    }
    QApplication::restoreOverrideCursor();
    if (!failure.isEmpty()) {
        showMessage(this, failure);
        return;
    }
    statusBar()->showMessage(
        tr("Exported %1 %2 to %3").arg(soundCount).arg(soundCount == 1 ? tr("sound") : tr("sounds"), path),
        kStatusShownMs);
}

} // namespace kivora
