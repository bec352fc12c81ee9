#include <gtest/gtest.h>

#include <grp.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/ConfigReader.h"
#include "config/ConfigurationFile.h"
#include "tests/support/ChildProcess.h"
#include "utilities/Exception.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
}

// Each test works in a directory of its own, removed afterwards.
class ConfigStoreFiles : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sipper_config_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    size_t files_in(const std::string& dir) const
    {
        size_t n = 0;
        for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it)
            ++n;
        return n;
    }

    std::string dir_;
};

ConfigurationFile from_text(const std::string& text)
{
    ConfigurationFile cfg;
    std::istringstream in(text);
    std::vector<ConfigEntry> entries;
    parse_config(in, entries);
    for (const ConfigEntry& e : entries) {
        switch (e.type()) {
        case ConfigEntry::TYPE_REAL: cfg.add_value(e.key(), e.real_value()); break;
        case ConfigEntry::TYPE_INTEGER: cfg.add_value(e.key(), e.int_value()); break;
        case ConfigEntry::TYPE_STRING: cfg.add_value(e.key(), e.string_value()); break;
        default: cfg.add_value(e.key(), e.elements()); break;
        }
    }
    return cfg;
}

}  // namespace

// ---------------------------------------------------------------- typed access

TEST(ConfigStoreTyped, IntegerEntryIsNotReadAsReal)
{
    ConfigurationFile cfg = from_text("FREQ=10;\n");
    double real = -1.0;
    EXPECT_FALSE(cfg.get_value("FREQ", real));
    EXPECT_EQ(real, -1.0);
    int integer = 0;
    EXPECT_TRUE(cfg.get_value("FREQ", integer));
    EXPECT_EQ(integer, 10);
    long wide = 0;
    EXPECT_TRUE(cfg.get_value("FREQ", wide));
    EXPECT_EQ(wide, 10);
}

TEST(ConfigStoreTyped, SixteenBitLookupTakesLowBits)
{
    ConfigurationFile cfg;
    cfg.add_value("N", 70000);
    cfg.add_value("M", -1);
    int16_t out = 0;
    EXPECT_TRUE(cfg.get_value("N", out));
    EXPECT_EQ(out, 4464);
    EXPECT_TRUE(cfg.get_value("M", out));
    EXPECT_EQ(out, -1);
}

TEST(ConfigStoreTyped, GetValueOrAddAppendsDefaultAndSaveWritesItLast)
{
    ConfigurationFile cfg = from_text("FREQ=10;\n");
    int debug = 5;
    cfg.get_value_or_add("DEBUG_MODE", debug, 0);
    EXPECT_EQ(debug, 0);
    ASSERT_EQ(cfg.entries().size(), 2u);
    EXPECT_EQ(cfg.text(), "FREQ=10;\nDEBUG_MODE=0;\n");

    int freq = 0;
    cfg.get_value_or_add("FREQ", freq, 99);
    EXPECT_EQ(freq, 10);
    EXPECT_EQ(cfg.entries().size(), 2u);
}

TEST(ConfigStoreTyped, GetValueOrAddForEveryType)
{
    ConfigurationFile cfg;
    std::string s;
    int16_t h = 0;
    long l = 0;
    double d = 0;
    cfg.get_value_or_add("S", s, "dflt");
    cfg.get_value_or_add("H", h, static_cast<int16_t>(-7));
    cfg.get_value_or_add("L", l, 123456L);
    cfg.get_value_or_add("D", d, 2.5);
    EXPECT_EQ(s, "dflt");
    EXPECT_EQ(h, -7);
    EXPECT_EQ(l, 123456);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(cfg.text(), "S=\"dflt\";\nH=-7;\nL=123456;\nD=2.5000000000;\n");
}

TEST(ConfigStoreTyped, UpdateOfMissingKeyChangesNothing)
{
    ConfigurationFile cfg;
    EXPECT_FALSE(cfg.update_value("NEW", 1));
    EXPECT_FALSE(cfg.update_value("NEW", 1.0));
    EXPECT_FALSE(cfg.update_value("NEW", std::string("x")));
    EXPECT_FALSE(cfg.update_value("NEW", ConfigArray{ConfigEntry("", 1)}));
    EXPECT_TRUE(cfg.entries().empty());
}

