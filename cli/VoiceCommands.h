// render and play with --model: a melody script or MIDI file played by the
// model's own simulated voices instead of an instrument's recorded notes.
#pragma once

#include <string>
#include <vector>

namespace kivora::cli {

// Whether the arguments (before a "--") hold --model.
bool asksForVoices(const std::vector<std::string>& arguments);

int runRenderWithVoices(std::vector<std::string> arguments);
int runPlayWithVoices(std::vector<std::string> arguments);

} // namespace kivora::cli
