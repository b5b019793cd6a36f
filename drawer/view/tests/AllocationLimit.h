// Makes memory run out on demand in a test: inside a LargeAllocationsFail
// scope, operator new refuses (throws std::bad_alloc for) every request of
// at least the given size. Under a sanitizer, which defines operator new
// itself (KIVORA_SANITIZER_OWNS_NEW), nothing fails: check
// LargeAllocationsFail::available() and skip.
#pragma once

#include <cstddef>

namespace muntero::test {

class LargeAllocationsFail {
public:
    explicit LargeAllocationsFail(std::size_t fromBytes);
    ~LargeAllocationsFail();
    LargeAllocationsFail(const LargeAllocationsFail&) = delete;
    LargeAllocationsFail& operator=(const LargeAllocationsFail&) = delete;

    static bool available();
    // Requests refused so far, in every scope.
    static int refusals();
};

} // namespace muntero::test
