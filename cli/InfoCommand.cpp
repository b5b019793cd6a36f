#include "CommandLine.h"

#include <kivora/GenerationReport.h>
#include <pellamy/InstrumentModel.h>

#include <cstdio>

namespace kivora::cli {

int runInfo(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::string path = line.takePositionals(1, 1).front();
    pellamy::InstrumentModel model;
    model.loadFromFile(path);
    // Where a generated instrument came from, as its first lines say.
    for (const std::string& comment : kivora::provenanceOf(pellamy::InstrumentModel::leadingCommentsOf(path)))
        std::printf("-- %s\n", comment.c_str());
    for (std::size_t i = 0; i < model.soundCount(); ++i) {
        const std::string& alias = model.aliasAt(i);
        const pellamy::Sound& sound = *model.soundFor(alias);
        const std::uint8_t key = model.keyForAlias(alias);
        const double seconds =
            sound.sampleRate() == 0 || sound.channels() == 0
                ? 0.0
                : static_cast<double>(sound.count()) / sound.channels() / sound.sampleRate();
        std::printf("%s %c %u %u %u %.3f\n", alias.c_str(), key == 0 ? '-' : static_cast<char>(key),
                    sound.count(), sound.sampleRate(), sound.channels(), seconds);
    }
    return 0;
}

} // namespace kivora::cli
