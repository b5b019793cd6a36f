// Single notes of real sampled instruments: the FluidR3 General MIDI bank
// (Debian's fluid-soundfont-gm) played by FluidSynth from a MIDI file that
// python3-mido writes (render_real_notes.py beside this file). Rendered once
// per test program into a temporary folder, removed at exit.
#pragma once

#include <pellamy/WavFile.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kivora::testing {

inline constexpr const char* kFluidR3Bank = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
inline constexpr unsigned kRealNoteRateHz = 44100;

struct RealNote {
    std::string instrument;           // "piano", "oboe", ... or "drums"
    int key = 0;                      // the MIDI key played (for drums: the kit's key)
    std::vector<std::int16_t> values; // the left channel
};

class RealNoteSet {
public:
    // Empty when FluidSynth, python3-mido or the bank is missing; then
    // missing() says which.
    static const RealNoteSet& get() {
        static const RealNoteSet set;
        return set;
    }
    const std::vector<RealNote>& notes() const { return notes_; }
    const std::string& missing() const { return missing_; }
    std::vector<const RealNote*> of(const std::string& instrument) const {
        std::vector<const RealNote*> chosen;
        for (const RealNote& note : notes_)
            if (note.instrument == instrument)
                chosen.push_back(&note);
        return chosen;
    }

private:
    RealNoteSet() {
        namespace fs = std::filesystem;
        if (!fs::exists(kFluidR3Bank)) {
            missing_ = std::string("the FluidR3 bank ") + kFluidR3Bank + " (fluid-soundfont-gm)";
            return;
        }
        if (std::system("command -v fluidsynth > /dev/null 2>&1") != 0 ||
            std::system("/usr/bin/python3 -c 'import mido' > /dev/null 2>&1") != 0) {
            missing_ = "fluidsynth or python3-mido";
            return;
        }
        const fs::path folder =
            fs::temp_directory_path() / ("kivora-real-notes-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        const std::string command = "/usr/bin/python3 '" KIVORA_SOURCE_DIR
                                    "/exchange/tests/render_real_notes.py' '" +
                                    std::string(kFluidR3Bank) + "' '" + folder.string() + "'";
        if (std::system(command.c_str()) == 0)
            load(folder);
        else
            missing_ = "a FluidSynth rendering (render_real_notes.py failed)";
        std::error_code error;
        fs::remove_all(folder, error);
    }

    void load(const std::filesystem::path& folder) {
        std::unique_ptr<pellamy::WavFile> wav;
        if (pellamy::openWavForRead((folder / "notes.wav").string(), wav) != pellamy::kWavOk) {
            missing_ = "FluidSynth's notes.wav";
            return;
        }
        const unsigned channels = wav->format()->nChannels;
        std::vector<std::int16_t> all(wav->size() / 2);
        std::uint32_t delivered = 0;
        wav->read(reinterpret_cast<std::uint8_t*>(all.data()), wav->size(), &delivered);
        const std::size_t frames = delivered / 2 / channels;
        std::ifstream listing(folder / "notes.txt");
        RealNote note;
        std::size_t first = 0;
        std::size_t count = 0;
        while (listing >> note.instrument >> note.key >> first >> count) {
            note.values.clear();
            for (std::size_t frame = first; frame < first + count && frame < frames; ++frame)
                note.values.push_back(all[frame * channels]);
            notes_.push_back(note);
        }
    }

    std::vector<RealNote> notes_;
    std::string missing_;
};

} // namespace kivora::testing
