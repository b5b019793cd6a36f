#include "CommandLine.h"
#include "Interrupt.h"
#include "MidiSupport.h"
#include "VoiceCommands.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/TemporaryFile.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

namespace kivora::cli {

namespace {

int mixModeFor(const std::string& name) {
    if (name == "clip")
        return pellamy::MixClip;
    if (name == "normalize")
        return pellamy::MixNormalize;
    if (name == "none")
        return pellamy::MixNone;
    throw UsageError("--mix must be clip, normalize or none, not \"" + name + "\"");
}

bool writeWholeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

} // namespace

std::vector<NamedInput> inputsOfRendering(const std::string& scriptPath,
                                          const std::optional<std::string>& instrumentPath) {
    std::vector<NamedInput> inputs = {{scriptPath, "the melody script"}};
    if (instrumentPath)
        inputs.push_back({*instrumentPath, "the instrument file"});
    // Without an instrument file the script is read as one.
    try {
        for (const std::string& sound :
             pellamy::InstrumentModel::soundFilesOf(instrumentPath.value_or(scriptPath)))
            inputs.push_back({sound, "a sound file of the instrument"});
    } catch (const std::string&) {
        // Unreadable: the rendering reports it.
    }
    return inputs;
}

int runRender(std::vector<std::string> arguments) {
    if (asksForVoices(arguments))
        return runRenderWithVoices(std::move(arguments));
    CommandLine line(std::move(arguments));
    const std::optional<std::string> instrumentPath = line.takeOption("instrument", "i");
    std::optional<std::string> outputPath = line.takeOption("output", "o");
    const int mode = mixModeFor(line.takeOption("mix").value_or("clip"));
    const int midiChannel = midiChannelOption(line.takeOption("channel"));
    std::string scriptPath = line.takePositionals(1, 1).front();
    const bool midi = isMidiPath(scriptPath);
    if (!outputPath) {
        // As the piano does: the script's name with its last four characters replaced.
        if (scriptPath.size() <= 4)
            throw UsageError("cannot name the output after \"" + scriptPath + "\"; give it with -o");
        outputPath = midi ? std::filesystem::path(scriptPath).replace_extension(".wav").string()
                          : scriptPath.substr(0, scriptPath.size() - 4) + ".wav";
    }

    if (midi && !instrumentPath)
        throw UsageError("a MIDI file needs an instrument: give it with -i");

    pellamy::InstrumentModel instrument;
    pellamy::MelodyRenderer renderer(mode);
    if (instrumentPath) {
        instrument.loadFromFile(*instrumentPath);
        renderer.setInstrument(&instrument);
    }
    refuseOverwritingInputs({*outputPath}, inputsOfRendering(scriptPath, instrumentPath));

    const InterruptScope interrupt;
    renderer.setStopCheck(interrupt.stopCheck());
    // A MIDI file is rendered through the script it converts to, written
    // beside the output for the rendering and removed after it (or by a later
    // save or rendering there, should this process be killed).
    std::optional<pellamy::TemporaryFile> convertedScript;
    if (midi) {
        const std::string script = convertMidiFile(scriptPath, instrument, midiChannel).script;
        convertedScript.emplace(std::filesystem::path(*outputPath).parent_path());
        if (!convertedScript->create() || !writeWholeFile(convertedScript->path(), script))
            throw CommandFailure("Can't write the melody script converted from " + scriptPath + " beside " +
                                 *outputPath);
        scriptPath = convertedScript->path().string();
    }
    try {
        renderer.render(scriptPath, *outputPath);
    } catch (...) {
        if (!interrupt.interrupted())
            throw;
        std::fputs("Interrupted: nothing written\n", stderr);
        return interrupt.exitStatus();
    }
    if (renderer.instrument() == nullptr)
        throw CommandFailure("No instrument to render with");

    const pellamy::WAVEFORMATEX& format = renderer.outputFormat();
    const double seconds = format.nSamplesPerSec == 0 ? 0.0
                                                      : static_cast<double>(renderer.writtenValues()) /
                                                            format.nChannels / format.nSamplesPerSec;
    std::printf("%s: %llu values at %u Hz, %.3f s\n", outputPath->c_str(),
                static_cast<unsigned long long>(renderer.writtenValues()), format.nSamplesPerSec, seconds);
    return 0;
}

} // namespace kivora::cli