TEST(ConfigStoreTyped, AddUnderKeyOfOtherTypeAppendsSecondEntry)
{
    ConfigurationFile cfg;
    cfg.add_value("K", std::string("text"));
    cfg.add_value("K", 1);
    int integer = 0;
    EXPECT_FALSE(cfg.get_value("K", integer));  // the first K is the string
    std::string s;
    EXPECT_TRUE(cfg.get_value("K", s));
    EXPECT_EQ(cfg.text(), "K=\"text\";\nK=1;\n");
}

TEST(ConfigStoreTyped, PutReplacesFirstMatchingEntryOnly)
{
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    cfg.add_value("B", 1.25);
    EXPECT_EQ(cfg.text(), "A=1;\nB=1.2500000000;\n");
    cfg.put_value("A", 5);
    cfg.put_value("B", 2.5);
    cfg.put_value("C", std::string("c"));
    EXPECT_EQ(cfg.text(), "A=5;\nB=2.5000000000;\nC=\"c\";\n");
}

TEST(ConfigStoreTyped, OnlyTheFirstOfDuplicateKeysIsFoundOrChanged)
{
    ConfigurationFile cfg = from_text("X=1;\n");
    cfg.add_value("Y", std::string("first"));
    cfg.add_value("Y", 2);  // appended: the first Y is a string
    cfg.put_value("Y", 3);  // the first Y is still the string: appends again
    int out = 0;
    EXPECT_FALSE(cfg.get_value("Y", out));
    EXPECT_EQ(cfg.text(), "X=1;\nY=\"first\";\nY=2;\nY=3;\n");
}

TEST(ConfigStoreTyped, DuplicatesFromAFileKeepTheirOrder)
{
    ConfigurationFile cfg;
    std::string name = "/tmp/sipper_config_dup_" + std::to_string(::getpid()) + ".cfg";
    std::ofstream(name) << "A=1;\nA=2;\n";
    ASSERT_EQ(cfg.load_config(name), 0);
    ::unlink(name.c_str());
    cfg.put_value("A", 5);
    EXPECT_EQ(cfg.text(), "A=5;\nA=2;\n");
}

TEST(ConfigStoreTyped, KeysAreCaseSensitive)
{
    ConfigurationFile cfg = from_text("freq=10;\n");
    int out = 0;
    EXPECT_FALSE(cfg.get_value("FREQ", out));
    EXPECT_TRUE(cfg.get_value("freq", out));
}

TEST(ConfigStoreTyped, ArraysAreCopiedInAndOut)
{
    ConfigurationFile cfg;
    ConfigArray in{ConfigEntry("", 1), ConfigEntry("", 2.5), ConfigEntry("", "s")};
    cfg.put_value("POS", in);
    in[0].set(99);
    ConfigArray out;
    ASSERT_TRUE(cfg.get_value("POS", out));
    EXPECT_EQ(out[0].int_value(), 1);
    out[1].set(7);
    ConfigArray again;
    cfg.get_value("POS", again);
    EXPECT_EQ(again[1].type(), ConfigEntry::TYPE_REAL);
    EXPECT_EQ(cfg.text(), "POS=[1,2.5000000000,\"s\"];\n");
}

TEST(ConfigStoreTyped, LongOutside32BitsRaisesAndChangesNothing)
{
    ConfigurationFile cfg = from_text("N=1;\n");
    EXPECT_THROW(cfg.put_value("N", 4294967296L), Exception);
    EXPECT_THROW(cfg.update_value("N", static_cast<long>(INT_MIN) - 1), Exception);
    EXPECT_THROW(cfg.add_value("M", 3000000000L), Exception);
    long out = 0;
    EXPECT_THROW(cfg.get_value_or_add("M", out, 1L << 40), Exception);
    EXPECT_EQ(cfg.text(), "N=1;\n");

    cfg.put_value("N", static_cast<long>(INT_MIN));
    EXPECT_TRUE(cfg.get_value("N", out));
    EXPECT_EQ(out, INT_MIN);
}

