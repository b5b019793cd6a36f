// The generation run's side of the main frame: the piano's requests
// (WM_GENERATE_NOTES, WM_GENERATE_SINGLE), the worker's notes (WM_NOTE_DONE)
// and the progress dialog's cancel (WM_CANCEL_GENERATION). At the end of a
// run the frame calls deliverRunResults with the run's records.
#include "MainFrame.h"

namespace kivora {

bool CMainFrame::handleGenerationMessage(QEvent*) {
    return true; // no generation run yet
}

} // namespace kivora
