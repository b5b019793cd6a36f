#include <kivora/voices/ScriptSong.h>
#include <pellamy/ErrorText.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>

namespace kivora::voices {

namespace {

std::uint64_t framesOf(double seconds, int rate) {
    return static_cast<std::uint64_t>(std::trunc(seconds * rate));
}

// The whole word as a finite number, in the C locale's notation.
std::optional<double> numberOf(const std::string& word) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t begin = line.find_first_not_of(" \t", at);
        if (begin == std::string::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t", begin), line.size());
        words.push_back(line.substr(begin, end - begin));
        at = end;
    }
    return words;
}

constexpr const char* kCantOpen = "Can't open snc file!";

} // namespace

Song readScriptSong(const std::string& path, const VoiceModel& model) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw std::runtime_error(pellamy::fileFailureText(kCantOpen, path, pellamy::systemReason(EISDIR)));
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(
            pellamy::fileFailureText(kCantOpen, path, pellamy::systemReason(errno != 0 ? errno : EIO)));
    Song song;
    std::uint64_t now = 0;
    std::string line;
    int lineNumber = 0;
    bool inDefinition = false;
    const auto rate = model.sampleRate();
    while (std::getline(in, line)) {
        ++lineNumber;
        if (lineNumber == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (inDefinition) {
            inDefinition = line.rfind("!end", 0) != 0;
            continue;
        }
        if (line.rfind("!begin", 0) == 0) {
            inDefinition = true;
            continue;
        }
        if (line.empty() || line.rfind("--", 0) == 0)
            continue;
        if (line.rfind("!clear", 0) == 0) {
            song.events.push_back({now, KeyEvent::Kind::releaseAll, 0, 0});
            continue;
        }
        const auto syntaxError = [&] {
            return std::runtime_error("Incorrect syntax at line:" + std::to_string(lineNumber) +
                                      ", need to be : alias flag duration");
        };
        const std::vector<std::string> words = wordsOf(line);
        if (line.rfind("!wait ", 0) == 0) {
            const std::optional<double> seconds = words.size() < 2 ? std::nullopt : numberOf(words[1]);
            if (!seconds)
                throw syntaxError();
            now += framesOf(std::max(0.0, *seconds), rate);
            continue;
        }
        if (words.size() < 3)
            throw syntaxError();
        const int key = keyOfNoteName(words[0]);
        if (key < 0)
            throw std::runtime_error("Sorry, unknown alias " + pellamy::printableText(words[0]));
        const std::optional<double> amount = numberOf(words[2]);
        if (!amount)
            throw syntaxError();
        std::uint64_t held = 0;
        if (words[1] == "a") {
            held = *amount < 0.0 ? static_cast<std::uint64_t>(model.noteLengthInFrames())
                                 : framesOf(*amount, rate);
        } else if (words[1] == "r") {
            if (*amount < 0.0 || *amount > 1.0)
                throw std::runtime_error("Incorrect portion of file, must be between 0 and 1");
            held = framesOf(*amount * model.noteLengthInFrames() / rate, rate);
        } else {
            continue; // any other flag plays nothing, as in the renderer
        }
        song.events.push_back({now, KeyEvent::Kind::noteOn, key, 127});
        song.events.push_back({now + std::max<std::uint64_t>(1, held), KeyEvent::Kind::noteOff, key, 0});
    }
    std::stable_sort(song.events.begin(), song.events.end(),
                     [](const KeyEvent& a, const KeyEvent& b) { return a.frame < b.frame; });
    song.lengthInFrames = now;
    return song;
}

} // namespace kivora::voices