TEST(ConfigStoreTyped, NonFiniteRealRaisesAndChangesNothing)
{
    ConfigurationFile cfg = from_text("R=1.0;\n");
    EXPECT_THROW(cfg.put_value("R", INFINITY), Exception);
    EXPECT_THROW(cfg.add_value("S", std::nan("")), Exception);
    EXPECT_EQ(cfg.text(), "R=1.0000000000;\n");
}

// ---------------------------------------------------------------- text form

TEST(ConfigStoreText, RealFormatting)
{
    EXPECT_EQ(format_config_real(10), "10.0000000000");
    EXPECT_EQ(format_config_real(0.5), "0.5000000000");
    EXPECT_EQ(format_config_real(-0.001), "-0.0010000000");
    EXPECT_EQ(format_config_real(0), "0.0000000000");
    EXPECT_EQ(format_config_real(12345.678), "12345.6780000000");
    EXPECT_EQ(format_config_real(4e-11), "0.0");
    EXPECT_EQ(format_config_real(-4e-11), "0.0");
    EXPECT_EQ(format_config_real(6e-11), "0.0000000001");
}

TEST(ConfigStoreText, EntryForms)
{
    EXPECT_EQ(ConfigEntry("FREQ", 10.0).text(), "FREQ=10.0000000000;");
    EXPECT_EQ(ConfigEntry("DEBUG_MODE", 0).text(), "DEBUG_MODE=0;");
    EXPECT_EQ(ConfigEntry("N", -5).text(), "N=-5;");
    EXPECT_EQ(ConfigEntry("LOGSERVERIF", "LogServer").text(), "LOGSERVERIF=\"LogServer\";");
    ConfigArray a{ConfigEntry("", 1.5), ConfigEntry("", 2), ConfigEntry("", "a b")};
    EXPECT_EQ(ConfigEntry("POS", a).text(), "POS=[1.5000000000,2,\"a b\"];");
    EXPECT_EQ(a[1].text(), "2");
}

TEST(ConfigStoreText, GeneratedStoresReadBackToTheSameEntries)
{
    // Stores built from a spread of values; every saved text must parse
    // back to the same keys, types and values.
    unsigned seed = 12345;
    auto next = [&seed]() { seed = seed * 1103515245u + 12345u; return (seed >> 8) & 0xFFFF; };
    for (int round = 0; round < 200; ++round) {
        ConfigurationFile cfg;
        int n = 1 + next() % 8;
        for (int i = 0; i < n; ++i) {
            std::string key = std::string(1, static_cast<char>('A' + next() % 26)) + "_" + std::to_string(i);
            switch (next() % 4) {
            case 0: cfg.add_value(key, (static_cast<int>(next()) - 32768) * 65537); break;
            case 1: cfg.add_value(key, (static_cast<double>(next()) - 32768.0) / (1 + next() % 1000) *
                                       std::pow(10.0, static_cast<int>(next() % 30) - 15)); break;
            case 2: cfg.add_value(key, std::string("s ") + std::to_string(next()) + "\n// x;=[]"); break;
            default: {
                ConfigArray a;
                for (unsigned k = 0; k < 1 + next() % 4; ++k)
                    a.push_back(k % 2 ? ConfigEntry("", static_cast<int>(next())) : ConfigEntry("", next() / 7.0));
                cfg.add_value(key, a);
            }
            }
        }
        std::istringstream in(cfg.text());
        std::vector<ConfigEntry> back;
        ConfigStop stop;
        ASSERT_NO_THROW(parse_config(in, back, "", &stop)) << cfg.text();
        ASSERT_FALSE(stop.stopped) << cfg.text();
        ASSERT_EQ(back.size(), cfg.entries().size()) << cfg.text();
        for (size_t i = 0; i < back.size(); ++i)
            EXPECT_TRUE(back[i].same_as(cfg.entries()[i])) << cfg.entries()[i].text() << " vs " << back[i].text();
    }
}

