// render and play with --model: a melody script or MIDI file played by the
// model's own simulated voices instead of an instrument's recorded notes.
#pragma once

#include <kivora/voices/ScriptSong.h>
#include <kivora/voices/VoiceModel.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivora::cli {

class CommandLine;

struct VoiceOptions {
    std::string modelPath;
    std::string songPath;
    std::optional<std::string> outputPath;
    voices::VoiceSettings settings;
    int midiChannel = -1;
    unsigned threads = 0;
};

// The options both commands take (render's -o with `withOutput`) and the song.
VoiceOptions readVoiceOptions(CommandLine& line, bool withOutput);
std::shared_ptr<const voices::VoiceModel> loadVoiceModel(const VoiceOptions& options);
voices::Song songOf(const VoiceOptions& options, const voices::VoiceModel& model);
void warnAboutRefusedKeys(const std::vector<int>& keys);

// Whether the arguments (before a "--") hold --model.
bool asksForVoices(const std::vector<std::string>& arguments);

int runRenderWithVoices(std::vector<std::string> arguments);

} // namespace kivora::cli
