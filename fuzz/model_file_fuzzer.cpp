// Model files from untrusted hands: loading refuses bad input only through
// ModelFileError, and whatever loads saves and loads back to the same text.
#include <modelkit/ModelFile.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    InstrumentKit::Representation model;
    try {
        model = InstrumentKit::loadModel(text, "fuzz");
    } catch (const InstrumentKit::ModelFileError&) {
        return 0;
    }
    std::string saved = InstrumentKit::saveModel(model);
    if (InstrumentKit::saveModel(InstrumentKit::loadModel(saved, "saved")) != saved)
        std::abort();
    return 0;
}
