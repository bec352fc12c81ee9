// Loading and saving of the sipper's configuration and of its plate files.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/ComponentInterface.h"
#include "sipper/Sipper.h"
#include "sipper/SipperData.h"
#include "tests/sipper/sipper_test_files.h"
#include "tests/support/ChildProcess.h"
#include "utilities/Exception.h"

using sipper_test::count_log_lines;
using sipper_test::file_present;
using sipper_test::read_file;
using sipper_test::write_file;

namespace {

const std::string BASE_KEYS =
    "FREQ=10;\n"
    "LOGSERVERIF=\"LogServer\";\n";
const std::string AXIS_KEYS =
    "AXIS_STEPS_PER_REV=\"400 400 400\";\n"
    "AXIS_MM_PER_REV=\"5 5 2\";\n";

class SipperConfigTest : public ::testing::Test {
protected:
    void TearDown() override {
        sipper_.reset();
        ComponentInterface::remove_objects(name_);
    }

    // Writes sipper.cfg with `text` and builds a Sipper on it.
    void make(const std::string& text) {
        write_file(cfg_path(), text);
        sipper_ = std::make_unique<Sipper>(name_, log_path(), cfg_path());
    }

    // Builds a Sipper on `text` that must fail; returns the raised message.
    std::string make_failing(const std::string& text) {
        write_file(cfg_path(), text);
        try {
            Sipper s(name_, log_path(), cfg_path());
        } catch (const Exception& e) {
            return e.message();
        }
        ADD_FAILURE() << "construction succeeded";
        return "";
    }

    int log_lines(const std::string& text) const { return count_log_lines(log_path(), name_, text); }
    std::string cfg_path() const { return dir_.file("sipper.cfg"); }
    std::string log_path() const { return dir_.file("sipper.log"); }
    std::string plate_path(const std::string& plate) const { return dir_.file(plate + ".platecfg"); }
    SipperData& data() { return sipper_->data(); }

    static void expect_vector(const Vect3d& v, double x, double y, double z) {
        EXPECT_DOUBLE_EQ(v.x, x);
        EXPECT_DOUBLE_EQ(v.y, y);
        EXPECT_DOUBLE_EQ(v.z, z);
        EXPECT_DOUBLE_EQ(v.w, 1.0);
    }

