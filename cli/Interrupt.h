// Ctrl-C and SIGTERM during work that writes files.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kivora::cli {

// While one lives, SIGINT (Ctrl-C) and SIGTERM do not end the process at once:
// they are noted, the save or rendering in progress sees them through
// stopCheck(), stops and removes its temporary files, and the command returns
// exitStatus(). Outside such a scope the signals end the process as usual.
class InterruptScope {
public:
    // `alsoStop`, when given, is set to `stopValue` by the signal too (a note
    // generator's stop flag).
    explicit InterruptScope(std::atomic<int>* alsoStop = nullptr, int stopValue = 1);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    bool interrupted() const;
    // 128 + the number of the signal received, as a shell reports it.
    int exitStatus() const;
    std::function<bool()> stopCheck() const;
};

// Throws CommandFailure when one of `outputs` is the same file as one of the
// inputs, each given as a path and what it is ("the melody script").
struct NamedInput {
    std::string path;
    std::string what;
};
void refuseOverwritingInputs(const std::vector<std::string>& outputs, const std::vector<NamedInput>& inputs);
// What a rendering reads: the script, the instrument file (or the script as
// one) and the sound files it names.
std::vector<NamedInput> inputsOfRendering(const std::string& scriptPath,
                                          const std::optional<std::string>& instrumentPath);

} // namespace kivora::cli
