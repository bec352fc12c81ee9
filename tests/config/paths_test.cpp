#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/PathUtils.h"

namespace fs = std::filesystem;

namespace {

class PathHelpers : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sipper_paths_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string dir_;
};

}  // namespace

TEST(PathText, NormalizeReplacesBackslashesAndDropsQuotes)
{
    std::string p = "\"C:\\data\\a b.cfg\"";
    normalize_path(p);
    EXPECT_EQ(p, "C:/data/a b.cfg");
    std::string q = "a\"b\\\\c";
    normalize_path(q);
    EXPECT_EQ(q, "ab//c");
}

TEST(PathText, DirOfKeepsLastSeparator)
{
    EXPECT_EQ(dir_of("a/b/c.cfg"), "a/b/");
    EXPECT_EQ(dir_of("a\\b\\c.cfg"), "a\\b\\");
    EXPECT_EQ(dir_of("a/b\\c.cfg"), "a/b\\");
    EXPECT_EQ(dir_of("c.cfg"), "./");
    EXPECT_EQ(dir_of("/c.cfg"), "/");
    EXPECT_EQ(dir_of(""), "./");
}

TEST_F(PathHelpers, FileExistsForFilesDirectoriesAndNormalisedNames)
{
    std::ofstream(dir_ + "/x y.cfg") << "A=1;\n";
    EXPECT_TRUE(file_exists(dir_ + "/x y.cfg"));
    EXPECT_TRUE(file_exists(dir_));
    EXPECT_TRUE(file_exists("\"" + dir_ + "\\x y.cfg\""));
    EXPECT_FALSE(file_exists(dir_ + "/missing.cfg"));
    EXPECT_FALSE(file_exists(""));
}

TEST_F(PathHelpers, MakeDirsCreatesEveryMissingLevel)
{
    std::string deep = dir_ + "/a/b/c";
    EXPECT_TRUE(make_dirs(deep));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(make_dirs(deep + "/"));  // already there
}

TEST_F(PathHelpers, MakeDirsAcceptsBackslashes)
{
    EXPECT_TRUE(make_dirs(dir_ + "\\p\\q\\"));
    EXPECT_TRUE(fs::is_directory(dir_ + "/p/q"));
}

TEST_F(PathHelpers, MakeDirsFailsBelowAPlainFile)
{
    std::ofstream(dir_ + "/plain") << "x";
    EXPECT_FALSE(make_dirs(dir_ + "/plain/sub"));
}

TEST_F(PathHelpers, MakeDirsWorksForRelativePaths)
{
    std::string cwd = fs::current_path();
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    bool made = make_dirs("rel/one");
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
    EXPECT_TRUE(made);
    EXPECT_TRUE(fs::is_directory(dir_ + "/rel/one"));
}
