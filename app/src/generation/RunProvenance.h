// Where a generation run's notes came from, taken as the run starts, and the
// comments its instrument is saved with: the same lines kivora-cli generate
// writes (provenanceComments), so that `kivora-cli info` reads both alike.
#pragma once

#include <kivora/GenerationReport.h>
#include <kivora/NoteGenerator.h>

#include <QString>
#include <string>
#include <vector>

namespace kivora {

struct RunProvenance {
    std::string modelName;
    // Of the model file's bytes; empty when the model run is not the file's.
    std::string modelSha256;
    GenerationSettings settings;
};

// The model as the window holds it. One saved in a file and unchanged since
// is named by its file name, with the digest of the file's bytes; an
// untitled one, or one changed since it was saved, names no file of its
// bytes and has no digest, as the command's model without a file.
RunProvenance runProvenanceOf(const QString& modelPath, bool modelModified,
                              const GenerationSettings& settings);

// provenanceComments of the run with its report; without one (not measured
// yet, or never: a cancelled run) only the model's lines and the settings.
std::vector<std::string> provenanceLines(const RunProvenance& run, const GenerationReport* report);

} // namespace kivora
