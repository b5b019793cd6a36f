// The JSON model file: loading with validation, and saving.
//
// Loading builds a fresh Representation whose node identities follow the order
// in which the nodes appear in the file. Every refusal is a ModelFileError whose
// text is one line naming the source, the place and the reason, for example
//     piano.json: elements[0].nodes[2].links[1].to: unknown node "q"
#pragma once

#include <modelkit/Export.h>
#include <modelkit/Representation.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace InstrumentKit {

class MODELKIT_API ModelFileError : public std::runtime_error {
public:
    // place is a path into the document ("elements[0].nodes[2]"), a text
    // position ("line 3, column 7") or empty when the whole input is meant.
    ModelFileError(std::string sourceName, std::string place, std::string reason);

    const std::string& sourceName() const { return sourceName_; }
    const std::string& place() const { return place_; }
    const std::string& reason() const { return reason_; }

private:
    std::string sourceName_;
    std::string place_;
    std::string reason_;
};

// The version this library reads and writes in "kivora_model".
inline constexpr int kModelFileVersion = 1;
// Deepest nesting of arrays and objects accepted; a model needs 7 levels.
inline constexpr int kMaxModelNestingDepth = 32;
// Largest model file loadModelFile reads.
inline constexpr std::uintmax_t kMaxModelFileBytes = 64u << 20;

// Every function here may run on any thread; the ones that read or write a
// model need it unchanged by other threads while they run.

// The rules a model's values keep, as loading and saving apply them: the
// reason a value is refused ("must be finite", "must be greater than 0"), or
// nullptr when the value may stand in a model. A mass obeys massRefusal;
// positions, origins, initial states and stiffnesses obey numberRefusal.
MODELKIT_API const char* numberRefusal(double value);
MODELKIT_API const char* massRefusal(double mass);

// Parses and validates text; sourceName only labels the messages. Allocates
// the parsed document and the new model.
MODELKIT_API Representation loadModel(std::string_view text, std::string_view sourceName = "model");
// Reads the file whole (at most kMaxModelFileBytes) and parses it as loadModel.
MODELKIT_API Representation loadModelFile(const std::filesystem::path& path);

// Writes the model as text that loadModel reads back into an equal model: every
// double comes back bit for bit, whatever the process locale. Throws
// ModelFileError (source "model") when the model cannot be written: a value
// loading would refuse, an empty or repeated id, a node in two elements, or a
// link or flag naming a node that is in no element. Allocates the document
// and the text.
MODELKIT_API std::string saveModel(const Representation& model);
// Writes through a temporary file in the same folder that replaces path only
// once it is complete.
MODELKIT_API void saveModelFile(const std::filesystem::path& path, const Representation& model);

} // namespace InstrumentKit
