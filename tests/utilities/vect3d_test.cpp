#include "utilities/Vect3d.h"

#include <gtest/gtest.h>

#include "utilities/Exception.h"

namespace {

TEST(Vect3d, SetReadsThreeReals) {
    Vect3d v;
    v.set("1 2 3");
    EXPECT_EQ(v.x, 1.0);
    EXPECT_EQ(v.y, 2.0);
    EXPECT_EQ(v.z, 3.0);
    v.set("1.5e2 -2 7");
    EXPECT_EQ(v.x, 150.0);
    EXPECT_EQ(v.y, -2.0);
    EXPECT_EQ(v.z, 7.0);
}

TEST(Vect3d, SetIgnoresTextAfterThirdReal) {
    Vect3d v;
    v.set("  4\t5\n6 7 junk");
    EXPECT_EQ(v[0], 4.0);
    EXPECT_EQ(v[1], 5.0);
    EXPECT_EQ(v[2], 6.0);
}

TEST(Vect3d, MalformedTextRaisesAndKeepsOldValues) {
    Vect3d v(7, 8, 9);
    for (const std::string text : {"1 2", "", "a b c", "1 x 3"}) {
        try {
            v.set(text);
            ADD_FAILURE() << "no exception for '" << text << "'";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), "Vect3d::set(): Failed to parse " + text);
        }
        EXPECT_EQ(v.x, 7.0);
        EXPECT_EQ(v.y, 8.0);
        EXPECT_EQ(v.z, 9.0);
    }
}

TEST(Vect3d, ToStringWritesTenDecimals) {
    EXPECT_EQ(Vect3d(1, 2, 3).to_string(), "1.0000000000 2.0000000000 3.0000000000");
    EXPECT_EQ(Vect3d(-0.5, 123.25, 1e-12).to_string(), "-0.5000000000 123.2500000000 0.0");
}

TEST(Vect3d, TextRoundTripKeepsTenDecimals) {
    Vect3d a(12.3456789012, -0.0000000001, 250.0);
    Vect3d b;
    b.set(a.to_string());
    EXPECT_NEAR(b.x, a.x, 1e-10);
    EXPECT_NEAR(b.y, a.y, 1e-10);
    EXPECT_NEAR(b.z, a.z, 1e-10);
}

TEST(Vect3d, IndexWritesTheNamedElementAndCopyKeepsW) {
    Vect3d v;
    EXPECT_EQ(v.w, 1.0);
    v[0] = 1;
    v[1] = 2;
    v[2] = 3;
    EXPECT_EQ(v.x, 1.0);
    EXPECT_EQ(v.y, 2.0);
    EXPECT_EQ(v.z, 3.0);
    v.w = 1.0;
    const Vect3d copy = v;
    EXPECT_EQ(copy[2], 3.0);
    EXPECT_EQ(copy.w, 1.0);
}

#ifndef NDEBUG
TEST(Vect3dDeathTest, IndexOutOfRangeAsserts) {
    Vect3d v;
    EXPECT_DEATH(v[3] = 1.0, "\\(idx >= 0\\) && \\(idx <= 2\\)");
    EXPECT_DEATH(v[-1] = 1.0, "idx");
}
#endif

}  // namespace
