#include "ModelPreparation.h"

#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kivora::lv2 {

namespace {

voices::VoiceSettings settingsFor(const VoiceParameters& parameters, int sampleRate) {
    voices::VoiceSettings settings;
    settings.generation.sampleRate = sampleRate;
    settings.generation.linearDamping = parameters.linearDamping;
    settings.generation.squareDamping = parameters.squareDamping;
    return settings;
}

std::unique_ptr<PreparedModel> prepare(ModelSource source,
                                       const InstrumentKit::Representation& representation,
                                       const std::string& name, int sampleRate) {
    try {
        source.model = std::make_shared<const voices::VoiceModel>(muntero::takeSnapshot(representation),
                                                                  settingsFor(source.parameters, sampleRate));
    } catch (const std::invalid_argument& refusal) {
        throw std::runtime_error(name + ": " + refusal.what());
    }
    auto prepared = std::make_unique<PreparedModel>();
    prepared->voices = std::make_unique<voices::VoiceSet>(source.model, source.parameters.polyphony);
    prepared->source = std::move(source);
    return prepared;
}

} // namespace

std::unique_ptr<PreparedModel> prepareFile(const std::string& path, const VoiceParameters& parameters,
                                           int sampleRate) {
    // The tool's reader gives the messages; the file's own text is what a
    // song keeps, so a restored song parses exactly what was played.
    InstrumentKit::loadModelFile(path);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof())
        throw std::runtime_error(path + ": cannot read the model again");
    return prepareText(std::move(text), path, parameters, sampleRate);
}

std::unique_ptr<PreparedModel> prepareText(std::string text, const std::string& name,
                                           const VoiceParameters& parameters, int sampleRate) {
    const InstrumentKit::Representation representation = InstrumentKit::loadModel(text, name);
    ModelSource source;
    source.path = name;
    source.text = std::move(text);
    source.parameters = parameters;
    return prepare(std::move(source), representation, name, sampleRate);
}

std::unique_ptr<PreparedModel> prepareBuiltIn(const VoiceParameters& parameters, int sampleRate) {
    ModelSource source;
    source.parameters = parameters;
    return prepare(std::move(source), InstrumentKit::defaultModel(), "the built-in plucked string",
                   sampleRate);
}

std::unique_ptr<PreparedModel> prepareRetuned(const ModelSource& source, const VoiceParameters& parameters) {
    auto prepared = std::make_unique<PreparedModel>();
    prepared->source = source;
    prepared->source.parameters = parameters;
    if (!parameters.sameModelAs(source.parameters)) {
        voices::VoiceSettings settings = source.model->settings();
        settings.generation.linearDamping = parameters.linearDamping;
        settings.generation.squareDamping = parameters.squareDamping;
        try {
            prepared->source.model =
                std::make_shared<const voices::VoiceModel>(source.model->snapshot(), settings);
        } catch (const std::invalid_argument& refusal) {
            const std::string name = source.path.empty() ? "the built-in plucked string" : source.path;
            throw std::runtime_error(name + ": " + refusal.what());
        }
    }
    prepared->voices = std::make_unique<voices::VoiceSet>(prepared->source.model, parameters.polyphony);
    return prepared;
}

} // namespace kivora::lv2
