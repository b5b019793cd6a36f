#include "generation/RunProvenance.h"

#include "common/FileChooser.h"

#include <QFileInfo>
#include <algorithm>

namespace kivora {

RunProvenance runProvenanceOf(const QString& modelPath, bool modelModified,
                              const GenerationSettings& settings) {
    RunProvenance run;
    run.settings = settings;
    if (modelPath.isEmpty()) {
        run.modelName = "an untitled model";
        return run;
    }
    run.modelName = QFileInfo(modelPath).fileName().toStdString();
    if (modelModified) {
        run.modelName += " with unsaved changes";
        return run;
    }
    run.modelSha256 = sha256HexOfFile(narrowPath(modelPath));
    return run;
}

std::vector<std::string> provenanceLines(const RunProvenance& run, const GenerationReport* report) {
    if (report != nullptr)
        return provenanceComments(run.modelName, run.modelSha256, *report);
    GenerationReport settingsOnly;
    settingsOnly.settings = run.settings;
    std::vector<std::string> lines = provenanceComments(run.modelName, run.modelSha256, settingsOnly);
    // What follows the settings would be measurements that were not made.
    const auto settingsLine = std::find_if(
        lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("settings: ", 0) == 0; });
    if (settingsLine != lines.end())
        lines.erase(settingsLine + 1, lines.end());
    return lines;
}

} // namespace kivora
