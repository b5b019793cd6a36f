// The main frame's generation run and the model it generates from. Until the
// model editor is part of the program, the model is a JSON model file opened
// from the command line or with Ctrl+O.
#pragma once

#include <QString>

namespace InstrumentKit {
class Representation;
}

namespace kivora {

class CMainFrame;
class GenerationRun;

// Makes the frame's run and model (once) and binds Ctrl+O to opening a model file.
void installGeneration(CMainFrame& frame);
// The frame's run; made on first use. A child of the frame, so it stops and
// waits for its worker when the frame is destroyed.
GenerationRun& generationRunOf(CMainFrame& frame);
// The model the frame generates from (empty until a model file is opened).
InstrumentKit::Representation& modelOf(CMainFrame& frame);
// Replaces the model with a model file; a message box says why it failed.
bool openModelFile(CMainFrame& frame, const QString& path);

} // namespace kivora
