// Tests of our text formats switch the process to a locale that writes
// decimals with a comma, as a Qt program may have done.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kivora::testing {

// Switches LC_NUMERIC to a locale whose decimal separator is a comma: an
// installed one, or one built with localedef into `folder`. False when
// neither is possible (the caller skips its test).
inline bool useDecimalCommaLocale(const std::filesystem::path& folder) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
        if (std::setlocale(LC_NUMERIC, name) != nullptr)
            return true;
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        return false;
    ::setenv("LOCPATH", folder.c_str(), 1);
    const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    ::unsetenv("LOCPATH");
    return switched;
}

} // namespace kivora::testing
