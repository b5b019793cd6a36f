#include "CommandLine.h"
#include "Interrupt.h"

#include <kivora/GenerationReport.h>
#include <pellamy/InstrumentModel.h>

#include <cstdio>

namespace kivora::cli {

int runResave(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const bool flat = line.takeFlag("flat");
    const std::vector<std::string> paths = line.takePositionals(2, 2);
    pellamy::InstrumentModel model;
    model.loadFromFile(paths[0]);
    // A generated instrument still says where it came from; other comments stay behind.
    model.setComments(kivora::provenanceOf(pellamy::InstrumentModel::leadingCommentsOf(paths[0])));

    std::vector<NamedInput> inputs = {{paths[0], "the instrument file read"}};
    for (const std::string& sound : pellamy::InstrumentModel::soundFilesOf(paths[0]))
        inputs.push_back({sound, "a sound file of the instrument read"});
    refuseOverwritingInputs(model.filesSavedTo(paths[1], !flat), inputs);

    const InterruptScope interrupt;
    try {
        model.saveToFile(paths[1], !flat, interrupt.stopCheck());
    } catch (...) {
        if (!interrupt.interrupted())
            throw;
        std::fputs("Interrupted: nothing saved\n", stderr);
        return interrupt.exitStatus();
    }
    return 0;
}

} // namespace kivora::cli
