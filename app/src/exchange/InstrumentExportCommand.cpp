#include "exchange/InstrumentExportCommand.h"

#include "common/EngineGuard.h"

#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/RootKeys.h>

#include <QFileInfo>
#include <QWidget>
#include <memory>

namespace kivora {

namespace {

const QString kExportFilter = QStringLiteral("SoundFont 2 (*.sf2);;SFZ (*.sfz)");

} // namespace

InstrumentExportCommand::InstrumentExportCommand(QWidget* owner, ShowStatus showStatus)
    : QObject(owner), owner_(owner), showStatus_(std::move(showStatus)),
      job_(owner, tr("Exporting the instrument...")) {}

bool InstrumentExportCommand::run(const pellamy::InstrumentModel* instrument, const FileChooser& chooser) {
    if (instrument == nullptr)
        return false;
    if (job_.raiseIfRunning())
        return false;
    const QString path = chooser.saveFile(owner_, kExportFilter, QStringLiteral("sf2"));
    if (path.isEmpty())
        return false;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("sf2") && suffix != QLatin1String("sfz")) {
        showMessage(
            owner_,
            tr("An instrument is exported as .sf2 or .sfz, not as %1").arg(QFileInfo(path).fileName()));
        return false;
    }
    // The root keys measure the sounds' pitches, the part that takes time:
    // an output that cannot be written is refused before.
    const std::string outputPath = narrowPath(path);
    if (!guarded(owner_, [&] { exchange::checkExportTarget(outputPath); }))
        return false;
    auto copy = std::make_shared<const pellamy::InstrumentModel>(*instrument);
    auto soundCount = std::make_shared<std::size_t>(0);
    return job_.start(
        [copy, outputPath, soundCount](const BackgroundJob::StopCheck& stopRequested) {
            const std::vector<exchange::RootKey> roots = exchange::assignRootKeys(*copy);
            if (stopRequested())
                return;
            exchange::exportInstrument(*copy, roots, outputPath);
            *soundCount = roots.size();
        },
        [this, path, soundCount] {
            if (showStatus_)
                showStatus_(tr("Exported %1 %2 to %3")
                                .arg(*soundCount)
                                .arg(*soundCount == 1 ? tr("sound") : tr("sounds"), path));
        });
}

} // namespace kivora
