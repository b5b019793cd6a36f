// Watches a real-time path in a test: inside a RealtimeScope nothing may
// allocate, lock or call into the system. With the real-time sanitizer's
// runtime linked in (KIVORA_HAVE_RTSAN), any such call ends the program;
// without it, allocations made inside a scope are counted. Under a sanitizer,
// which defines operator new itself (KIVORA_SANITIZER_OWNS_NEW), nothing is
// watched. Link RealtimeScope.cpp into the test once.
#pragma once

#include <cstdint>

namespace kivora::test {

class RealtimeScope {
public:
    RealtimeScope();
    ~RealtimeScope();
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;
};

// Starts the real-time sanitizer's runtime where it is linked in (a no-op
// elsewhere, and after the first call); every RealtimeScope calls it.
void startRealtimeWatch();

// Allocations made inside scopes so far (always 0 where the runtime aborts
// instead, or where nothing is watched).
std::uint64_t allocationsInScope();

} // namespace kivora::test
