#include "common/LeadingNumber.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace kivora {
namespace {

// The C library's "%lf" and "%d" are the reference, in the "C" locale.
TEST(LeadingNumber, AgreesWithScanfOnTypicalTexts) {
    for (const char* text :
         {"4", "0.08", "12abc", " -3.5", "+7", "1e3x", ".5", "5.", "  +0.25e-1 trailing", "-0"}) {
        double expected = 0.0;
        ASSERT_EQ(std::sscanf(text, "%lf", &expected), 1) << text;
        const auto value = leadingDouble(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_EQ(*value, expected) << text;
    }
    for (const char* text : {"500", "12abc", " -40", "+3", "007"}) {
        int expected = 0;
        ASSERT_EQ(std::sscanf(text, "%d", &expected), 1) << text;
        EXPECT_EQ(leadingInt(text), expected) << text;
    }
}

TEST(LeadingNumber, TextsWithoutALeadingNumberGiveNothing) {
    for (const char* text : {"", "abc", " ", "-", "+", "+-3", "x12", ",5"}) {
        EXPECT_FALSE(leadingDouble(text).has_value()) << text;
        EXPECT_FALSE(leadingInt(text).has_value()) << text;
    }
    EXPECT_FALSE(leadingInt("99999999999").has_value()) << "beyond an int";
    EXPECT_EQ(leadingInt("2.9"), 2);
}

} // namespace
} // namespace kivora
