// The library's allocation failure: a std::bad_alloc whose text is "out of memory".
#pragma once

namespace ostrel::detail {

[[noreturn]] void throwOutOfMemory();

} // namespace ostrel::detail
