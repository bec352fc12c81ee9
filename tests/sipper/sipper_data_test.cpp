#include <gtest/gtest.h>

#include "sipper/SipperData.h"

namespace {

void expect_vector(const Vect3d& actual, double x, double y, double z) {
    EXPECT_EQ(actual.x, x);
    EXPECT_EQ(actual.y, y);
    EXPECT_EQ(actual.z, z);
    EXPECT_EQ(actual.w, 1.0);
}

// Every id 1..13 stored in the current scope.
void define_all_positions(SipperData& data) {
    for (int id = FIRST_POSITION; id <= LAST_POSITION; ++id)
        data.store_position(id, Vect3d(id, id, id));
}

// --- fresh record -----------------------------------------------------------

TEST(SipperDataDefaults, FreshRecordHoldsTheStartValues) {
    SipperData data;
    EXPECT_EQ(data.state(), STATE_IDLE);
    EXPECT_FALSE(data.homed());
    expect_vector(data.velocity(), 15, 15, 10);
    expect_vector(data.acceleration(), 15, 15, 10);
    expect_vector(data.goto_target(), 0, 0, 0);
    EXPECT_EQ(data.missed_sip_tolerance(), 5);
    EXPECT_EQ(data.missed_sip_count(), 0);
    EXPECT_EQ(data.smoothing_factor(), 0.3);
    EXPECT_FALSE(data.twister_arm_clear());
    EXPECT_FALSE(data.sample_interface_changed());
    EXPECT_EQ(data.sip_text(), "");
    EXPECT_EQ(data.active_plate_name(), "");
    EXPECT_FALSE(data.configured());
}

// --- accessors, parameters and scales ----------------------------------------

TEST(SipperDataValues, WrittenValuesReadBackAndStayApart) {
    SipperData data;
    data.set_sip_text("plate A1");
    data.set_sip_row(3);
    data.set_sip_column(4);
    data.set_sip_tag(77);
    data.set_sip_depth(-1.5);
    data.set_wash_time1(1000);
    data.set_wash_time2(2000);
    data.set_operation(OP_SIP);
    data.set_goto_target(Vect3d(1, 2, 3));
    data.set_sip_sensor_present(true);
    data.set_sip_sensor_threshold(2.5);
    EXPECT_EQ(data.sip_text(), "plate A1");
    EXPECT_EQ(data.sip_row(), 3);
    EXPECT_EQ(data.sip_column(), 4);
    EXPECT_EQ(data.sip_tag(), 77);
    EXPECT_EQ(data.sip_depth(), -1.5);
    EXPECT_EQ(data.wash_time1(), 1000);
    EXPECT_EQ(data.wash_time2(), 2000);
    EXPECT_EQ(data.operation(), OP_SIP);
    expect_vector(data.goto_target(), 1, 2, 3);
    EXPECT_TRUE(data.sip_sensor_present());
    EXPECT_EQ(data.sip_sensor_threshold(), 2.5);
}

TEST(SipperDataValues, MotionParamsAreKeptPerIndex) {
    SipperData data;
    data.set_motion_param(8, Vect3d(400, 400, 200));
    data.set_motion_param(9, Vect3d(5, 5, 2));
    expect_vector(data.motion_param(8), 400, 400, 200);
    expect_vector(data.motion_param(9), 5, 5, 2);
    expect_vector(data.motion_param(3), 0, 0, 0);  // never set
}

TEST(SipperDataValues, AxisWithoutScaleReadsAsInvalid) {
    SipperData data;
    data.set_axis_scale(1, AxisScale{true, 1, 400, 5.0});
    AxisScale x = data.axis_scale(1);
    EXPECT_TRUE(x.valid);
    EXPECT_EQ(x.axis, 1);
    EXPECT_EQ(x.steps_per_rev, 400);
    EXPECT_EQ(x.mm_per_rev, 5.0);
    AxisScale z = data.axis_scale(3);
    EXPECT_FALSE(z.valid);
    EXPECT_EQ(z.mm_to_steps(10), 0.0);
}

// --- positions ------------------------------------------------------------------

TEST(SipperDataPositions, ReadingCreatesAnUndefinedEntry) {
    SipperData data;
    EXPECT_FALSE(data.position_valid(3));
    Vect3d read = data.position(3);
    EXPECT_EQ(read.w, 1.0);
    EXPECT_TRUE(data.position_valid(3));
    EXPECT_FALSE(data.position_defined(3));
}

TEST(SipperDataPositions, DefinedFlagAloneDoesNotMakeAnIdValid) {
    SipperData data;
    EXPECT_FALSE(data.position_defined(14));
    data.set_position_defined(14, false);
    EXPECT_FALSE(data.position_valid(14));
    data.set_position_defined(2, true);
    EXPECT_FALSE(data.position_valid(2));
    data.store_position(14, Vect3d(1, 2, 3));
    EXPECT_TRUE(data.position_valid(14));
    EXPECT_TRUE(data.position_defined(14));
}

TEST(SipperDataPositions, StoreMarksDefinedAndClearingKeepsTheVector) {
    SipperData data;
    data.store_position(1, Vect3d(10, 20, 30));
    EXPECT_TRUE(data.position_defined(1));
    data.set_position_defined(1, false);
    EXPECT_FALSE(data.position_defined(1));
    expect_vector(data.position(1), 10, 20, 30);
}

TEST(SipperDataPositions, ConfiguredNeedsHomedAndEveryId) {
    SipperData data;
    define_all_positions(data);
    EXPECT_TRUE(data.all_positions_defined());
    EXPECT_FALSE(data.configured());
    data.set_homed(true);
    EXPECT_TRUE(data.configured());
    data.set_position_defined(12, false);
    EXPECT_FALSE(data.all_positions_defined());
    EXPECT_FALSE(data.configured());
}

TEST(SipperDataPositions, PlateIdsBeforeAnyPlateUseTheEmptyName) {
    SipperData data;
    data.store_position(13, Vect3d(0, 0, 5));
    data.add_plate("deep");
    EXPECT_FALSE(data.position_valid(13));
    data.set_active_plate_name("");
    EXPECT_TRUE(data.position_valid(13));
    expect_vector(data.position(13), 0, 0, 5);
}

// --- plates -----------------------------------------------------------------------

TEST(SipperDataPlates, PlateIdsFollowTheActivePlate) {
    SipperData data;
    data.add_plate("a");
    data.store_position(10, Vect3d(1, 1, 1));
    data.store_position(1, Vect3d(50, 50, 50));
    data.add_plate("b");
    data.store_position(10, Vect3d(2, 2, 2));
    data.store_position(1, Vect3d(60, 60, 60));

    data.set_active_plate_name("a");
    expect_vector(data.position(10), 1, 1, 1);
    expect_vector(data.position(1), 60, 60, 60);  // global: shared by all plates
    EXPECT_TRUE(data.position_defined(10));
    data.set_active_plate_name("b");
    expect_vector(data.position(10), 2, 2, 2);
}

TEST(SipperDataPlates, AddPlateClearsGlobalAndPlateFlags) {
    SipperData data;
    data.add_plate("a");
    define_all_positions(data);
    data.add_plate("a");
    for (int id = FIRST_POSITION; id <= LAST_POSITION; ++id) {
        EXPECT_FALSE(data.position_defined(id)) << "id " << id;
        EXPECT_TRUE(data.position_valid(id)) << "id " << id;  // vectors stay
    }
    expect_vector(data.position(4), 4, 4, 4);
}

TEST(SipperDataPlates, AddPlateMakesItActiveWithA96WellConfig) {
    SipperData data;
    data.add_plate("big");
    data.set_active_plate_type(384);
    data.store_position(10, Vect3d(1, 2, 3));
    data.add_plate("big");
    EXPECT_EQ(data.active_plate_name(), "big");
    PlateConfig config = data.active_plate_config();
    EXPECT_EQ(config.type, 96);
    EXPECT_EQ(config.rows, 8);
    EXPECT_EQ(config.columns, 12);
    EXPECT_EQ(config.position0.x, DBL_MAX);
}

TEST(SipperDataPlates, StoringAReferenceUpdatesThePlateAtOnce) {
    SipperData data;
    data.add_plate("p");
    data.store_position(11, Vect3d(63, 0, 0));
    PlateConfig config = data.active_plate_config();
    expect_vector(config.position1, 63, 0, 0);
    EXPECT_EQ(config.position0.x, DBL_MAX);  // never stored: still undefined
    EXPECT_EQ(config.position2.y, DBL_MAX);
}

TEST(SipperDataPlates, ReferencesOfOnePlateDoNotLeakIntoAnother) {
    SipperData data;
    data.add_plate("a");
    data.store_position(10, Vect3d(0, 0, 0));
    data.store_position(11, Vect3d(63, 0, 0));
    data.store_position(12, Vect3d(0, 99, 0));
    data.add_plate("b");
    data.store_position(12, Vect3d(5, 5, 5));
    data.set_active_plate_name("a");
    PlateConfig a = data.active_plate_config();
    expect_vector(a.position2, 0, 99, 0);
    data.set_active_plate_name("b");
    PlateConfig b = data.active_plate_config();
    expect_vector(b.position2, 5, 5, 5);
    EXPECT_EQ(b.position1.x, DBL_MAX);
}

TEST(SipperDataPlates, TypeRuleOnActivePlateAndLookupByName) {
    SipperData data;
    data.add_plate("small");
    data.add_plate("big");
    data.set_active_plate_type(384);
    EXPECT_EQ(data.plate_type("big"), 384);
    EXPECT_EQ(data.plate_type("small"), 96);
    data.set_active_plate_type(100);
    PlateConfig config = data.active_plate_config();
    EXPECT_EQ(config.type, 100);
    EXPECT_EQ(config.rows, 16);
    EXPECT_EQ(config.columns, 24);
}

TEST(SipperDataPlates, UnknownPlateNameGetsANew96WellConfig) {
    SipperData data;
    EXPECT_EQ(data.plate_type("never-added"), 96);
    data.set_active_plate_name("never-added");
    PlateConfig config = data.active_plate_config();
    EXPECT_EQ(config.rows, 8);
    EXPECT_EQ(config.position0.x, DBL_MAX);
}

TEST(SipperDataPlates, SwitchingPlateAndRefreshingPicksUpItsReferences) {
    SipperData data;
    data.add_plate("a");
    data.store_position(10, Vect3d(7, 8, 9));
    data.add_plate("b");
    data.set_active_plate_name("a");
    // add_plate gave "a" nothing new; the config still holds what was copied.
    expect_vector(data.active_plate_config().position0, 7, 8, 9);
    data.store_position(10, Vect3d(1, 2, 3));
    expect_vector(data.active_plate_config().position0, 1, 2, 3);
    data.set_active_plate_name("b");
    data.refresh_plate_references();
    EXPECT_EQ(data.active_plate_config().position0.x, DBL_MAX);
}

TEST(SipperDataPlates, WellPositionOfTaughtActivePlate) {
    SipperData data;
    data.add_plate("p384");
    data.set_active_plate_type(384);
    data.store_position(10, Vect3d(0, 0, 0));
    data.store_position(11, Vect3d(63, 0, 0));
    data.store_position(12, Vect3d(0, 99, 0));
    Vect3d well = data.active_plate_config().well_position(15, 23);
    EXPECT_NEAR(well.x, 63, 1e-9);
    EXPECT_NEAR(well.y, 99, 1e-9);
    EXPECT_NEAR(well.z, 0, 1e-9);
}

}  // namespace
