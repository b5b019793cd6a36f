// The main frame's exchange with other music software: the instrument
// exported as a SoundFont 2 bank or an SFZ file.
#include "exchange/InstrumentExportCommand.h"
#include "window/CMainFrame.h"

#include <QStatusBar>

namespace kivora {

namespace {

constexpr int kStatusShownMs = 10000;

} // namespace

void CMainFrame::exportInstrument() {
    InstrumentExportCommand::of(this, [this](const QString& text) {
        statusBar()->showMessage(text, kStatusShownMs);
    }).run(instrument_.instrument(), instrument_.fileChooser());
}

} // namespace kivora
