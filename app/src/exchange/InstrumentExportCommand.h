// File > Export Instrument: the instrument written as a SoundFont 2 bank or
// an SFZ file. Measuring the sounds' root keys and writing the files run on
// a worker (BackgroundJob) with a copy of the instrument taken when the
// command starts; a second export is refused while one runs. The libraries
// write under temporary names, so a cancelled or failed export leaves
// nothing behind.
//
// Thread: interface thread.
#pragma once

#include "common/BackgroundJob.h"
#include "common/FileChooser.h"

#include <pellamy/InstrumentModel.h>

#include <QObject>
#include <QString>
#include <functional>

class QWidget;

namespace kivora {

class InstrumentExportCommand : public QObject {
    Q_OBJECT
public:
    using ShowStatus = std::function<void(const QString&)>;

    // `owner` parents the dialogs and messages and owns the command.
    InstrumentExportCommand(QWidget* owner, ShowStatus showStatus);

    // Asks for the output through `chooser`, then exports a copy of
    // `instrument` on the worker; false when nothing was started (no
    // instrument, cancelled, refused, or an export still running).
    bool run(const pellamy::InstrumentModel* instrument, const FileChooser& chooser);

    BackgroundJob& job() { return job_; }

private:
    QWidget* owner_;
    ShowStatus showStatus_;
    BackgroundJob job_;
};

} // namespace kivora
