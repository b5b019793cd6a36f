// The WAV reader on arbitrary bytes: opening, reading the data chunk and
// converting its samples must never crash, hang or allocate beyond the input.
#include "InstrumentFileFormat.h"

#include <pellamy/WavFile.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pellamy::WavFile file;
    if (file.openMemory({data, size}) != pellamy::kWavOk)
        return 0;
    if (file.size() > size)
        __builtin_trap(); // a data size beyond the bytes present
    if (const auto sound = pellamy::detail::decodeSoundData(file); sound && sound->values.size() > size)
        __builtin_trap();
    return 0;
}
