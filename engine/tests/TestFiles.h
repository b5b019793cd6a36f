// Helpers for tests that work with files: temporary folders, hand-built WAV
// images and outside tools.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace testfiles {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "kivora-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& relative) const { return path_ / relative; }

private:
    fs::path path_;
};

// Runs the test body in another current directory and goes back afterwards.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path& folder) : previous_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~CurrentDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
inline void putId(Bytes& out, const char* id) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(id[i]));
}

// One chunk; `declaredSize` replaces the true size when given.
inline Bytes chunk(const char* id, const Bytes& contents, std::int64_t declaredSize = -1) {
    Bytes out;
    putId(out, id);
    put32(out, declaredSize < 0 ? static_cast<std::uint32_t>(contents.size())
                                : static_cast<std::uint32_t>(declaredSize));
    out.insert(out.end(), contents.begin(), contents.end());
    if (contents.size() & 1u)
        out.push_back(0);
    return out;
}

// A RIFF WAVE image of the given chunks.
inline Bytes riffWave(const std::vector<Bytes>& chunks) {
    Bytes body;
    putId(body, "WAVE");
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    return chunk("RIFF", body);
}

// A format record: tag, channels, rate, bits; `extra` follows a cbSize field
// when the tag is not PCM.
inline Bytes formatRecord(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                          const Bytes& extra = {}, bool withExtraSize = false) {
    Bytes out;
    const std::uint16_t blockAlign = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
    put16(out, tag);
    put16(out, channels);
    put32(out, rate);
    put32(out, rate * blockAlign);
    put16(out, blockAlign);
    put16(out, bits);
    if (withExtraSize || !extra.empty()) {
        put16(out, static_cast<std::uint16_t>(extra.size()));
        out.insert(out.end(), extra.begin(), extra.end());
    }
    return out;
}

inline Bytes pcm16(const std::vector<std::int16_t>& values) {
    Bytes out;
    for (std::int16_t v : values)
        put16(out, static_cast<std::uint16_t>(v));
    return out;
}

// A plain 16-bit PCM file.
inline Bytes wav16(const std::vector<std::int16_t>& values, std::uint32_t rate = 8000,
                   std::uint16_t channels = 1) {
    return riffWave({chunk("fmt ", formatRecord(1, channels, rate, 16)), chunk("data", pcm16(values))});
}

inline void writeBytes(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool toolAvailable(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Standard output of a shell command; `status` gets its exit status.
inline std::string runCommand(const std::string& command, int* status = nullptr) {
    std::string output;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    const int result = ::pclose(pipe);
    if (status != nullptr)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

inline std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

} // namespace testfiles
