// How fast the tool starts: a spawned kivora-cli that prints its version, and
// one that lists the bundled instrument (it loads the instrument's WAV files
// too). The goal for --version is under 10 ms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

void runTool(benchmark::State& state, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KIVORA_CLI);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t child = 0;
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("cannot start kivora-cli");
            break;
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("kivora-cli failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}

void BM_CliVersion(benchmark::State& state) {
    runTool(state, {"--version"});
}
BENCHMARK(BM_CliVersion)->Unit(benchmark::kMillisecond);

void BM_CliInfo(benchmark::State& state) {
    runTool(state, {"info", KIVORA_SOURCE_DIR "/examples/instruments/duo.ins"});
}
BENCHMARK(BM_CliInfo)->Unit(benchmark::kMillisecond);

} // namespace