// ---------------------------------------------------------------- files

TEST_F(ConfigStoreFiles, LoadAndSaveDropsCommentsKeepsOrder)
{
    write_file(path("a.cfg"), "// head\n\nB=2;  // two\nA = \"x\" ;\n\nC=[1, 2.0];\n");
    ConfigurationFile cfg;
    ASSERT_EQ(cfg.load_config(path("a.cfg")), 0);
    EXPECT_EQ(cfg.file_name(), path("a.cfg"));
    ASSERT_EQ(cfg.save(), 0);
    EXPECT_EQ(read_file(path("a.cfg")), "B=2;\nA=\"x\";\nC=[1,2.0000000000];\n");
    EXPECT_EQ(files_in(dir_), 1u);  // no temporary file left behind
}

TEST_F(ConfigStoreFiles, LoadReplacesEntries)
{
    write_file(path("a.cfg"), "A=1;\n");
    write_file(path("b.cfg"), "B=2;\n");
    ConfigurationFile cfg;
    cfg.add_value("OLD", 1);
    ASSERT_EQ(cfg.load_config(path("a.cfg")), 0);
    ASSERT_EQ(cfg.load_config(path("b.cfg")), 0);
    EXPECT_EQ(cfg.text(), "B=2;\n");
    write_file(path("b.cfg"), "B=3;\n");
    ASSERT_EQ(cfg.load_config(), 0);
    EXPECT_EQ(cfg.text(), "B=3;\n");
}

TEST_F(ConfigStoreFiles, LoadOfMissingFileKeepsEntriesAndName)
{
    write_file(path("a.cfg"), "A=1;\n");
    ConfigurationFile cfg;
    ASSERT_EQ(cfg.load_config(path("a.cfg")), 0);
    EXPECT_EQ(cfg.load_config(path("missing.cfg")), 2);
    EXPECT_EQ(cfg.file_name(), path("a.cfg"));
    EXPECT_EQ(cfg.text(), "A=1;\n");
}

TEST_F(ConfigStoreFiles, LoadWithoutFileNameReturns2)
{
    ConfigurationFile cfg;
    EXPECT_EQ(cfg.load_config(), 2);
}

TEST_F(ConfigStoreFiles, LoadOfDirectoryReturns0AndKeepsEntries)
{
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    EXPECT_EQ(cfg.load_config(dir_), 0);
    EXPECT_EQ(cfg.text(), "A=1;\n");
}

TEST_F(ConfigStoreFiles, LoadSyntaxErrorRaisesKeepsEarlierEntriesAndSetsName)
{
    write_file(path("bad.cfg"), "A=1;\nB=\n");
    ConfigurationFile cfg;
    cfg.add_value("OLD", 1);
    try {
        cfg.load_config(path("bad.cfg"));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), " line 2 column 1");
    }
    EXPECT_EQ(cfg.text(), "A=1;\n");
    EXPECT_EQ(cfg.file_name(), path("bad.cfg"));
}

TEST_F(ConfigStoreFiles, QuotedPathWithBackslashesIsNormalised)
{
    write_file(path("a b.cfg"), "A=1;\n");
    std::string windows_style = "\"" + dir_ + "\\a b.cfg\"";
    ConfigurationFile cfg;
    ASSERT_EQ(cfg.load_config(windows_style), 0);
    EXPECT_EQ(cfg.file_name(), path("a b.cfg"));
    EXPECT_EQ(cfg.text(), "A=1;\n");
    EXPECT_EQ(cfg.get_dir(), dir_ + "/");
}

TEST_F(ConfigStoreFiles, SaveWithoutFileNameReturns2)
{
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    EXPECT_EQ(cfg.save(), 2);
}

TEST_F(ConfigStoreFiles, SaveAsCreatesMissingDirectories)
{
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    std::string target = path("new/sub/x.cfg");
    ASSERT_EQ(cfg.save_as(target, true), 0);
    EXPECT_EQ(read_file(target), "A=1;\n");
    EXPECT_EQ(cfg.file_name(), target);
    EXPECT_EQ(cfg.get_dir(), path("new/sub/"));
}

