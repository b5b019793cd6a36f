#include "CommandLine.h"
#include "MidiSupport.h"

#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentModel.h>

#include <cstdio>

namespace kivora::cli {

int runExport(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::optional<std::string> output = line.takeOption("output", "o");
    const double releaseMs = releaseOption(line.takeOption("release"));
    const std::string instrumentPath = line.takePositionals(1, 1).front();
    if (!output)
        throw UsageError("missing -o OUT.sf2 or -o OUT.sfz");

    try {
        exchange::checkExportTarget(*output);
    } catch (const exchange::ExportError& failure) {
        throw CommandFailure(failure.what());
    }
    pellamy::InstrumentModel instrument;
    instrument.loadFromFile(instrumentPath);
    const std::vector<exchange::RootKey> roots = exchange::assignRootKeys(instrument);
    try {
        exchange::exportInstrument(instrument, roots, *output, releaseMs);
    } catch (const exchange::ExportError& failure) {
        throw CommandFailure(failure.what());
    }
    for (const exchange::RootKey& root : roots) {
        std::printf("%s: key %d (%d-%d)", root.alias.c_str(), root.key, root.lowKey, root.highKey);
        if (!root.pitched)
            std::printf(", no usable pitch: plays unchanged");
        else if (root.centsSharp != 0.0)
            std::printf(", %+.1f cents corrected", -root.centsSharp);
        std::printf("\n");
    }
    std::printf("Exported %zu sound%s: %s\n", roots.size(), roots.size() == 1 ? "" : "s", output->c_str());
    return 0;
}

int runConvert(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::optional<std::string> instrumentPath = line.takeOption("instrument", "i");
    const std::optional<std::string> output = line.takeOption("output", "o");
    const int channel = midiChannelOption(line.takeOption("channel"));
    const std::string midiPath = line.takePositionals(1, 1).front();
    if (!instrumentPath)
        throw UsageError("missing -i INSTRUMENT.ins");
    if (!output)
        throw UsageError("missing -o SONG.snc");

    pellamy::InstrumentModel instrument;
    instrument.loadFromFile(*instrumentPath);
    const exchange::MidiConversion conversion = convertMidiFile(midiPath, instrument, channel);
    writeTextFile(*output, conversion.script);
    std::printf("%s: %d notes\n", output->c_str(), conversion.notesPlayed);
    return 0;
}

} // namespace kivora::cli
