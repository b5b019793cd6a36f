// Best effort: the threads that compute live sound ask for a real-time
// scheduling class, as audio programs do, so a busy machine does not make
// their blocks late. Where the system refuses (no privilege) they run as
// before.
#pragma once

#include <pthread.h>
#include <sched.h>

namespace kivora::voices::detail {

// Below the usual priority of audio drivers' own threads.
inline constexpr int kRenderPriority = 10;

// The calling thread. True when the system granted it.
inline bool tryRealtimePriority() noexcept {
    sched_param parameters{};
    parameters.sched_priority = kRenderPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

} // namespace kivora::voices::detail
