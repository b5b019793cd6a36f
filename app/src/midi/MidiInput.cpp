#include "midi/MidiInput.h"

#include <cctype>

namespace kivora {

std::optional<MidiNoteEvent> decodeNoteMessage(const unsigned char* bytes, std::size_t size) {
    if (bytes == nullptr || size < 3)
        return std::nullopt;
    const unsigned status = bytes[0] & 0xF0u;
    if ((status != 0x80u && status != 0x90u) || (bytes[1] & 0x80u) != 0 || (bytes[2] & 0x80u) != 0)
        return std::nullopt;
    MidiNoteEvent event;
    event.channel = static_cast<std::uint8_t>(bytes[0] & 0x0Fu);
    event.key = bytes[1];
    event.velocity = bytes[2];
    event.on = status == 0x90u && bytes[2] > 0;
    return event;
}

std::string portNameWithoutAddress(const std::string& name) {
    // " <digits>:<digits>" at the end.
    std::size_t end = name.size();
    auto skipDigits = [&](std::size_t at) {
        while (at > 0 && std::isdigit(static_cast<unsigned char>(name[at - 1])) != 0)
            --at;
        return at;
    };
    const std::size_t portStart = skipDigits(end);
    if (portStart == end || portStart == 0 || name[portStart - 1] != ':')
        return name;
    const std::size_t clientStart = skipDigits(portStart - 1);
    if (clientStart == portStart - 1 || clientStart == 0 || name[clientStart - 1] != ' ')
        return name;
    end = clientStart - 1;
    return name.substr(0, end);
}

bool MidiEventQueue::push(const MidiNoteEvent& event) {
    if (events_.tryPush(event))
        return true;
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

std::optional<MidiNoteEvent> MidiEventQueue::pop() {
    return events_.tryPop();
}

} // namespace kivora