TEST_F(ConfigStoreFiles, SaveAsWithoutOverwriteRefusesExistingFile)
{
    write_file(path("x.cfg"), "OLD=1;\n");
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    EXPECT_EQ(cfg.save_as(path("x.cfg"), false), 1);
    EXPECT_EQ(read_file(path("x.cfg")), "OLD=1;\n");
    EXPECT_EQ(cfg.file_name(), "");
    EXPECT_EQ(cfg.save_as(path("x.cfg"), true), 0);
    EXPECT_EQ(read_file(path("x.cfg")), "A=1;\n");
}

TEST_F(ConfigStoreFiles, SaveAsReturns4WhenDirectoryCannotBeMade)
{
    write_file(path("plain"), "not a directory");
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    EXPECT_EQ(cfg.save_as(path("plain/sub/x.cfg"), true), 4);
}

TEST_F(ConfigStoreFiles, SaveReturns3WhenDirectoryIsGone)
{
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    ASSERT_EQ(cfg.save_as(path("d/x.cfg"), true), 0);
    fs::remove_all(path("d"));
    EXPECT_EQ(cfg.save(), 3);
}

TEST_F(ConfigStoreFiles, SaveKeepsPermissionsOfTheOldFile)
{
    write_file(path("x.cfg"), "A=1;\n");
    ::chmod(path("x.cfg").c_str(), 0640);
    ConfigurationFile cfg;
    ASSERT_EQ(cfg.load_config(path("x.cfg")), 0);
    cfg.put_value("A", 2);
    ASSERT_EQ(cfg.save(), 0);
    struct stat status;
    ASSERT_EQ(::stat(path("x.cfg").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(ConfigStoreFiles, SaveThroughSymlinkReplacesTheTarget)
{
    write_file(path("real.cfg"), "A=1;\n");
    fs::create_symlink(path("real.cfg"), path("link.cfg"));
    ConfigurationFile cfg;
    ASSERT_EQ(cfg.load_config(path("link.cfg")), 0);
    cfg.put_value("A", 2);
    ASSERT_EQ(cfg.save(), 0);
    EXPECT_TRUE(fs::is_symlink(path("link.cfg")));
    EXPECT_EQ(read_file(path("real.cfg")), "A=2;\n");
}

TEST_F(ConfigStoreFiles, WriteErrorReturns3AndLeavesOldFileWhole)
{
    // A file size limit makes the write fail part-way, as a full disk would.
    const std::string old_text = "KEEP=1;\n";
    write_file(path("x.cfg"), old_text);
    const int code = run_in_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ConfigurationFile cfg;
        if (cfg.load_config(path("x.cfg")) != 0)
            return 100;
        cfg.add_value("BIG", std::string(20000, 'x'));
        return cfg.save();
    });
    EXPECT_EQ(code, 3);
    EXPECT_EQ(read_file(path("x.cfg")), old_text);
    EXPECT_EQ(files_in(dir_), 1u);  // the temporary file is gone
}

TEST_F(ConfigStoreFiles, DeleteResults)
{
    write_file(path("x.cfg"), "A=1;\n");
    ConfigurationFile cfg;
    cfg.add_value("K", 1);
    EXPECT_EQ(cfg.delete_config(path("x.cfg")), 0);
    EXPECT_FALSE(fs::exists(path("x.cfg")));
    EXPECT_EQ(cfg.delete_config(path("x.cfg")), 2);
    fs::create_directory(path("sub"));
    EXPECT_EQ(cfg.delete_config(path("sub")), 6);  // not a file
    EXPECT_EQ(cfg.text(), "K=1;\n");
}

TEST_F(ConfigStoreFiles, DeleteOfQuotedBackslashPathRemovesTheFile)
{
    write_file(path("y.cfg"), "A=1;\n");
    ConfigurationFile cfg;
    EXPECT_EQ(cfg.delete_config("\"" + dir_ + "\\y.cfg\""), 0);
    EXPECT_FALSE(fs::exists(path("y.cfg")));
}

TEST_F(ConfigStoreFiles, DeleteInReadOnlyDirectoryIsAccessDenied)
{
    fs::create_directory(path("ro"));
    write_file(path("ro/x.cfg"), "A=1;\n");
    ::chmod(path("ro").c_str(), 0555);
    // Root (and CAP_DAC_OVERRIDE) writes into read-only directories anyway.
    std::string probe = path("ro/probe");
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(probe.c_str());
        ::chmod(path("ro").c_str(), 0755);
        GTEST_SKIP() << "a read-only directory does not stop this user (running as root or with "
                        "CAP_DAC_OVERRIDE), so access denied cannot be provoked";
    }
    ConfigurationFile cfg;
    EXPECT_EQ(cfg.delete_config(path("ro/x.cfg")), 5);
    EXPECT_TRUE(fs::exists(path("ro/x.cfg")));
    ::chmod(path("ro").c_str(), 0755);
}

