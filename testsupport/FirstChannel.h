// The first channel of a 16-bit WAV file, for tests that measure what an
// outside program (FluidSynth, the tool itself) wrote. Tests using it link
// the engine's core.
#pragma once

#include <pellamy/WavFile.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kivora::testing {

inline std::vector<double> firstChannelOf(const std::string& path) {
    std::unique_ptr<pellamy::WavFile> wav;
    EXPECT_EQ(pellamy::openWavForRead(path, wav), pellamy::kWavOk) << path;
    if (!wav)
        return {};
    const unsigned channels = wav->format()->nChannels;
    std::vector<std::int16_t> values(wav->size() / 2);
    std::uint32_t delivered = 0;
    wav->read(reinterpret_cast<std::uint8_t*>(values.data()), wav->size(), &delivered);
    std::vector<double> first;
    for (std::size_t i = 0; i + channels <= delivered / 2; i += channels)
        first.push_back(values[i]);
    return first;
}

} // namespace kivora::testing