    sipper_test::TempDir dir_;
    std::string name_ = sipper_test::unique_name("SipperCfg");
    std::unique_ptr<Sipper> sipper_;
};

// ---- defaults -------------------------------------------------------------

TEST_F(SipperConfigTest, AbsentOptionalKeysTakeTheirDefaults) {
    make(BASE_KEYS + AXIS_KEYS);
    expect_vector(data().motion_param(0), 15, 15, 10);
    expect_vector(data().motion_param(1), 2.5, 2.5, 1);
    expect_vector(data().motion_param(2), 15, 15, 10);
    expect_vector(data().motion_param(3), 200, 90, 120);
    expect_vector(data().motion_param(4), -265, -270, -350);
    expect_vector(data().motion_param(5), -75, -74, -60);
    expect_vector(data().motion_param(6), 50, 50, 55);
    expect_vector(data().motion_param(7), 15, 15, 10);
    EXPECT_EQ(sipper_->check_kill_switch(), 1);
    EXPECT_EQ(sipper_->inhibit_voltage_level(), 1800);
    EXPECT_EQ(sipper_->inhibit_switch_mask(), 8);
    EXPECT_EQ(sipper_->invert_inhibit_switch(), 0);
    EXPECT_DOUBLE_EQ(data().sip_sensor_threshold(), 5.0);
    EXPECT_FALSE(data().sip_sensor_present());
    EXPECT_EQ(data().missed_sip_tolerance(), 5);
    EXPECT_DOUBLE_EQ(data().smoothing_factor(), 0.3);
    EXPECT_TRUE(sipper_->plate_names().empty());
    EXPECT_FALSE(data().all_positions_defined());
    int configured = -1;
    sipper_->system_configured(configured);
    EXPECT_EQ(configured, 0);
}

TEST_F(SipperConfigTest, ScalarDefaultsAreAddedToTheStoreAndSaved) {
    make(BASE_KEYS + AXIS_KEYS);
    int status = 0;
    sipper_->save_config("", status);
    ASSERT_EQ(status, 0);
    const std::string text = read_file(cfg_path());
    for (const char* line :
         {"CHECK_KILL_SW=1;", "SIP_SENSOR_THRESHOLD=5.0000000000;", "SIP_SENSOR_PRESENT=0;",
          "MISSED_SIP_TOL=5;", "INHIBIT_SWITCH_VOLTAGE_LEVEL=1800;", "INHIBIT_SWITCH_MASK=8;",
          "INVERT_INHIBIT_SWITCH=0;", "SIP_DETECTION_SMOOTHING_FACTOR=0.3000000000;"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Vectors read with a silent default are not added by name.
    EXPECT_EQ(text.find("SLOW_VELOCITY"), std::string::npos);
}

TEST_F(SipperConfigTest, UnparsableOrNonStringVectorSilentlyUsesDefault) {
    make(BASE_KEYS + AXIS_KEYS + "VELOCITY=\"fast\";\nFAST_VELOCITY=7;\nHOME1_RPM=\"1 2\";\n");
    expect_vector(data().motion_param(0), 15, 15, 10);
    expect_vector(data().motion_param(3), 200, 90, 120);
    expect_vector(data().motion_param(4), -265, -270, -350);
    EXPECT_EQ(log_lines("get_config_val"), 0);
}

TEST_F(SipperConfigTest, GivenValuesReplaceDefaults) {
    make(BASE_KEYS + AXIS_KEYS +
         "CHECK_KILL_SW=0;\nSLOW_VELOCITY=\"1 2 3\";\nSIP_SENSOR_THRESHOLD=2.5;\n"
         "SIP_SENSOR_PRESENT=7;\nMISSED_SIP_TOL=2;\nINHIBIT_SWITCH_VOLTAGE_LEVEL=1000;\n"
         "INHIBIT_SWITCH_MASK=3;\nINVERT_INHIBIT_SWITCH=1;\n"
         "SIP_DETECTION_SMOOTHING_FACTOR=0.75;\n");
    EXPECT_EQ(sipper_->check_kill_switch(), 0);
    expect_vector(data().motion_param(1), 1, 2, 3);
    EXPECT_DOUBLE_EQ(data().sip_sensor_threshold(), 2.5);
    EXPECT_TRUE(data().sip_sensor_present());
    EXPECT_EQ(data().missed_sip_tolerance(), 2);
    EXPECT_EQ(sipper_->inhibit_voltage_level(), 1000);
    EXPECT_EQ(sipper_->inhibit_switch_mask(), 3);
    EXPECT_EQ(sipper_->invert_inhibit_switch(), 1);
    EXPECT_DOUBLE_EQ(data().smoothing_factor(), 0.75);
}

TEST_F(SipperConfigTest, ReloadKeepsMaskButResetsToleranceWhenAbsent) {
    make(BASE_KEYS + AXIS_KEYS + "INHIBIT_SWITCH_MASK=3;\nMISSED_SIP_TOL=9;\n"
         "SIP_DETECTION_SMOOTHING_FACTOR=0.6;\n");
    ASSERT_EQ(sipper_->inhibit_switch_mask(), 3);
    ASSERT_EQ(data().missed_sip_tolerance(), 9);
    const std::string second = dir_.file("second.cfg");
    write_file(second, BASE_KEYS + AXIS_KEYS);
    int status = 0;
    sipper_->load_config(second, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sipper_->inhibit_switch_mask(), 3);
    EXPECT_DOUBLE_EQ(data().smoothing_factor(), 0.6);
    EXPECT_EQ(data().missed_sip_tolerance(), 5);
}

// ---- strict reads and the axis scales ---------------------------------------

TEST_F(SipperConfigTest, UnparsablePositionIsLoggedAndLeftUndefined) {
    make(BASE_KEYS + AXIS_KEYS + "WASHSTATION1_POSITION=\"fast\";\n"
         "WASHSTATION2_POSITION=\"1 2 3\";\nWASHSTATION3_POSITION=4;\n");
    EXPECT_FALSE(data().position_defined(1));
    EXPECT_TRUE(data().position_defined(2));
    expect_vector(data().position(2), 1, 2, 3);
    // A key of another type counts as absent: nothing logged for it.
    EXPECT_FALSE(data().position_defined(3));
    EXPECT_EQ(log_lines("get_config_val Error, "), 1);
    std::string expected_message;
    try {
        Vect3d v;
        v.set("fast");
    } catch (const Exception& e) {
        expected_message = e.message();
    }
    EXPECT_EQ(log_lines("get_config_val Error, " + expected_message), 1);
}

TEST_F(SipperConfigTest, PlateSwapGivesApproachFifteenMillimetresBack) {
    make(BASE_KEYS + AXIS_KEYS + "PLATE_SWAP_POSITION=\"100 50 20\";\n");
    ASSERT_TRUE(data().position_defined(8));
    ASSERT_TRUE(data().position_defined(9));
    expect_vector(data().position(8), 100, 50, 20);
    expect_vector(data().position(9), 85, 50, 20);
}

TEST_F(SipperConfigTest, MissingPlateSwapLeavesBothSwapPositionsUndefined) {
    make(BASE_KEYS + AXIS_KEYS + "WASHSTATION1_POSITION=\"1 1 1\";\n");
    EXPECT_TRUE(data().position_defined(1));
    EXPECT_FALSE(data().position_defined(8));
    EXPECT_FALSE(data().position_defined(9));
}

TEST_F(SipperConfigTest, AxisScalesComeFromTheRequiredVectorsWithStepsTruncated) {
    // A negative scale reverses its axis and loads like any other.
    make(BASE_KEYS +
         "AXIS_STEPS_PER_REV=\"400.9 -200.7 1000\";\nAXIS_MM_PER_REV=\"5 2.5 -1.25\";\n");
    const AxisScale x = data().axis_scale(1);
    const AxisScale y = data().axis_scale(2);
    const AxisScale z = data().axis_scale(3);
    EXPECT_TRUE(x.valid && y.valid && z.valid);
    EXPECT_EQ(x.axis, 1);
    EXPECT_EQ(y.axis, 2);
    EXPECT_EQ(z.axis, 3);
    EXPECT_EQ(x.steps_per_rev, 400);
    EXPECT_EQ(y.steps_per_rev, -200);
    EXPECT_EQ(z.steps_per_rev, 1000);
    EXPECT_DOUBLE_EQ(x.mm_per_rev, 5);
    EXPECT_DOUBLE_EQ(y.mm_per_rev, 2.5);
    EXPECT_DOUBLE_EQ(z.mm_per_rev, -1.25);
    EXPECT_DOUBLE_EQ(y.mm_to_steps(5), -400);
}

TEST_F(SipperConfigTest, ValuesNotFiniteAndScalesOfZeroFailTheLoadNamingTheKey) {
    // Each row replaces one key of a good configuration; the load fails with
    // one line naming the key, at construction and on a later load, and
    // the value never reaches the stage data.
    const std::string good = "VELOCITY=\"15 15 10\";\nWASHSTATION1_POSITION=\"1 2 3\";\n"
                             "PLATE_SWAP_POSITION=\"100 50 20\";\n";
    const struct {
        const char* key;
        const char* value;
        const char* line;
    } rows[] = {
        {"AXIS_STEPS_PER_REV", "nan nan nan", "AXIS_STEPS_PER_REV is not finite: "},
        {"AXIS_STEPS_PER_REV", "1e999 400 400", "AXIS_STEPS_PER_REV is not finite: "},
        {"AXIS_STEPS_PER_REV", "400 -1e20 400", "AXIS_STEPS_PER_REV must be from -2147483648"},
        {"AXIS_STEPS_PER_REV", "400 -0.5 400", "AXIS_STEPS_PER_REV must be from -2147483648"},
        {"AXIS_MM_PER_REV", "0 0 0", "AXIS_MM_PER_REV must not be 0 in each axis: 0 0 0"},
        {"AXIS_MM_PER_REV", "5 -0 2", "AXIS_MM_PER_REV must not be 0 in each axis: "},
        {"AXIS_MM_PER_REV", "5 inf 2", "AXIS_MM_PER_REV is not finite: "},
        {"VELOCITY", "nan 15 10", "VELOCITY is not finite: "},
        {"WASHSTATION1_POSITION", "1 -inf 3", "WASHSTATION1_POSITION is not finite: "},
        {"PLATE_SWAP_POSITION", "100 NAN 20", "PLATE_SWAP_POSITION is not finite: "},
    };
    make(BASE_KEYS + AXIS_KEYS + good);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + " = " + row.value);
        std::string text = BASE_KEYS + AXIS_KEYS + good;
        const std::size_t at = text.find(std::string(row.key) + "=");
        text.replace(at, text.find('\n', at) - at, std::string(row.key) + "=\"" + row.value + "\";");
        const std::string line = std::string("Sipper::load_config() ERROR, ") + row.line;

        const std::string reload = dir_.file("reload.cfg");
        write_file(reload, text);
        const int before = log_lines(line);
        int status = 0;
        sipper_->load_config(reload, status);
        EXPECT_EQ(status, -1);
        EXPECT_EQ(log_lines(line), before + 1);
        EXPECT_EQ(data().axis_scale(1).steps_per_rev, 400);
        EXPECT_DOUBLE_EQ(data().axis_scale(2).mm_per_rev, 5.0);
        expect_vector(data().motion_param(0), 15, 15, 10);
        for (int id : {1, 8, 9}) {
            if (data().position_defined(id)) {
                EXPECT_TRUE(std::isfinite(data().position(id).y)) << id;
            }
        }

        EXPECT_EQ(make_failing(text), "Sipper Constructor -- Failed to load config file " + cfg_path());
    }
    // A plate reference: the line names the key and the file.
    write_file(plate_path("p"), "PLATE_TYPE=96;\nPOSITION1=\"inf 0 0\";\n");
    int status = 0;
    sipper_->load_config(cfg_path(), status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(log_lines("Sipper::load_config() ERROR, POSITION1 of " + plate_path("p") + " is not finite: inf 0 0"), 1);
    EXPECT_FALSE(data().position_defined(11));
}

// ---- required keys ----------------------------------------------------------

TEST_F(SipperConfigTest, MissingMillimetresPerRevFailsConstruction) {
    const std::string message = make_failing(BASE_KEYS + "AXIS_STEPS_PER_REV=\"400 400 400\";\n");
    EXPECT_EQ(message, "Sipper Constructor -- Failed to load config file " + cfg_path());
    EXPECT_EQ(log_lines("Missing the following config vals: AXIS_MM_PER_REV"), 1);
    EXPECT_EQ(log_lines("Missing the following config vals: AXIS_MM_PER_REV,"), 0);
}

TEST_F(SipperConfigTest, BothRequiredKeysMissingAreListedInOrder) {
    make_failing(BASE_KEYS);
    EXPECT_EQ(log_lines("Missing the following config vals: AXIS_STEPS_PER_REV, AXIS_MM_PER_REV"), 1);
}

TEST_F(SipperConfigTest, UnparsableRequiredKeyCountsAsMissing) {
    make_failing(BASE_KEYS + "AXIS_STEPS_PER_REV=\"many\";\nAXIS_MM_PER_REV=\"5 5 5\";\n");
    EXPECT_EQ(log_lines("get_config_val Error, "), 1);
    EXPECT_EQ(log_lines("Missing the following config vals: AXIS_STEPS_PER_REV"), 1);
}

TEST_F(SipperConfigTest, ComponentLoadFailureSkipsTheSipperKeys) {
    // No FREQ: the component part fails first and nothing of the sipper is read.
    const std::string message = make_failing("LOGSERVERIF=\"LogServer\";\n");
    EXPECT_EQ(message, "Sipper Constructor -- Failed to load config file " + cfg_path());
    EXPECT_EQ(log_lines("Missing the following config vals"), 0);
}

TEST_F(SipperConfigTest, LaterLoadWithMissingKeyReportsFailure) {
    make(BASE_KEYS + AXIS_KEYS);
    const std::string second = dir_.file("second.cfg");
    write_file(second, BASE_KEYS + "AXIS_MM_PER_REV=\"1 1 1\";\n");
    int status = 0;
    sipper_->load_config(second, status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(log_lines("Missing the following config vals: AXIS_STEPS_PER_REV"), 1);
    // The scales still follow what the vectors hold: steps kept, mm replaced.
    EXPECT_EQ(data().axis_scale(1).steps_per_rev, 400);
    EXPECT_DOUBLE_EQ(data().axis_scale(1).mm_per_rev, 1.0);
}

// ---- plate files ------------------------------------------------------------

const std::string PLATE_A =
    "PLATE_TYPE=96;\n"
    "SIPPER_SAFE_Z=\"0 0 5\";\n"
    "POSITION0=\"10 10 30\";\n"
    "POSITION1=\"73 10 30\";\n"
    "POSITION2=\"10 109 30\";\n";

TEST_F(SipperConfigTest, PlatesLoadInNameOrderAndTheLastIsActive) {
    write_file(plate_path("b"), "PLATE_TYPE=384;\nSIPPER_SAFE_Z=\"0 0 4\";\n");
    write_file(plate_path("a"), PLATE_A);
    write_file(plate_path("deep"), "PLATE_TYPE=96;\n");
    make(BASE_KEYS + AXIS_KEYS);
    ASSERT_EQ(sipper_->plate_names(), (std::vector<std::string>{"a", "b", "deep"}));
    EXPECT_EQ(data().active_plate_name(), "deep");
    EXPECT_EQ(data().plate_type("a"), 96);
    EXPECT_EQ(data().plate_type("b"), 384);
    char text[4096];
    sipper_->get_all_plate_configs(text, sizeof text);
    EXPECT_STREQ(text, "a,b,deep");
}

TEST_F(SipperConfigTest, PlateReferencesAndSafeHeightComeFromTheActivePlateFile) {
    write_file(plate_path("a"), PLATE_A);
    make(BASE_KEYS + AXIS_KEYS);
    ASSERT_EQ(data().active_plate_name(), "a");
    expect_vector(data().position(13), 0, 0, 5);
    expect_vector(data().position(10), 10, 10, 30);
    expect_vector(data().position(11), 73, 10, 30);
    expect_vector(data().position(12), 10, 109, 30);
    const PlateConfig plate = data().active_plate_config();
    expect_vector(plate.position0, 10, 10, 30);
    expect_vector(plate.position1, 73, 10, 30);
    expect_vector(plate.position2, 10, 109, 30);
    expect_vector(plate.well_position(7, 11), 73, 109, 30);
}

TEST_F(SipperConfigTest, PlateTypeOtherThan96ReadsAs384) {
    write_file(plate_path("odd"), "PLATE_TYPE=100;\n");
    write_file(plate_path("plain"), "SIPPER_SAFE_Z=\"0 0 1\";\n");
    make(BASE_KEYS + AXIS_KEYS);
    EXPECT_EQ(data().plate_type("odd"), 384);
    sipper_->set_active_plate("odd");
    int rows = 0, columns = 0;
    sipper_->get_num_plate_rows(rows);
    sipper_->get_num_plate_cols(columns);
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(columns, 24);
    // No PLATE_TYPE: a new plate's 96 wells.
    EXPECT_EQ(data().plate_type("plain"), 96);
}

TEST_F(SipperConfigTest, UnparsablePlateReferenceIsLoggedAndUndefined) {
    write_file(plate_path("a"), "PLATE_TYPE=96;\nPOSITION0=\"1 2 3\";\nPOSITION1=\"x\";\n");
    make(BASE_KEYS + AXIS_KEYS);
    EXPECT_TRUE(data().position_defined(10));
    EXPECT_FALSE(data().position_defined(11));
    EXPECT_FALSE(data().position_defined(13));
    EXPECT_EQ(log_lines("get_config_val Error, "), 1);
}

TEST_F(SipperConfigTest, LoadingPlatesDoesNotClearGlobalPositionsReadAfterThem) {
    write_file(plate_path("a"), PLATE_A);
    make(BASE_KEYS + AXIS_KEYS + "WASHSTATION1_POSITION=\"1 2 3\";\n");
    EXPECT_TRUE(data().position_defined(1));
    // A second plate added later clears it: the order of loading matters.
    data().add_plate("z");
    EXPECT_FALSE(data().position_defined(1));
}

TEST_F(SipperConfigTest, BrokenPlateFileFailsConstructionWithItsOwnErrorNamingTheFile) {
    write_file(plate_path("bad"), "PLATE_TYPE=96\nPOSITION0=\"1 2 3\";\n");
    const std::string message = make_failing(BASE_KEYS + AXIS_KEYS);
    EXPECT_EQ(message.rfind(plate_path("bad") + ": line 1 column ", 0), 0u) << message;
    EXPECT_EQ(message.find("Sipper Constructor"), std::string::npos);
}

TEST_F(SipperConfigTest, BrokenPlateFileOnReloadFailsTheLoadWithoutRaisingAndNamesEveryPlate) {
    write_file(plate_path("a"), PLATE_A);
    write_file(plate_path("c"), PLATE_A);
    make(BASE_KEYS + AXIS_KEYS);
    write_file(plate_path("b"), "PLATE_TYPE=96\nPOSITION0=\"1 2 3\";\n");
    int status = 0;
    EXPECT_NO_THROW(sipper_->load_config("", status));
    EXPECT_EQ(status, -1);
    EXPECT_EQ(log_lines("Sipper::load_config() failed: " + plate_path("b") + ": line 1 column "), 1);
    std::vector<std::string> names = sipper_->plate_names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(SipperConfigTest, ConfigurationAndPlateFilesThatAreNotRegularAreRefusedAtOnce) {
    // A FIFO as the configuration or among the plate files blocked the load
    // for ever; /dev/zero was read for ever.
    make(BASE_KEYS + AXIS_KEYS);
    ASSERT_EQ(::mkfifo(dir_.file("pipe.cfg").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(plate_path("pipe").c_str(), 0644), 0);
    const int code = run_in_child(
        [&] {
            for (const std::string& path : {dir_.file("pipe.cfg"), std::string("/dev/zero")}) {
                int status = 0;
                sipper_->load_config(path, status);
                EXPECT_EQ(status, -1);
                EXPECT_EQ(log_lines("Component::load_config() failed: " + path + " is not a regular file"), 1);
            }
            int status = 0;
            sipper_->load_config("", status);
            EXPECT_EQ(status, -1);
            EXPECT_EQ(log_lines("Sipper::load_config() failed: " + plate_path("pipe") + " is not a regular file"), 1);
        },
        20000);
    EXPECT_EQ(code, 0);
}

TEST_F(SipperConfigTest, ShippedExampleConfigurationLoadsAndWaitsOnlyForHoming) {
    const std::string examples = std::string(SIPPER_SOURCE_DIR) + "/examples/";
    ASSERT_TRUE(file_present(examples + "sipper.cfg"));
    sipper_ = std::make_unique<Sipper>(name_, log_path(), examples + "sipper.cfg");
    EXPECT_GE(sipper_->plate_names().size(), 2u);
    EXPECT_TRUE(data().all_positions_defined());
    EXPECT_FALSE(data().configured());
    data().set_homed(true);
    EXPECT_TRUE(data().configured());
    // Every plate of the example set is complete on its own.
    for (const std::string& plate : sipper_->plate_names()) {
        sipper_->set_active_plate(plate);
        EXPECT_TRUE(data().all_positions_defined()) << plate;
    }
    EXPECT_EQ(log_lines("get_config_val"), 0);
}

// ---- saving -----------------------------------------------------------------

TEST_F(SipperConfigTest, SaveWritesListedKeysWithTenDecimalsAndKeepsTheRest) {
    make(BASE_KEYS + AXIS_KEYS +
         "SLOW_VELOCITY=\"1 1 1\";\nWASHSTATION1_POSITION=\"fast\";\nOPERATOR=\"kim\";\n"
         "VELOCITY=\"3 4 5\";\n");
    data().store_position(2, Vect3d(12.5, -3.25, 7));
    int status = 0;
    sipper_->save_config("", status);
    ASSERT_EQ(status, 0);
    const std::string text = read_file(cfg_path());
    EXPECT_NE(text.find("WASHSTATION2_POSITION=\"12.5000000000 -3.2500000000 7.0000000000\";"),
              std::string::npos);
    EXPECT_NE(text.find("VELOCITY=\"3.0000000000 4.0000000000 5.0000000000\";"), std::string::npos);
    EXPECT_NE(text.find("ACCELERATION=\"15.0000000000 15.0000000000 10.0000000000\";"),
              std::string::npos);
    EXPECT_NE(text.find("AXIS_STEPS_PER_REV=\"400.0000000000 400.0000000000 400.0000000000\";"),
              std::string::npos);
    EXPECT_NE(text.find("SLOW_VELOCITY=\"1 1 1\";"), std::string::npos);
    EXPECT_NE(text.find("WASHSTATION1_POSITION=\"fast\";"), std::string::npos);
    EXPECT_NE(text.find("OPERATOR=\"kim\";"), std::string::npos);
    EXPECT_EQ(text.find("WASHSTATION3_POSITION"), std::string::npos);
}

TEST_F(SipperConfigTest, SaveWritesPlateSwapButNeverItsApproach) {
    make(BASE_KEYS + AXIS_KEYS);
    data().store_position(8, Vect3d(100, 50, 20));
    data().store_position(9, Vect3d(1, 1, 1));
    int status = 0;
    sipper_->save_config("", status);
    const std::string text = read_file(cfg_path());
    EXPECT_NE(text.find("PLATE_SWAP_POSITION=\"100.0000000000 50.0000000000 20.0000000000\";"),
              std::string::npos);
    EXPECT_EQ(text.find("1.0000000000 1.0000000000 1.0000000000"), std::string::npos);
}

TEST_F(SipperConfigTest, PlateSaveRewritesPositionsAndKeepsOtherKeys) {
    write_file(plate_path("a"), PLATE_A + "COLOUR=\"blue\";\n");
    make(BASE_KEYS + AXIS_KEYS);
    data().store_position(11, Vect3d(80, 11, 29.5));
    sipper_->save_active_plate();
    const std::string text = read_file(plate_path("a"));
    EXPECT_NE(text.find("POSITION1=\"80.0000000000 11.0000000000 29.5000000000\";"), std::string::npos);
    EXPECT_NE(text.find("POSITION0=\"10.0000000000 10.0000000000 30.0000000000\";"), std::string::npos);
    EXPECT_NE(text.find("PLATE_TYPE=96;"), std::string::npos);
    EXPECT_NE(text.find("COLOUR=\"blue\";"), std::string::npos);
}

TEST_F(SipperConfigTest, PlateSaveOfPlateWithoutFileCreatesOnlyItsOwnFile) {
    write_file(plate_path("a"), PLATE_A + "COLOUR=\"blue\";\n");
    make(BASE_KEYS + AXIS_KEYS);
    const std::string a_before = read_file(plate_path("a"));
    sipper_->set_active_plate("fresh");
    sipper_->set_plate_type("fresh", 384);
    data().store_position(10, Vect3d(1, 2, 3));
    sipper_->save_active_plate();
    EXPECT_EQ(read_file(plate_path("a")), a_before);
    ASSERT_TRUE(file_present(plate_path("fresh")));
    const std::string text = read_file(plate_path("fresh"));
    EXPECT_NE(text.find("PLATE_TYPE=384;"), std::string::npos);
    EXPECT_NE(text.find("POSITION0=\"1.0000000000 2.0000000000 3.0000000000\";"), std::string::npos);
    // Nothing of the previously loaded plate travels into the new file.
    EXPECT_EQ(text.find("COLOUR"), std::string::npos);
    EXPECT_EQ(text.find("POSITION1"), std::string::npos);

    // The next load lists the new plate.
    int status = 0;
    sipper_->load_config("", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sipper_->plate_names(), (std::vector<std::string>{"a", "fresh"}));
    EXPECT_EQ(data().plate_type("fresh"), 384);
}

TEST_F(SipperConfigTest, PlateSaveRefusesNamesThatLeaveTheDirectory) {
    make(BASE_KEYS + AXIS_KEYS);
    sipper_->set_active_plate("../escaped");
    data().store_position(10, Vect3d(1, 2, 3));
    EXPECT_THROW(sipper_->save_active_plate(), Exception);
    EXPECT_FALSE(file_present(dir_.path() + "../escaped.platecfg"));
}

TEST_F(SipperConfigTest, PlateSaveOfUnreadableFileRaisesAndWritesNothing) {
    // The file of plate "a" may be written but not read by the caller
    // (nobody, when the tests run as root); the plate loaded last is "b".
    // Saving "a" must not fill it with b's keys, nor drop its own.
    write_file(plate_path("a"), PLATE_A + "COLOUR=\"blue\";\n");
    write_file(plate_path("b"), PLATE_A + "SHAPE=\"round\";\n");
    make(BASE_KEYS + AXIS_KEYS);
    const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(plate_path("a").c_str(), user, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chmod(plate_path("a").c_str(), 0200), 0);
    sipper_->set_active_plate("a");
    data().store_position(10, Vect3d(1, 2, 3));
    const int code = run_in_child([&] {
        if (::geteuid() == 0) {
            ASSERT_TRUE(::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0);
        }
        EXPECT_THROW(sipper_->save_active_plate(), Exception);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(plate_path("a")), PLATE_A + "COLOUR=\"blue\";\n");
}

TEST_F(SipperConfigTest, PlateSaveOfBrokenExistingFileRaisesAndWritesNothing) {
    write_file(plate_path("a"), PLATE_A);
    make(BASE_KEYS + AXIS_KEYS);
    write_file(plate_path("a"), "PLATE_TYPE=96\n");
    data().store_position(10, Vect3d(1, 2, 3));
    EXPECT_THROW(sipper_->save_active_plate(), Exception);
    EXPECT_EQ(read_file(plate_path("a")), "PLATE_TYPE=96\n");
}

}  // namespace
