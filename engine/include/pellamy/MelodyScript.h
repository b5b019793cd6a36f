// The one reader of melody scripts (.snc): the renderer writes what it reads,
// the voices turn it into key events. Outside a definition block, lines are
// tested in this order:
//   "!begin"          opens a definition block, closed by a line starting "!end"
//   empty line        skipped ("\n" or "\r\n")
//   "--..."           comment
//   "!clear"          clears
//   "!wait SECONDS"   advances
//   ALIAS FLAG DUR    a play line (see playLengthOf)
// Lines are read in pieces of at most 1023 bytes; every piece counts as a
// line. A UTF-8 byte-order mark before the first line is skipped. Numbers
// are written with '.' decimals whatever the locale.
#pragma once

#include <pellamy/Export.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace pellamy {

struct MelodyScriptLine {
    enum class Kind { definitionBlock, clear, wait, play };
    Kind kind = Kind::play;
    std::uint32_t lineNumber = 0; // of the script, the first line 1
    // A wait's seconds (empty unless a finite number >= 0); a play line's
    // duration (empty unless it has three fields, the third a number).
    std::optional<double> number;
    std::string alias; // a play line's first field
    std::string flag;  // its second, never empty
};

// Reads statement after statement from an open script. Any thread; one
// reader is never shared.
class PELLAMY_API MelodyScriptReader {
public:
    // Reads `script` (not owned, left open) from where it stands.
    explicit MelodyScriptReader(std::FILE* script) : script_(script) {}

    // The next statement; false at the end of the script or when reading
    // fails (std::ferror then says so and errno why). The lines of a
    // definition block are passed over after its "!begin" is returned.
    // Allocates only for the alias and flag.
    bool next(MelodyScriptLine& line);
    // Lines (pieces) read so far.
    std::uint32_t lineNumber() const { return lineNumber_; }

private:
    std::FILE* script_;
    std::uint32_t lineNumber_ = 0;
    bool inBlock_ = false;
};

// What a play line plays: flag 'a' plays DUR seconds, -1 the whole sound;
// 'r' the portion DUR (0..1) of the sound; any other flag nothing. Only the
// flag's first character counts.
enum class PlayLength { whole, seconds, portion, nothing, faulty, portionOutOfRange };
PELLAMY_API PlayLength playLengthOf(std::string_view flag, double duration);

// "Incorrect syntax at line:N, need to be : alias flag duration".
PELLAMY_API std::string scriptSyntaxErrorText(std::uint32_t lineNumber);
inline constexpr const char* kPortionOutOfRangeText = "Incorrect portion of file, must be between 0 and 1";

} // namespace pellamy
