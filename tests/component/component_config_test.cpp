// Loading, saving and deleting the configuration every component shares, and
// the checked setters and getters around it.

#include <cmath>
#include <cstring>
#include <filesystem>

#include "tests/component/ComponentTestSupport.h"
#include "utilities/Exception.h"

using namespace comp_test;

namespace {

class ComponentConfigTest : public ComponentTest {
protected:
    ComponentConfigTest() : log_path(dir.file("component.log")), c(name, log_path) {}

    // Texts of the log lines this component wrote, without "<name>: ".
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        const std::string prefix = "<" + name + ">: ";
        for (const std::string& t : log_texts(log_path))
            if (t.rfind(prefix, 0) == 0) out.push_back(t.substr(prefix.size()));
        return out;
    }

    int load(const std::string& content) {
        int result = 42;
        c.load_config(dir.write("c.cfg", content), result);
        return result;
    }

    std::string name = unique_name("cfg");
    std::string log_path;
    TestComponent c;
};

TEST_F(ComponentConfigTest, MinimalFileLoadsAndSaveAddsDebugModeLast) {
    EXPECT_EQ(load("FREQ=10;\nLOGSERVERIF=\"LogServer\";\n"), 0);
    EXPECT_EQ(c.debug_level(), 0);
    EXPECT_DOUBLE_EQ(c.period(), 0.1);
    EXPECT_EQ(c.supervisor_interface_name(), "");
    EXPECT_EQ(c.log_server_interface_name(), "LogServer");

    int result = 42;
    c.save_config("", result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(dir.file("c.cfg")), "FREQ=10;\nLOGSERVERIF=\"LogServer\";\nDEBUG_MODE=0;\n");
}

TEST_F(ComponentConfigTest, SaveRewritesRealFrequencyFromPeriod) {
    ASSERT_EQ(load("FREQ=4.0;\nLOGSERVERIF=\"L\";\nDEBUG_MODE=2;\nSUPERVISORIF=\"Sup\";\n"), 0);
    EXPECT_EQ(c.debug_level(), 2);
    EXPECT_EQ(c.supervisor_interface_name(), "Sup");
    c.set_update_rate(8.0);
    int result = 42;
    c.save_config("", result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(dir.file("c.cfg")),
              "FREQ=8.0000000000;\nLOGSERVERIF=\"L\";\nDEBUG_MODE=2;\nSUPERVISORIF=\"Sup\";\n");
}

TEST_F(ComponentConfigTest, FrequencyLimitsAreAccepted) {
    EXPECT_EQ(load("FREQ=1000;\nLOGSERVERIF=\"L\";\n"), 0);
    EXPECT_DOUBLE_EQ(c.period(), 0.001);
    EXPECT_EQ(load("FREQ=0.01;\nLOGSERVERIF=\"L\";\n"), 0);
    EXPECT_DOUBLE_EQ(c.period(), 100.0);
}

TEST_F(ComponentConfigTest, FrequencyAboveRangeFailsWithTwoDecimalText) {
    EXPECT_EQ(load("FREQ=5000;\nLOGSERVERIF=\"L\";\n"), -1);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: "
                                  "Component::set_update_rate: input out of range (5000.00)"));
    EXPECT_DOUBLE_EQ(c.period(), 10.0);
}

TEST_F(ComponentConfigTest, FrequencyJustBelowRangeFailsThoughItsTextRoundsUp) {
    EXPECT_EQ(load("FREQ=0.005;\nLOGSERVERIF=\"L\";\n"), -1);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: "
                                  "Component::set_update_rate: input out of range (0.01)"));
}

TEST_F(ComponentConfigTest, MissingFrequencyFailsAfterDebugLevelApplied) {
    EXPECT_EQ(load("DEBUG_MODE=3;\nLOGSERVERIF=\"L\";\n"), -1);
    EXPECT_EQ(c.debug_level(), 3);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: "
                                  "No task loop freq specified in CFG file. Add a FREQ = val to config"));
}