TEST_F(ConfigStoreFiles, SaveIntoReadOnlyDirectoryReturns3)
{
    fs::create_directory(path("ro"));
    ::chmod(path("ro").c_str(), 0555);
    std::string probe = path("ro/probe");
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(probe.c_str());
        ::chmod(path("ro").c_str(), 0755);
        GTEST_SKIP() << "a read-only directory does not stop this user (running as root or with "
                        "CAP_DAC_OVERRIDE), so a refused write cannot be provoked";
    }
    ConfigurationFile cfg;
    cfg.add_value("A", 1);
    EXPECT_EQ(cfg.save_as(path("ro/x.cfg"), true), 3);
    ::chmod(path("ro").c_str(), 0755);
}

// ---------------------------------------------------------------- protection

namespace {

// The account the permission scenario runs as: nobody when the tests run as
// root (who writes anything), otherwise the caller itself.
constexpr uid_t NOBODY = 65534;

bool drop_to(uid_t user)
{
    if (::geteuid() != 0)
        return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0;
}

ino_t inode_of(const std::string& path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

}  // namespace

TEST_F(ConfigStoreFiles, WriteProtectionHoldsForAnUnprivilegedCaller)
{
    // own/ belongs to the caller, fixed/ may not be written by it; in both
    // the caller owns a writable and a write-protected file.
    const uid_t user = ::geteuid() == 0 ? NOBODY : ::geteuid();
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    for (const char* sub : {"own", "fixed"}) {
        fs::create_directory(path(sub));
        for (const char* name : {"rw.cfg", "ro.cfg"}) {
            const std::string file = path(sub) + "/" + name;
            write_file(file, "A=1;\n");
            ASSERT_EQ(::chown(file.c_str(), user, static_cast<gid_t>(-1)), 0);
            ASSERT_EQ(::chmod(file.c_str(), name[1] == 'w' ? 0644 : 0444), 0);
        }
    }
    ASSERT_EQ(::chown(path("own").c_str(), user, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chmod(path("fixed").c_str(), 0555), 0);
    const ino_t fixed_rw = inode_of(path("fixed/rw.cfg"));

    const int code = run_in_child([&] {
        ASSERT_TRUE(drop_to(user));
        ASSERT_NE(::access(path("fixed").c_str(), W_OK), 0) << "fixed/ must not be writable here";
        for (const char* sub : {"own", "fixed"}) {
            const std::string dir = path(sub) + "/";
            SCOPED_TRACE(sub);
            ConfigurationFile cfg;
            ASSERT_EQ(cfg.load_config(dir + "ro.cfg"), 0);
            cfg.put_value("A", 2);
            EXPECT_EQ(cfg.save(), 3);
            EXPECT_EQ(cfg.save_as(dir + "ro.cfg", true), 3);
            EXPECT_EQ(read_file(dir + "ro.cfg"), "A=1;\n");
            EXPECT_EQ(cfg.delete_config(dir + "ro.cfg"), 5);
            EXPECT_TRUE(fs::exists(dir + "ro.cfg"));

            ASSERT_EQ(cfg.load_config(dir + "rw.cfg"), 0);
            cfg.put_value("A", 3);
            EXPECT_EQ(cfg.save(), 0);
            EXPECT_EQ(read_file(dir + "rw.cfg"), "A=3;\n");
        }
        // Where no temporary file can be made, the file was written in place.
        EXPECT_EQ(inode_of(path("fixed/rw.cfg")), fixed_rw);
        ConfigurationFile cfg;
        cfg.add_value("B", 1);
        EXPECT_EQ(cfg.save_as(path("fixed/new.cfg"), true), 3);
        EXPECT_EQ(cfg.delete_config(path("own/rw.cfg")), 0);
        EXPECT_FALSE(fs::exists(path("own/rw.cfg")));
        EXPECT_EQ(files_in(path("own")) + files_in(path("fixed")), 3u) << "no temporary file is left";
    });
    EXPECT_EQ(code, 0);
}

// The in-place save on a full file system, a 64 KiB tmpfs in a child's own
// mount namespace: a text that needs more room is refused and the old file
// stays whole; one that fits in the old file's room is written.
TEST_F(ConfigStoreFiles, InPlaceSaveOnAFullFileSystemKeepsTheOldFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system to fill needs root";
    constexpr int CANNOT_MOUNT = 77;
    const std::string mount_point = path("fs"), file = path("fs/a.cfg");
    fs::create_directory(mount_point);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    const int code = run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            return CANNOT_MOUNT;
        for (const auto& [value_size, result] : {std::pair<size_t, int>{3 * 4096, 3}, {40, 0}}) {
            write_file(file, "A=1;\n");
            EXPECT_EQ(::chown(file.c_str(), NOBODY, NOBODY), 0);
            std::ofstream filler(mount_point + "/filler");
            const std::string block(4096, 'f');
            while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
            }
            ConfigurationFile cfg;
            EXPECT_EQ(cfg.load_config(file), 0);
            cfg.put_value("B", std::string(value_size, 'b'));
            // As the file's owner, who may not make a file beside it.
            ::setfsuid(NOBODY);
            EXPECT_EQ(cfg.save(), result) << value_size;
            ::setfsuid(0);
            const std::string text = read_file(file);
            EXPECT_TRUE(text == (result == 0 ? cfg.text() : "A=1;\n")) << value_size << ": " << text.size();
            fs::remove(mount_point + "/filler");
        }
        return 0;
    });
    if (code == CANNOT_MOUNT)
        GTEST_SKIP() << "this root may not make a private mount namespace or mount a tmpfs";
    EXPECT_EQ(code, 0);
}

