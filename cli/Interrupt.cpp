#include "Interrupt.h"

#include "CommandLine.h"

#include <pellamy/InstrumentModel.h>

#include <csignal>
#include <sys/stat.h>

namespace kivora::cli {

namespace {

// What a signal handler may touch: lock-free atomics only.
std::atomic<int> receivedSignal{0};
std::atomic<std::atomic<int>*> extraStopFlag{nullptr};
std::atomic<int> extraStopValue{1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<std::atomic<int>*>::is_always_lock_free);

extern "C" void noteInterrupt(int signalNumber) {
    receivedSignal.store(signalNumber);
    if (std::atomic<int>* flag = extraStopFlag.load())
        flag->store(extraStopValue.load());
}

constexpr int kSignals[] = {SIGINT, SIGTERM};
struct sigaction previousActions[2];

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

} // namespace

InterruptScope::InterruptScope(std::atomic<int>* alsoStop, int stopValue) {
    receivedSignal.store(0);
    extraStopValue.store(stopValue);
    extraStopFlag.store(alsoStop);
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        ::sigaction(kSignals[i], &action, &previousActions[i]);
}

InterruptScope::~InterruptScope() {
    for (int i = 0; i < 2; ++i)
        ::sigaction(kSignals[i], &previousActions[i], nullptr);
    extraStopFlag.store(nullptr);
}

bool InterruptScope::interrupted() const {
    return receivedSignal.load() != 0;
}

int InterruptScope::exitStatus() const {
    return 128 + receivedSignal.load();
}

std::function<bool()> InterruptScope::stopCheck() const {
    return [] { return receivedSignal.load() != 0; };
}

void refuseOverwritingInputs(const std::vector<std::string>& outputs, const std::vector<NamedInput>& inputs) {
    for (const std::string& output : outputs)
        for (const NamedInput& input : inputs)
            if (sameFile(output, input.path))
                throw CommandFailure("Can't write " + output + ": it is " + input.what +
                                     ", which would be lost (choose another output)");
}

std::vector<NamedInput> inputsOfRendering(const std::string& scriptPath,
                                          const std::optional<std::string>& instrumentPath) {
    std::vector<NamedInput> inputs = {{scriptPath, "the melody script"}};
    if (instrumentPath)
        inputs.push_back({*instrumentPath, "the instrument file"});
    // Without an instrument file the script is read as one.
    try {
        for (const std::string& sound :
             pellamy::InstrumentModel::soundFilesOf(instrumentPath.value_or(scriptPath)))
            inputs.push_back({sound, "a sound file of the instrument"});
    } catch (const std::string&) {
        // Unreadable: the rendering reports it.
    }
    return inputs;
}

} // namespace kivora::cli
