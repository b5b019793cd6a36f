// The main frame's generation run. It generates from the frame's model (the
// one the drawer shows): a JSON model file opened from the command line or
// with Ctrl+O.
#pragma once

#include <QString>

namespace kivora {

class CMainFrame;
class GenerationRun;

// Makes the frame's run and model (once) and binds Ctrl+O to opening a model file.
void installGeneration(CMainFrame& frame);
// The frame's run; made on first use. A child of the frame, so it stops and
// waits for its worker when the frame is destroyed.
GenerationRun& generationRunOf(CMainFrame& frame);

} // namespace kivora
