// The one melody script reader, on inline scripts.
#include <pellamy/MelodyScript.h>

#include <cstdio>
#include <gtest/gtest.h>
#include <limits>
#include <string>

using namespace pellamy;
using Kind = MelodyScriptLine::Kind;

namespace {

// Every statement as "LINE:KIND[ NUMBER][ ALIAS FLAG]", one per line.
std::string statementsOf(std::string script) {
    std::FILE* file = ::fmemopen(script.data(), script.size(), "rb");
    EXPECT_NE(file, nullptr);
    MelodyScriptReader reader(file);
    MelodyScriptLine line;
    std::string shown;
    const char* names[] = {"begin", "clear", "wait", "play"};
    while (reader.next(line)) {
        shown += std::to_string(line.lineNumber) + ":" + names[static_cast<int>(line.kind)];
        if (line.number)
            shown += " " + std::to_string(*line.number);
        if (!line.alias.empty())
            shown += " " + line.alias + " " + line.flag;
        shown += "\n";
    }
    shown += "lines " + std::to_string(reader.lineNumber());
    std::fclose(file);
    return shown;
}

} // namespace

TEST(MelodyScriptReader, ReadsEveryKindOfLine) {
    const struct {
        std::string script;
        std::string statements;
    } table[] = {
        {"\xEF\xBB\xBF"
         "1C a 0.5\n!wait 0.25\r\n!clear\n",
         "1:play 0.500000 1C a\n2:wait 0.250000\n3:clear\nlines 3"},
        {"-- comment\n\n\r\n!begin\n1C a 1\n!end\nx r +1\n", "4:begin\n7:play 1.000000 x r\nlines 7"},
        // Faulty lines come without their number: the caller says why. "!wait"
        // without its blank is a play line.
        {"!wait -1\n!wait inf\n!wait\n1C a\n1C a 1,5\n",
         "1:wait\n2:wait\n3:play\n4:play\n5:play 1C a\nlines 5"},
        {std::string(1500, 'x') + "\n", "1:play\n2:play\nlines 2"}, // pieces of 1023 bytes
    };
    for (const auto& row : table)
        EXPECT_EQ(statementsOf(row.script), row.statements) << row.script.substr(0, 40);
}

TEST(MelodyScriptReader, PlayLengthFollowsTheFlagsFirstCharacter) {
    const struct {
        const char* flag;
        double duration;
        PlayLength length;
    } table[] = {{"a", -1, PlayLength::whole},
                 {"a", 0.5, PlayLength::seconds},
                 {"abc", 2, PlayLength::seconds},
                 {"a", -0.5, PlayLength::faulty},
                 {"a", std::numeric_limits<double>::infinity(), PlayLength::faulty},
                 {"r", 1, PlayLength::portion},
                 {"r", 1.5, PlayLength::portionOutOfRange},
                 {"x", 1, PlayLength::nothing}};
    for (const auto& row : table)
        EXPECT_EQ(playLengthOf(row.flag, row.duration), row.length) << row.flag << " " << row.duration;
}