TEST_F(ConfigStoreFiles, FilesThatAreNotRegularAreRefusedAtOnce)
{
    // A FIFO would block the opening until a writer comes; /dev/zero would
    // never end. Neither is read, replaced or removed, and the store keeps
    // its entries and its file name.
    const std::string fifo = path("fifo.cfg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    write_file(path("a.cfg"), "A=1;\n");
    const int code = run_in_child(
        [&] {
            ConfigurationFile cfg;
            ASSERT_EQ(cfg.load_config(path("a.cfg")), 0);
            for (const std::string& name : {fifo, std::string("/dev/zero"), "\"" + fifo + "\""}) {
                SCOPED_TRACE(name);
                try {
                    cfg.load_config(name);
                    ADD_FAILURE() << "loaded";
                } catch (const Exception& e) {
                    EXPECT_NE(e.message().find(" is not a regular file"), std::string::npos) << e.message();
                }
                EXPECT_EQ(cfg.file_name(), path("a.cfg"));
                EXPECT_EQ(cfg.text(), "A=1;\n");
            }
            EXPECT_THROW(open_config_file(fifo), Exception);
            EXPECT_THROW(open_config_file("/dev/zero"), Exception);
            EXPECT_EQ(cfg.save_as(fifo, true), 3);
            EXPECT_EQ(cfg.delete_config(fifo), 6);
            EXPECT_TRUE(fs::is_fifo(fifo));
            EXPECT_EQ(open_config_file(path("missing.cfg")), nullptr);
        },
        20000);
    EXPECT_EQ(code, 0);
}
