#include <kivora/voices/ScriptSong.h>
#include <pellamy/ErrorText.h>
#include <pellamy/MelodyScript.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace kivora::voices {

namespace {

std::uint64_t framesOf(double seconds, int rate) {
    return static_cast<std::uint64_t>(std::trunc(seconds * rate));
}

constexpr const char* kCantOpen = "Can't open snc file!";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

Song readScriptSong(const std::string& path, const VoiceModel& model) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw std::runtime_error(pellamy::fileFailureText(kCantOpen, path, pellamy::systemReason(EISDIR)));
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw std::runtime_error(
            pellamy::fileFailureText(kCantOpen, path, pellamy::systemReason(errno != 0 ? errno : EIO)));
    Song song;
    std::uint64_t now = 0;
    const auto rate = model.sampleRate();
    pellamy::MelodyScriptReader reader(file.get());
    pellamy::MelodyScriptLine line;
    while (reader.next(line)) {
        const auto syntaxError = [&] {
            return std::runtime_error(pellamy::scriptSyntaxErrorText(line.lineNumber));
        };
        switch (line.kind) {
        case pellamy::MelodyScriptLine::Kind::definitionBlock:
            continue; // the model plays, not the script's instrument
        case pellamy::MelodyScriptLine::Kind::clear:
            song.events.push_back({now, KeyEvent::Kind::releaseAll, 0, 0});
            continue;
        case pellamy::MelodyScriptLine::Kind::wait:
            if (!line.number)
                throw syntaxError();
            now += framesOf(*line.number, rate);
            continue;
        case pellamy::MelodyScriptLine::Kind::play:
            break;
        }
        if (!line.number)
            throw syntaxError();
        const int key = keyOfNoteName(line.alias);
        if (key < 0)
            throw std::runtime_error("Sorry, unknown alias " + pellamy::printableText(line.alias));
        std::uint64_t held = 0;
        switch (pellamy::playLengthOf(line.flag, *line.number)) {
        case pellamy::PlayLength::faulty:
            throw syntaxError();
        case pellamy::PlayLength::portionOutOfRange:
            throw std::runtime_error(pellamy::kPortionOutOfRangeText);
        case pellamy::PlayLength::nothing:
            continue;
        case pellamy::PlayLength::whole:
            held = static_cast<std::uint64_t>(model.noteLengthInFrames());
            break;
        case pellamy::PlayLength::seconds:
            held = framesOf(*line.number, rate);
            break;
        case pellamy::PlayLength::portion:
            held = framesOf(*line.number * model.noteLengthInFrames() / rate, rate);
            break;
        }
        song.events.push_back({now, KeyEvent::Kind::noteOn, key, 127});
        song.events.push_back({now + std::max<std::uint64_t>(1, held), KeyEvent::Kind::noteOff, key, 0});
    }
    if (std::ferror(file.get()) != 0)
        throw std::runtime_error(
            pellamy::fileFailureText(kCantOpen, path, pellamy::systemReason(errno != 0 ? errno : EIO)));
    std::stable_sort(song.events.begin(), song.events.end(),
                     [](const KeyEvent& a, const KeyEvent& b) { return a.frame < b.frame; });
    song.lengthInFrames = now;
    return song;
}

} // namespace kivora::voices
