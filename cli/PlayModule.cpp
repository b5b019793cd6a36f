// play is the one command that opens the sound device. It lives in a module
// of its own, opened when it runs, so that every other command starts without
// loading SDL and what SDL loads.
#include "CommandLine.h"

#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace kivora::cli {

namespace {

using PlayEntry = int (*)(std::vector<std::string>*);

// Beside the tool in the build folder; where it is installed otherwise
// (KIVORA_CLI_PLAY_MODULE_INSTALLED is relative to the tool's folder).
std::vector<std::filesystem::path> moduleCandidates() {
    std::error_code error;
    const std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : tool.parent_path();
    return {folder / KIVORA_CLI_PLAY_MODULE, (folder / KIVORA_CLI_PLAY_MODULE_INSTALLED).lexically_normal()};
}

PlayEntry loadPlayEntry() {
    std::string lookedIn;
    for (const std::filesystem::path& candidate : moduleCandidates()) {
        std::error_code error;
        if (!std::filesystem::exists(candidate, error)) {
            lookedIn += (lookedIn.empty() ? "" : ", ") + candidate.string();
            continue;
        }
        // Loaded for the rest of the process: SDL's threads run from it.
        void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr)
            throw CommandFailure("kivora-cli cannot play: its sound module did not load: " +
                                 std::string(::dlerror()));
        if (void* entry = ::dlsym(module, "kivoraCliRunPlay"))
            return reinterpret_cast<PlayEntry>(entry);
        throw CommandFailure("kivora-cli cannot play: " + candidate.string() + " is not its sound module");
    }
    throw CommandFailure("kivora-cli cannot play: its sound module " + std::string(KIVORA_CLI_PLAY_MODULE) +
                         " is missing (looked for " + lookedIn + ")");
}

} // namespace

int runPlayThroughModule(std::vector<std::string> arguments) {
    return loadPlayEntry()(&arguments);
}

} // namespace kivora::cli
