// Every kind the engine throws, and the standard ones, decoded in one place.
#include <pellamy/ErrorText.h>
#include <pellamy/InitFailedException.h>

#include <cerrno>
#include <gtest/gtest.h>
#include <new>
#include <stdexcept>
#include <string>

using namespace pellamy;

namespace {

template <class Thrown>
std::string textOf(Thrown thrown) {
    try {
        throw thrown;
    } catch (...) {
        return currentExceptionMessage();
    }
}

} // namespace

TEST(ErrorText, DecodesTheEngineKindsAndTheStandardOnes) {
    EXPECT_EQ(textOf(std::string("Can't open instrument file")), "Can't open instrument file");
    EXPECT_EQ(textOf("Using not-initialized object"), "Using not-initialized object");
    EXPECT_EQ(textOf(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(textOf(InitFailedException("DirectSoundCreate8 failed: no driver\n")),
              "DirectSoundCreate8 failed: no driver");
    EXPECT_EQ(textOf(std::bad_alloc()), "out of memory");
    EXPECT_EQ(textOf(std::runtime_error("disk full")), "disk full");
    EXPECT_EQ(textOf(42), "Unknown failure");
    EXPECT_EQ(describeException(nullptr), "Unknown failure");
}

TEST(ErrorText, DropsOnlyTrailingLineFeeds) {
    // The duplicate-alias text has a line feed in the middle; it stays.
    EXPECT_EQ(textOf(std::string("Duplicate alias\nin line 3\r\n\n")), "Duplicate alias\nin line 3");
    EXPECT_EQ(textOf("\n"), "");
    EXPECT_EQ(describeException(std::make_exception_ptr(std::string("stored\n"))), "stored");
}

TEST(ErrorText, QuotedTextIsEscapedWhereNotPrintableAndCut) {
    EXPECT_EQ(printableText("low a 1"), "low a 1");
    // Control bytes, DEL, stray UTF-8 bytes and C1 controls become \xNN.
    EXPECT_EQ(printableText(std::string("a\0b\tc\x7F", 6)), "a\\x00b\\x09c\\x7F");
    EXPECT_EQ(printableText("\xFF\xFEMThd\x80"), "\\xFF\\xFEMThd\\x80");
    EXPECT_EQ(printableText("\xC2\x85"), "\\xC2\\x85");
    // Overlong, surrogate and cut-off sequences are no text either.
    EXPECT_EQ(printableText("\xC0\xAF \xED\xA0\x80 \xE2\x80"), "\\xC0\\xAF \\xED\\xA0\\x80 \\xE2\\x80");
    // Valid UTF-8 stays, counted by characters.
    EXPECT_EQ(printableText("Müller-Flöte ♪ 𝄞"), "Müller-Flöte ♪ 𝄞");
    EXPECT_EQ(printableText(std::string(60, 'x')), std::string(60, 'x'));
    EXPECT_EQ(printableText(std::string(61, 'x')), std::string(60, 'x') + "…");
    EXPECT_EQ(printableText(std::string(70, '\x01')).size(), 60 * 4 + std::string("…").size());
    EXPECT_EQ(printableText("ééé", 2), "éé…");
}

TEST(ErrorText, FileFailuresGiveTheFixedTextThenThePathAndTheReason) {
    EXPECT_EQ(fileFailureText("Can't open instrument file", "/x/y.ins", systemReason(ENOENT)),
              "Can't open instrument file /x/y.ins: No such file or directory");
    EXPECT_EQ(fileFailureText("Can't create SNC file!", "/ro/take.snc", systemReason(EACCES)),
              "Can't create SNC file! /ro/take.snc: Permission denied");
    // A path is escaped but never cut; without a reason only the path follows.
    const std::string longPath = "/" + std::string(100, 'd') + "/\x1B[2J.ins";
    EXPECT_EQ(fileFailureText("Can't write sound file", longPath, {}),
              "Can't write sound file /" + std::string(100, 'd') + "/\\x1B[2J.ins");
}
