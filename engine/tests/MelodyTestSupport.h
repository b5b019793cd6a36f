// Shared helpers of the melody tests: a scratch folder, instruments built in
// memory, and reading back what a rendering wrote.
#pragma once

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundStreamDescription.h>
#include <pellamy/WavFile.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace melodytest {

struct ToneSpec {
    std::string alias;
    std::vector<std::int16_t> samples;
};

// An instrument of the given sounds, all at `rate`, one channel, 16 bits.
inline void buildInstrument(pellamy::InstrumentModel& model, const std::vector<ToneSpec>& tones,
                            std::uint32_t rate) {
    std::vector<pellamy::SoundStreamDescription> records(tones.size());
    for (std::size_t i = 0; i < tones.size(); ++i) {
        records[i].name = tones[i].alias;
        records[i].format = {1, 1, rate, rate * 2, 2, 16, 0};
        records[i].dataBytes = static_cast<std::uint32_t>(tones[i].samples.size() * 2);
        records[i].data = tones[i].samples.data();
    }
    model.loadFromDescriptions(static_cast<int>(records.size()), records.data());
}

inline std::vector<std::int16_t> constant(std::size_t n, std::int16_t value) {
    return std::vector<std::int16_t>(n, value);
}

// A fresh folder per test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kivora-melody-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name), std::ios::binary) << text;
        return file(name);
    }
    // Names in the folder, to see that nothing half-made was left behind.
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            result.push_back(entry.path().filename().string());
        std::sort(result.begin(), result.end());
        return result;
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct RenderedWav {
    pellamy::WAVEFORMATEX format;
    std::vector<std::int16_t> values;
};

// The data chunk of a written file, read back through the engine's reader.
inline RenderedWav readWav(const std::string& path) {
    pellamy::WavFile file;
    RenderedWav result{};
    EXPECT_EQ(file.open(path, nullptr, pellamy::WavFile::kRead), pellamy::kWavOk) << path;
    if (file.format() == nullptr)
        return result;
    result.format = *file.format();
    std::vector<std::uint8_t> bytes(file.size());
    std::uint32_t delivered = 0;
    if (!bytes.empty()) {
        EXPECT_EQ(file.read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &delivered),
                  pellamy::kWavOk);
    }
    for (std::size_t i = 0; i + 1 < delivered; i += 2)
        result.values.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return result;
}

// What a thrown engine failure says, whichever of its two kinds it was.
inline std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::string& text) {
        return text;
    } catch (const char* text) {
        return std::string("(char*) ") + text;
    }
    return "(nothing thrown)";
}

// Standard output of a shell command and its exit status.
inline std::pair<int, std::string> runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {-1, output};
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

inline bool haveCommand(const std::string& name) {
    return runCommand("command -v " + name + " >/dev/null 2>&1").first == 0;
}

} // namespace melodytest
