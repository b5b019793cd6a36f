// The instrument definition reader on arbitrary text. Sound files are served
// from memory: every name ending in ".wav" opens one small WAV image.
#include "InstrumentFileFormat.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/WavFile.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// 16-bit mono, 8000 Hz, four values.
// clang-format off
constexpr std::uint8_t kSoundImage[] = {
    'R', 'I', 'F', 'F', 44, 0, 0, 0, 'W', 'A', 'V', 'E',
    'f', 'm', 't', ' ', 16, 0, 0, 0,
    1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0,
    'd', 'a', 't', 'a', 8, 0, 0, 0,
    1, 0, 2, 0, 3, 0, 4, 0};
// clang-format on

std::unique_ptr<pellamy::WavFile> openFromMemory(const std::string& name) {
    if (!name.ends_with(".wav"))
        return nullptr;
    auto file = std::make_unique<pellamy::WavFile>();
    if (file->openMemory(kSoundImage) != pellamy::kWavOk || file->size() == 0)
        return nullptr;
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    pellamy::InstrumentModel model;
    try {
        pellamy::detail::readDefinitionText(model, text, openFromMemory);
    } catch (const char*) {
    } catch (const std::string&) {
    }
    // What was read must be a consistent instrument.
    if (model.soundCount() > pellamy::InstrumentModel::kMaxSounds)
        __builtin_trap();
    for (std::size_t i = 0; i < model.soundCount(); ++i) {
        const std::string& alias = model.aliasAt(i);
        if (model.isLoaded() && model.soundFor(alias) == nullptr)
            __builtin_trap();
        // Saved flat, an alias read from a line makes a line that reads back,
        // unless blanks before it hid a comment or command at its start.
        const bool hidden =
            alias.starts_with("--") || alias.starts_with("!begin") || alias.starts_with("!end");
        if (!hidden && alias.size() + 4 <= pellamy::detail::kMaxFieldChars &&
            !pellamy::detail::lineReadsBack(alias, alias + ".wav", false))
            __builtin_trap();
    }
    for (unsigned code = 0; code < pellamy::InstrumentModel::kKeyCount; ++code) {
        const std::string alias = model.aliasForKey(code);
        if (!alias.empty() && (!model.contains(alias) || alias.size() > pellamy::detail::kMaxFieldChars))
            __builtin_trap();
    }
    return 0;
}
