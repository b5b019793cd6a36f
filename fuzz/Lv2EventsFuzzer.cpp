// Fuzzed bytes as the events a host sends the LV2 instrument in one block:
// MIDI messages and patch objects of any shape. Its output stays finite and
// within the runaway limit. The worker never runs here (a fuzzed path could
// name a device that blocks), so full queues are met too.
#include "PluginHost.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <memory>
#include <vector>

namespace {
kivora::test::PluginHost* host = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("LV2_PATH", KIVORA_LV2_PATH, 1);
    host = new kivora::test::PluginHost(48000);
    return 0;
}

// Each event: frame (one byte), kind (one byte), length (one byte), body.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint32_t kBlockFrames = 256;
    const LV2_URID types[] = {host->map(LV2_MIDI__MidiEvent), host->map(LV2_ATOM__Object)};
    const LV2_URID objectTypes[] = {host->map(LV2_PATCH__Set), host->map(LV2_PATCH__Get)};
    for (std::size_t at = 0; at + 3 <= size;) {
        const std::uint64_t frame = host->position() + data[at];
        const std::uint8_t kind = data[at + 1];
        const std::size_t length = std::min<std::size_t>(data[at + 2], size - at - 3);
        std::vector<std::uint8_t> body(data + at + 3, data + at + 3 + length);
        if (kind & 1) {
            // An object: its type among the patch messages, the rest as fuzzed.
            body.resize(std::max<std::size_t>(body.size(), sizeof(LV2_Atom_Object_Body)));
            const LV2_URID otype = objectTypes[(kind >> 1) & 1];
            std::memcpy(body.data() + 4, &otype, sizeof otype);
        }
        host->event(frame, types[kind & 1], std::move(body));
        at += 3 + length;
    }
    host->prepareBlock(kBlockFrames);
    host->runBlock(kBlockFrames);
    const float* out = host->finishBlock();
    for (std::uint32_t f = 0; f < kBlockFrames; ++f)
        if (!(std::fabs(out[f]) <= 1000.0f * 16.0f))
            std::abort();
    return 0;
}
