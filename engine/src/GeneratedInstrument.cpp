#include "Messages.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundStreamDescription.h>

namespace pellamy {

void InstrumentModel::loadFromDescriptions(int count, const SoundStreamDescription* descriptions) {
    clear();
    for (int i = 0; i < count; ++i) {
        const SoundStreamDescription& record = descriptions[i];
        if (sounds_.count(record.name) != 0)
            throw messages::kDuplicateAlias;
        const std::size_t valueCount = record.dataBytes / 2;
        Sound sound =
            Sound::make({record.data, record.data == nullptr ? 0 : valueCount}, record.format.nSamplesPerSec,
                        static_cast<std::uint8_t>(record.format.nChannels),
                        static_cast<std::uint8_t>(record.format.wBitsPerSample), 1.0f);
        addSound(record.name, std::move(sound));
        if (static_cast<std::size_t>(i) < DefaultKeyOrder.size())
            bindKey(static_cast<std::uint8_t>(DefaultKeyOrder[static_cast<std::size_t>(i)]), record.name);
    }
    loaded_ = true;
}

} // namespace pellamy
