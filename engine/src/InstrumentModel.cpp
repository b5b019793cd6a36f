#include <pellamy/InstrumentModel.h>

namespace pellamy {

InstrumentModel::InstrumentModel() = default;

void InstrumentModel::clear() {
    sounds_.clear();
    for (std::string& binding : bindings_)
        binding.clear();
    for (std::size_t i = 0; i < soundCount_; ++i)
        order_[i].clear();
    soundCount_ = 0;
    loaded_ = false;
    comments_.clear();
}

void InstrumentModel::addSound(const std::string& alias, Sound sound) {
    if (soundCount_ >= kMaxSounds)
        throw "Too many sounds in instrument";
    loaded_ = true;
    if (sounds_.count(alias) != 0)
        throw "Key redefenition found";
    auto [where, inserted] = sounds_.emplace(alias, std::move(sound));
    if (!inserted)
        throw "Some bug in hash_map insertion!";
    order_[soundCount_++] = alias;
}

Sound* InstrumentModel::soundFor(const std::string& alias) {
    if (!loaded_)
        return nullptr;
    auto it = sounds_.find(alias);
    return it == sounds_.end() ? nullptr : &it->second;
}

const Sound* InstrumentModel::soundFor(const std::string& alias) const {
    return const_cast<InstrumentModel*>(this)->soundFor(alias);
}

std::string InstrumentModel::aliasForKey(unsigned code) const {
    return loaded_ ? bindings_[code & 0xFF] : std::string();
}

std::uint8_t InstrumentModel::keyForAlias(const std::string& alias) const {
    if (!loaded_ || sounds_.count(alias) == 0)
        return 0;
    // Code 255 is never examined: lookups cover 255 slots.
    for (unsigned code = 0; code < 255; ++code)
        if (bindings_[code] == alias)
            return static_cast<std::uint8_t>(code);
    return 0;
}

void InstrumentModel::bindKey(std::uint8_t code, const std::string& alias) {
    bindings_[code] = alias;
}

} // namespace pellamy
