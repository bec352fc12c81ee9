#include "utilities/Format.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatFixed, WritesExactlyTheGivenDecimals) {
    EXPECT_EQ(format_fixed(12.5, 10), "12.5000000000");
    EXPECT_EQ(format_fixed(0.05, 10), "0.0500000000");
    EXPECT_EQ(format_fixed(-0.5, 10), "-0.5000000000");
    EXPECT_EQ(format_fixed(1.234, 2), "1.23");
    EXPECT_EQ(format_fixed(-1234567.891, 1), "-1234567.9");
    EXPECT_EQ(format_fixed(1e20, 2), "100000000000000000000.00");
}

TEST(FormatFixed, ZeroDecimalsRoundsToWholeNumberWithoutPoint) {
    EXPECT_EQ(format_fixed(3.7, 0), "4");
    EXPECT_EQ(format_fixed(-3.2, 0), "-3");
    EXPECT_EQ(format_fixed(0.7, 0), "1");
}

TEST(FormatFixed, ValueThatRoundsToNothingIsZeroPointZero) {
    EXPECT_EQ(format_fixed(0.0, 10), "0.0");
    EXPECT_EQ(format_fixed(-0.0, 2), "0.0");
    EXPECT_EQ(format_fixed(1e-11, 10), "0.0");
    EXPECT_EQ(format_fixed(-0.004, 2), "0.0");
    EXPECT_EQ(format_fixed(0.3, 0), "0.0");
}

TEST(FormatDecimals, ValueThatRoundsToNothingKeepsItsDecimalsWithoutSign) {
    EXPECT_EQ(format_decimals(0.0, 3), "0.000");
    EXPECT_EQ(format_decimals(-0.0004, 3), "0.000");
    EXPECT_EQ(format_decimals(0.3, 0), "0");
    EXPECT_EQ(format_decimals(1.2346, 3), "1.235");
}

TEST(FormatFixed, SmallestNonZeroResultKeepsLeadingZeros) {
    EXPECT_EQ(format_fixed(0.006, 2), "0.01");
    EXPECT_EQ(format_fixed(-0.00000000006, 10), "-0.0000000001");
}

TEST(FormatFixed, CarryPropagatesIntoNewDigit) {
    EXPECT_EQ(format_fixed(9.999, 2), "10.00");
    EXPECT_EQ(format_fixed(-99.96, 1), "-100.0");
}

TEST(FormatFixed, ExactHalvesRoundAwayFromZero) {
    EXPECT_EQ(format_fixed(2.5, 0), "3");
    EXPECT_EQ(format_fixed(-2.5, 0), "-3");
    EXPECT_EQ(format_fixed(0.125, 2), "0.13");
    EXPECT_EQ(format_fixed(0.25, 1), "0.3");
    EXPECT_EQ(format_fixed(99.5, 0), "100");
    EXPECT_EQ(format_fixed(0.5, 0), "1");
}

TEST(FormatFixed, NearHalvesFollowTheStoredBinaryValue) {
    // 0.95 and 9.995 are stored a little below the half.
    EXPECT_EQ(format_fixed(0.95, 1), "0.9");
    EXPECT_EQ(format_fixed(9.995, 2), "9.99");
    // 0.005 is stored a little above it.
    EXPECT_EQ(format_fixed(0.005, 2), "0.01");
}

}  // namespace
