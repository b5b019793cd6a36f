// The models the plugin plays, made ready off the audio thread: read from a
// file, from a song's saved text or built in, measured and retuned to the
// host's rate as the tool's --model voices are, with their voices made.
#pragma once

#include <kivora/voices/VoiceBank.h>
#include <kivora/voices/VoiceModel.h>

#include <memory>
#include <string>

namespace kivora::lv2 {

// What a player sets that needs a model or a voice set made anew.
struct VoiceParameters {
    double linearDamping = GenerationSettings{}.linearDamping;
    double squareDamping = GenerationSettings{}.squareDamping;
    int polyphony = voices::VoiceBank::kDefaultVoiceCount;
    // Threads beside the audio thread that step part of the voices.
    int helperThreads = 0;

    bool sameModelAs(const VoiceParameters& other) const {
        return linearDamping == other.linearDamping && squareDamping == other.squareDamping;
    }
    bool operator==(const VoiceParameters& other) const {
        return sameModelAs(other) && polyphony == other.polyphony && helperThreads == other.helperThreads;
    }
};

inline constexpr int kMaxPolyphony = 32;
inline constexpr int kMaxHelperThreads = 3;

// A model as the song knows it: its file (empty for the built-in plucked
// string), its JSON text (empty for the built-in one) and the measured model.
struct ModelSource {
    std::shared_ptr<const voices::VoiceModel> model;
    std::string path;
    std::string text;
    VoiceParameters parameters;
};

struct PreparedModel {
    ModelSource source;
    std::unique_ptr<voices::VoiceSet> voices;
    // A bank of its own when the helper threads changed; it holds the voices.
    std::unique_ptr<voices::VoiceBank> bank;
};

// Each throws std::runtime_error whose text names the file and the reason,
// as kivora-cli words them ("piano.json: line 3, column 7: ..."). Any thread
// but the audio thread: they allocate and take as long as rendering a note.
std::unique_ptr<PreparedModel> prepareFile(const std::string& path, const VoiceParameters& parameters,
                                           int sampleRate);
// `name` labels the messages (the file the text was read from).
std::unique_ptr<PreparedModel> prepareText(std::string text, const std::string& name,
                                           const VoiceParameters& parameters, int sampleRate);
std::unique_ptr<PreparedModel> prepareBuiltIn(const VoiceParameters& parameters, int sampleRate);
// The same model with other parameters: measured again only when the
// attenuations changed.
std::unique_ptr<PreparedModel> prepareRetuned(const ModelSource& source, const VoiceParameters& parameters);

} // namespace kivora::lv2
