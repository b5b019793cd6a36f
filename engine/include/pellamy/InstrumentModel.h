// The engine's in-memory instrument: sounds under unique aliases, the key
// bindings for key codes 0-255 and the order in which sounds were defined.
#pragma once

#include <pellamy/Export.h>
#include <pellamy/Sound.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kivora::base {
class ReplacingFileSet;
} // namespace kivora::base

namespace pellamy {

struct SoundStreamDescription;

// Keys of the first 24 sounds when their definition asks for the default key:
// two octaves laid out like a piano, upper letter row with digits as black
// keys, then the lower letter row with the home row as black keys.
inline constexpr std::string_view DefaultKeyOrder = "Q2W3ER5T6Y7UZSXDCVGBHNJM";

// Failures are thrown as character strings (const char*) or std::string, as
// each operation says; callers of the engine catch both kinds. A failure
// about a file gives its fixed text, then the file and the reason
// (fileFailureText in ErrorText.h).
//
// Thread: interface thread only.
class PELLAMY_API InstrumentModel {
public:
    static constexpr std::size_t kMaxSounds = 256;
    static constexpr std::size_t kKeyCount = 256;

    InstrumentModel();

    // Removes every sound and binding; the model is no longer loaded.
    void clear();
    // Adds a deep copy under `alias`. Throws "Key redefenition found" for an
    // alias already present and "Too many sounds in instrument" past 256
    // sounds (both const char*; the model keeps its sounds). Binds no key.
    void addSound(const std::string& alias, Sound sound);

    // The stored sound, or nullptr when not loaded or unknown. Stays valid
    // until the model is cleared or destroyed.
    Sound* soundFor(const std::string& alias);
    const Sound* soundFor(const std::string& alias) const;
    // The binding of code & 0xFF while loaded, else "".
    std::string aliasForKey(unsigned code) const;
    // The lowest code 0..254 bound to alias; 0 when none, unknown or not loaded.
    std::uint8_t keyForAlias(const std::string& alias) const;
    void bindKey(std::uint8_t code, const std::string& alias);

    std::size_t soundCount() const { return soundCount_; }
    // Entry i of the definition order, for i below soundCount().
    const std::string& aliasAt(std::size_t i) const { return order_.at(i); }
    bool isLoaded() const { return loaded_; }
    void markLoaded() { loaded_ = true; }
    bool contains(const std::string& alias) const { return sounds_.count(alias) != 0; }

    // Visits every sound in the map's own order, which is not the definition
    // order but stays fixed while the instrument is unchanged.
    template <class Visitor>
    void forEachSound(Visitor&& visit) {
        for (auto& [alias, sound] : sounds_)
            visit(alias, sound);
    }
    template <class Visitor>
    void forEachSound(Visitor&& visit) const {
        for (const auto& [alias, sound] : sounds_)
            visit(alias, sound);
    }

    // Instrument definition files (.ins) with one WAV file per sound.
    void loadFromFile(const std::string& path);
    // All or nothing: every file is written under a temporary name and the
    // new files are put in place (the definition file last) only when all are
    // complete; a failure leaves the previous files as they were.
    void saveToFile(const std::string& path, bool withFolders) const;
    // The same, giving up (throwing "Saving stopped: nothing saved" as
    // std::string) when `stopRequested` returns true before the files are put
    // in place. It is asked between blocks of a few thousand values.
    void saveToFile(const std::string& path, bool withFolders,
                    const std::function<bool()>& stopRequested) const;
    // The same, with the files of `alongWith` (written and finished by the
    // caller, such as a script saved beside its instrument) put in place
    // before the instrument's: all of them or none. A file of either that
    // cannot be put in place fails the save as the instrument file does.
    void saveToFile(const std::string& path, bool withFolders, const std::function<bool()>& stopRequested,
                    kivora::base::ReplacingFileSet& alongWith) const;

    // The WAV files the sound lines of a definition file name, as loadFromFile
    // would look for them (the files need not exist). Throws "Can't open
    // instrument file PATH: REASON" (std::string) when the file cannot be read.
    static std::vector<std::string> soundFilesOf(const std::string& definitionPath);
    // The files saveToFile(path, withFolders) writes: the WAV files in
    // definition order, then the definition file.
    std::vector<std::string> filesSavedTo(const std::string& path, bool withFolders) const;

    // Comment lines saveToFile writes first, one physical line each (none by
    // default, and loading sets none), so a generated instrument says where
    // it came from. clear() empties them.
    const std::vector<std::string>& comments() const { return comments_; }
    void setComments(std::vector<std::string> lines) { comments_ = std::move(lines); }
    // The comment lines before a definition file's first sound line, without
    // their "--" and one blank. Throws as soundFilesOf.
    static std::vector<std::string> leadingCommentsOf(const std::string& definitionPath);

    // Replaces the contents with generated streams; the first 24 are bound in
    // DefaultKeyOrder.
    void loadFromDescriptions(int count, const SoundStreamDescription* descriptions);

private:
    std::array<std::string, kKeyCount> bindings_;
    bool loaded_ = false;
    std::unordered_map<std::string, Sound> sounds_;
    std::array<std::string, kMaxSounds> order_;
    std::size_t soundCount_ = 0;
    std::vector<std::string> comments_;
};

} // namespace pellamy