TEST_F(ComponentConfigTest, MissingLogServerFailsAfterPeriodChanged) {
    EXPECT_EQ(load("FREQ=20;\n"), -1);
    EXPECT_DOUBLE_EQ(c.period(), 0.05);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: missing LOGSERVERIF"));
}

TEST_F(ComponentConfigTest, LogServerNameOfWrongTypeCountsAsMissing) {
    EXPECT_EQ(load("FREQ=20;\nLOGSERVERIF=5;\n"), -1);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: missing LOGSERVERIF"));
}

TEST_F(ComponentConfigTest, SyntaxErrorMessageFollowsColonWithTwoBlanks) {
    EXPECT_EQ(load("X=1\n"), -1);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed:  line 1 column 4"));
}

TEST_F(ComponentConfigTest, MissingFileNamesThePath) {
    int result = 42;
    const std::string path = dir.file("absent.cfg");
    c.load_config(path, result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: "
                                  "ConfigurationFile::load_config(): failed, can't load " + path));
}

TEST_F(ComponentConfigTest, ReloadWithoutFileNameFails) {
    int result = 42;
    c.load_config("", result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(lines(), "Component::load_config() failed: "
                                  "ConfigurationFile::load_config() failed, no file specified"));
}

TEST_F(ComponentConfigTest, ReloadWithEmptyPathRereadsTheSameFile) {
    ASSERT_EQ(load("FREQ=10;\nLOGSERVERIF=\"L\";\n"), 0);
    dir.write("c.cfg", "FREQ=50;\nLOGSERVERIF=\"Other\";\n");
    int result = 42;
    c.load_config("", result);
    EXPECT_EQ(result, 0);
    EXPECT_DOUBLE_EQ(c.period(), 0.02);
    EXPECT_EQ(c.log_server_interface_name(), "Other");
}

TEST_F(ComponentConfigTest, RealDebugModeGetsASecondIntegerEntry) {
    ASSERT_EQ(load("DEBUG_MODE=1.5;\nFREQ=10;\nLOGSERVERIF=\"L\";\n"), 0);
    EXPECT_EQ(c.debug_level(), 0);
    int result = 42;
    c.save_config("", result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(dir.file("c.cfg")),
              "DEBUG_MODE=1.5000000000;\nFREQ=10;\nLOGSERVERIF=\"L\";\nDEBUG_MODE=0;\n");
}

TEST_F(ComponentConfigTest, SaveToMissingDirectoryCreatesItAndMovesTheFileName) {
    ASSERT_EQ(load("FREQ=10;\nLOGSERVERIF=\"L\";\n"), 0);
    const std::string target = dir.file("new/sub/x.cfg");
    int result = 42;
    c.save_config(target, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(target), "FREQ=10;\nLOGSERVERIF=\"L\";\nDEBUG_MODE=0;\n");

    char buffer[Component::CFG_DIR_BUFFER_SIZE];
    c.get_cfg_dir(buffer);
    EXPECT_EQ(std::string(buffer), dir.file("new/sub/"));
}

TEST_F(ComponentConfigTest, SaveWithoutFileNameFails) {
    int result = 42;
    c.save_config("", result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(lines(), "Component::save_config() failed: ConfigurationFile.save() failed."));
}

TEST_F(ComponentConfigTest, SaveIntoUncreatableDirectoryFails) {
    ASSERT_EQ(load("FREQ=10;\nLOGSERVERIF=\"L\";\n"), 0);
    dir.write("plainfile", "x");
    int result = 42;
    c.save_config(dir.file("plainfile/sub/x.cfg"), result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(lines(), "Component::save_config() failed: ConfigurationFile.save_as() failed."));
}

TEST_F(ComponentConfigTest, SaveRefusesWhenDebugLevelHasNoEntry) {
    // The debug level survives a later load whose parse empties the store.
    ASSERT_EQ(load("DEBUG_MODE=3;\n"), -1);
    ASSERT_EQ(load("X=1\n"), -1);
    ASSERT_EQ(c.debug_level(), 3);
    int result = 42;
    c.save_config("", result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(lines(), "Component::save_config() failed: DEBUG_MODE"));
}

