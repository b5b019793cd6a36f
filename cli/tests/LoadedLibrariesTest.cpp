// Each command loads what it uses: the commands that neither play nor decode
// load no sound-device library and no codec, directly or through a library
// they link; playing loads the sound device's library on demand. The dynamic
// loader itself reports every library it maps (LD_DEBUG=files), those a
// module opens while the command runs included.
#include "CliTestSupport.h"

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace kivora::cli::testing {
namespace {

// The libraries the loader mapped while the tool ran `arguments`.
std::set<std::string> librariesLoadedBy(const std::string& arguments, const fs::path& scratch,
                                        const std::string& environment = {}) {
    const fs::path log = scratch / "loader";
    const CliRun run =
        runCli(arguments, scratch, environment + "LD_DEBUG=files LD_DEBUG_OUTPUT='" + log.string() + "' ");
    EXPECT_EQ(run.status, 0) << arguments << ": " << run.err;
    std::set<std::string> libraries;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch)) {
        if (entry.path().filename().string().rfind("loader.", 0) != 0)
            continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            const std::size_t start = line.find("file=");
            const std::size_t end = line.find(" [", start);
            if (start != std::string::npos && end != std::string::npos)
                libraries.insert(fs::path(line.substr(start + 5, end - start - 5)).filename().string());
        }
        fs::remove(entry.path());
    }
    return libraries;
}

std::string namesOf(const std::set<std::string>& libraries) {
    std::ostringstream names;
    for (const std::string& name : libraries)
        names << ' ' << name;
    return names.str();
}

class LoadedLibraries : public CliFixture {};

TEST_F(LoadedLibraries, CommandsThatDoNotPlayLoadNoSoundDeviceAndNoCodec) {
    const std::string examples = std::string("'") + KIVORA_SOURCE_DIR + "/examples/";
    const std::string note = examples + "instruments/duo/1/low.wav'";
    const std::string out = "'" + scratch_.string() + "/";
    const std::string commands[] = {
        "--version",
        "info " + duo_,
        "render " + examples + "melodies/duo-march.snc' -o " + out + "march.wav'",
        "generate -o " + out + "note.ins' --octaves 0 --duration 100",
        "pitch " + note,
        "pitch " + note + " --fundamental",
    };
    const char* forbidden[] = {"libSDL", "libaubio", "libav", "libsw", "libasound", "libpulse", "libQt"};
    for (const std::string& command : commands) {
        const std::set<std::string> libraries = librariesLoadedBy(command, scratch_);
        EXPECT_FALSE(libraries.empty()) << command << ": the loader reported nothing";
        for (const std::string& library : libraries)
            for (const char* prefix : forbidden)
                EXPECT_NE(library.rfind(prefix, 0), 0u) << command << " loads " << library;
        std::printf("%-40.40s %zu libraries\n", command.c_str(), libraries.size());
    }
}

// The same report sees a library opened while the command runs: play opens
// the sound device through its module.
TEST_F(LoadedLibraries, PlayingLoadsTheSoundDeviceOnDemand) {
    const std::string note = std::string("'") + KIVORA_SOURCE_DIR + "/examples/instruments/duo/1/low.wav'";
    const std::set<std::string> libraries =
        librariesLoadedBy("play " + note, scratch_, "SDL_AUDIODRIVER=dummy ");
    bool sdl = false;
    for (const std::string& library : libraries)
        sdl = sdl || library.rfind("libSDL2", 0) == 0;
    EXPECT_TRUE(sdl) << namesOf(libraries);
    EXPECT_TRUE(libraries.count("kivora-cli-play.so")) << namesOf(libraries);
}

} // namespace
} // namespace kivora::cli::testing
