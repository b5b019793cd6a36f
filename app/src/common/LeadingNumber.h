// Reading the number a text starts with, as the settings dialog's edit boxes
// need it: leading blanks skipped, an optional sign, the longest number, and
// whatever follows ignored. Independent of the process locale.
#pragma once

#include <optional>
#include <string_view>

namespace kivora {

// The decimal number text starts with ("12abc" gives 12, " -0.5e1" gives -5);
// nothing when text does not start with one.
std::optional<double> leadingDouble(std::string_view text);
// The decimal integer text starts with; nothing when it does not start with
// one or the number does not fit an int.
std::optional<int> leadingInt(std::string_view text);

} // namespace kivora