TEST_F(ComponentConfigTest, DeleteOfExistingFileSucceedsAndKeepsTheStore) {
    ASSERT_EQ(load("FREQ=10;\nLOGSERVERIF=\"L\";\n"), 0);
    const std::string victim = dir.write("victim.cfg", "A=1;\n");
    int result = 42;
    c.delete_config(victim, result);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(std::filesystem::exists(victim));
    std::string log_server;
    c.get_config_val("LOGSERVERIF", log_server);
    EXPECT_EQ(log_server, "L");
}

TEST_F(ComponentConfigTest, DeleteOfMissingFileFails) {
    int result = 42;
    c.delete_config(dir.file("nothing.cfg"), result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(lines(), "Component::delete_config() failed: ConfigurationFile::delete_config() failed."));
}

TEST_F(ComponentConfigTest, MissingConfigValueNamesKeyWithoutBlank) {
    double freq = 0;
    try {
        c.get_config_val("FREQ", freq);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "cfg file missing FREQdefinition");
    }
}

TEST_F(ComponentConfigTest, ConfigValuesAreTyped) {
    ASSERT_EQ(load("FREQ=10;\nLOGSERVERIF=\"L\";\nR=2.5;\n"), 0);
    int i = 0;
    double r = 0;
    std::string s;
    c.get_config_val("FREQ", i);
    c.get_config_val("R", r);
    c.get_config_val("LOGSERVERIF", s);
    EXPECT_EQ(i, 10);
    EXPECT_DOUBLE_EQ(r, 2.5);
    EXPECT_EQ(s, "L");
    // An integer entry is not a real one.
    EXPECT_THROW(c.get_config_val("FREQ", r), Exception);
    EXPECT_THROW(c.get_config_val("R", s), Exception);
}

TEST_F(ComponentConfigTest, UpdateRateOutsideRangeRaisesAndKeepsPeriod) {
    const auto message = [&](double f) {
        try {
            c.set_update_rate(f);
        } catch (const Exception& e) {
            return e.message();
        }
        return std::string("accepted");
    };
    EXPECT_EQ(message(-1), "Component::set_update_rate: input out of range (-1.00)");
    EXPECT_EQ(message(0), "Component::set_update_rate: input out of range (0.00)");
    EXPECT_EQ(message(1000.001), "Component::set_update_rate: input out of range (1000.00)");
    EXPECT_EQ(message(0.004), "Component::set_update_rate: input out of range (0.0)");
    EXPECT_NE(message(std::nan("")), "accepted");
    EXPECT_DOUBLE_EQ(c.period(), 10.0);
    EXPECT_EQ(message(25), "accepted");
    EXPECT_DOUBLE_EQ(c.period(), 0.04);
}

TEST_F(ComponentConfigTest, ConfigDirectoryOfBareNameIsDotSlash) {
    char buffer[Component::CFG_DIR_BUFFER_SIZE];
    c.get_cfg_dir(buffer);
    EXPECT_EQ(std::string(buffer), "./");
}

TEST_F(ComponentConfigTest, ConfigDirectoryIsCutToTheBuffer) {
    std::string deep = dir.path();
    while (deep.size() < 300) deep += "abcdefghij/";
    std::filesystem::create_directories(deep);
    int result = 42;
    c.load_config(dir.write(deep.substr(dir.path().size()) + "d.cfg", "FREQ=10;\nLOGSERVERIF=\"L\";\n"), result);
    ASSERT_EQ(result, 0);
    char buffer[4096];
    std::memset(buffer, 'Z', sizeof buffer);
    c.get_cfg_dir(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), deep.substr(0, 249));
    EXPECT_EQ(buffer[250], 'Z');
}

TEST_F(ComponentConfigTest, VersionIsTheCompiledProductVersion) {
    char buffer[4096];
    c.get_component_version(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), SIPPER_PRODUCT_VERSION);
    EXPECT_FALSE(std::string(buffer).empty());
}

TEST_F(ComponentConfigTest, NullClientIsRefused) {
    try {
        c.add_iclient(nullptr);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Component::add_iclient : tried to add null client");
    }
}

}  // namespace
