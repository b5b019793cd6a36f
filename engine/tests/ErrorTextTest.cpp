// Every kind the engine throws, and the standard ones, decoded in one place.
#include <pellamy/ErrorText.h>
#include <pellamy/InitFailedException.h>

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
