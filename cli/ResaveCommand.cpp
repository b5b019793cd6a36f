#include "CommandLine.h"

#include <pellamy/InstrumentModel.h>

namespace kivora::cli {

int runResave(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const bool flat = line.takeFlag("flat");
    const std::vector<std::string> paths = line.takePositionals(2, 2);
    pellamy::InstrumentModel model;
    model.loadFromFile(paths[0]);
    model.saveToFile(paths[1], !flat);
    return 0;
}

} // namespace kivora::cli
