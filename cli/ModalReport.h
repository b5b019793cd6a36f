// What the modal preview tells a user before rendering, shared by the modes
// and generate commands.
#pragma once

#include <kivora/ModalAnalysis.h>
#include <kivora/NoteGenerator.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kivora::cli {

// The generator's names of these notes, separated by blanks.
std::string describeNotes(const std::vector<int>& notes, int octaves);

// One warning line per nodal-line mode and one naming the notes predicted to
// exceed the stability limit when the run tunes from baseFrequencyHz.
void warnAboutModes(const kivora::ModalPreview& preview, const kivora::GenerationSettings& settings,
                    double baseFrequencyHz, std::FILE* out);

} // namespace kivora::cli
