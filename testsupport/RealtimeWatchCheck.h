// The check each real-time test makes that its scopes are watched at all: an
// allocation inside a RealtimeScope is caught (the runtime ends a death test's
// child, or the count grows). Include it in a test that links RealtimeScope.cpp.
#pragma once

#include "RealtimeScope.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

namespace kivora::test {

inline void expectAnAllocationInScopeIsCaught() {
#if KIVORA_HAVE_RTSAN
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RealtimeScope scope; // a scope alone is watched: no test can forget to start the watch

            std::vector<int> grown(100);
            std::abort(); // only reached when the allocation went unnoticed; wrong message
        },
        "Real-time violation");
#elif KIVORA_SANITIZER_OWNS_NEW
    GTEST_SKIP() << "the sanitizer's runtime owns operator new";
#else
    const std::uint64_t before = allocationsInScope();
    {
        RealtimeScope scope;
        auto* grown = new std::vector<int>(100);
        delete grown;
    }
    EXPECT_GT(allocationsInScope(), before);
#endif
}

} // namespace kivora::test
