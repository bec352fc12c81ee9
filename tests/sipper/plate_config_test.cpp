#include <gtest/gtest.h>

#include "sipper/AxisScale.h"
#include "sipper/PlateConfig.h"

namespace {

void expect_near(const Vect3d& actual, double x, double y, double z) {
    EXPECT_NEAR(actual.x, x, 1e-9);
    EXPECT_NEAR(actual.y, y, 1e-9);
    EXPECT_NEAR(actual.z, z, 1e-9);
    EXPECT_EQ(actual.w, 1.0);
}

PlateConfig plate_with_corners(int type) {
    PlateConfig plate;
    plate.set_type(type);
    plate.position0 = Vect3d(0, 0, 0);
    plate.position1 = Vect3d(63, 0, 0);
    plate.position2 = Vect3d(0, 99, 0);
    return plate;
}

// --- type rule -------------------------------------------------------------

TEST(PlateTypeRule, NewConfigurationIsAnUndefined96WellPlate) {
    PlateConfig plate;
    EXPECT_EQ(plate.type, 96);
    EXPECT_EQ(plate.rows, 8);
    EXPECT_EQ(plate.columns, 12);
    EXPECT_EQ(plate.position0.x, DBL_MAX);
    EXPECT_EQ(plate.position1.y, DBL_MAX);
    EXPECT_EQ(plate.position2.z, DBL_MAX);
    EXPECT_EQ(plate.position2.w, 1.0);
}

TEST(PlateTypeRule, Type384Gives16By24AndBackTo96Gives8By12) {
    PlateConfig plate;
    plate.set_type(384);
    EXPECT_EQ(plate.type, 384);
    EXPECT_EQ(plate.rows, 16);
    EXPECT_EQ(plate.columns, 24);
    plate.set_type(96);
    EXPECT_EQ(plate.rows, 8);
    EXPECT_EQ(plate.columns, 12);
}

TEST(PlateTypeRule, OtherTypeIsStoredAndKeepsTheGrid) {
    PlateConfig plate;
    plate.set_type(384);
    plate.set_type(100);
    EXPECT_EQ(plate.type, 100);
    EXPECT_EQ(plate.rows, 16);
    EXPECT_EQ(plate.columns, 24);
}

// --- well positions ----------------------------------------------------------

TEST(WellPosition, Plate96CornersAndSecondRow) {
    PlateConfig plate = plate_with_corners(96);
    expect_near(plate.well_position(0, 0), 0, 0, 0);
    expect_near(plate.well_position(7, 11), 63, 99, 0);
    expect_near(plate.well_position(1, 0), 9, 0, 0);
    expect_near(plate.well_position(0, 1), 0, 9, 0);
}

TEST(WellPosition, Plate384CornersAndSecondRow) {
    PlateConfig plate = plate_with_corners(384);
    expect_near(plate.well_position(15, 23), 63, 99, 0);
    expect_near(plate.well_position(1, 0), 4.2, 0, 0);
    expect_near(plate.well_position(0, 23), 0, 99, 0);
}

TEST(WellPosition, RotatedAndTiltedPlateFollowsItsReferences) {
    PlateConfig plate;  // 8 x 12
    plate.position0 = Vect3d(10, 20, 30);
    plate.position1 = Vect3d(10 + 7, 20 + 63, 30 + 1.4);   // rows run along +y, rising
    plate.position2 = Vect3d(10 + 99, 20 - 11, 30);       // columns along +x, slightly skewed
    expect_near(plate.well_position(7, 0), 17, 83, 31.4);
    expect_near(plate.well_position(0, 11), 109, 9, 30);
    expect_near(plate.well_position(7, 11), 116, 72, 31.4);
    expect_near(plate.well_position(1, 1), 10 + 1.0 + 9.0, 20 + 9.0 - 1.0, 30.2);
}

TEST(WellPosition, SingleRowGridDoesNotDivideByZero) {
    PlateConfig plate = plate_with_corners(96);
    plate.rows = 1;
    plate.columns = 1;
    expect_near(plate.well_position(0, 0), 0, 0, 0);
}

// --- axis scales -------------------------------------------------------------

TEST(AxisScaleConversion, StepsAreTruncatedTowardZeroBothWays) {
    AxisScale scale{true, 1, 200, 5.0};
    EXPECT_NEAR(scale.mm_to_steps(12.34), 493.6, 1e-9);
    EXPECT_EQ(scale.step_count(12.34), 493);
    EXPECT_EQ(scale.step_count(-12.34), -493);
    EXPECT_NEAR(scale.steps_to_mm(493.6), 12.34, 1e-9);
    EXPECT_NEAR(scale.steps_to_mm(-400), -10.0, 1e-12);
}

TEST(AxisScaleConversion, InvalidScaleConvertsToZeroAndHasNoAxisBit) {
    AxisScale scale{false, 2, 200, 5.0};
    EXPECT_EQ(scale.mm_to_steps(12.34), 0.0);
    EXPECT_EQ(scale.steps_to_mm(1000), 0.0);
    EXPECT_EQ(scale.step_count(12.34), 0);
    EXPECT_EQ(scale.axis_bit(), 0);
    scale.valid = true;
    EXPECT_EQ(scale.axis_bit(), 4);
}

TEST(AxisScaleConversion, ZeroFactorGivesZeroInsteadOfInfinity) {
    AxisScale no_steps{true, 1, 0, 5.0};  // steps "0.5" truncated to 0
    EXPECT_EQ(no_steps.steps_to_mm(100), 0.0);
    AxisScale no_travel{true, 1, 200, 0.0};
    EXPECT_EQ(no_travel.mm_to_steps(10), 0.0);
    EXPECT_EQ(no_travel.step_count(10), 0);
}

TEST(AxisScaleConversion, HugeDistanceStepCountStaysInRange) {
    AxisScale scale{true, 3, 4000, 1.0};
    EXPECT_EQ(scale.step_count(DBL_MAX), INT32_MAX);
    EXPECT_EQ(scale.step_count(-1e12), INT32_MIN);
}

}  // namespace
