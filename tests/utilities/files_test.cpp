#include "utilities/Files.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/utilities/TempDir.h"

namespace {

using Names = std::vector<std::string>;

void touch(const std::string& path) { std::ofstream(path) << "x"; }

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class ListFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        for (const char* name : {"b.platecfg", "a.platecfg", "A.platecfg", "ab.platecfgx", "c.cfg",
                                 "cc.cfg", "[a].txt", "a.txt", ".hidden.platecfg"})
            touch(dir_ / name);
    }
    TempDir dir_;
};

TEST_F(ListFilesTest, StarMatchesAnyRunAndResultIsSortedByByteValue) {
    EXPECT_EQ(list_files(dir_ / "*.platecfg"),
              (Names{".hidden.platecfg", "A.platecfg", "a.platecfg", "b.platecfg"}));
    EXPECT_EQ(list_files(dir_ / "a*"), (Names{"a.platecfg", "a.txt", "ab.platecfgx"}));
}

TEST_F(ListFilesTest, QuestionMarkMatchesExactlyOneCharacter) {
    EXPECT_EQ(list_files(dir_ / "?.cfg"), (Names{"c.cfg"}));
    EXPECT_EQ(list_files(dir_ / "??.cfg"), (Names{"cc.cfg"}));
}

TEST_F(ListFilesTest, OtherCharactersAreLiteral) {
    EXPECT_EQ(list_files(dir_ / "[a].txt"), (Names{"[a].txt"}));
    EXPECT_EQ(list_files(dir_ / "c.cfg"), (Names{"c.cfg"}));
    EXPECT_EQ(list_files(dir_ / "C.CFG"), Names{});
}

TEST_F(ListFilesTest, StarAloneListsEverythingButDotEntries) {
    const Names all = list_files(dir_ / "*");
    EXPECT_EQ(all.size(), 9u);
    for (const auto& name : all) {
        EXPECT_NE(name, ".");
        EXPECT_NE(name, "..");
    }
}

TEST_F(ListFilesTest, BackslashSeparatedPatternWorks) {
    EXPECT_EQ(list_files(dir_.path() + "\\?.cfg"), (Names{"c.cfg"}));
}

TEST_F(ListFilesTest, MissingDirectoryOrNoMatchGivesEmptyList) {
    EXPECT_TRUE(list_files(dir_ / "missing/*.platecfg").empty());
    EXPECT_TRUE(list_files(dir_ / "*.none").empty());
}

TEST(MakeDirectoryChain, CreatesEveryMissingParent) {
    TempDir dir;
    const std::string deep = dir / "a/b/c";
    EXPECT_TRUE(make_directory_chain(deep));
    EXPECT_TRUE(is_directory(deep));
    EXPECT_TRUE(make_directory_chain(deep + "/"));  // already there
}

TEST(MakeDirectoryChain, BackslashesSeparateToo) {
    TempDir dir;
    EXPECT_TRUE(make_directory_chain(dir.path() + "\\x\\y"));
    EXPECT_TRUE(is_directory(dir / "x/y"));
}

TEST(MakeDirectoryChain, FailsBelowARegularFile) {
    TempDir dir;
    touch(dir / "file");
    EXPECT_FALSE(make_directory_chain(dir / "file/sub"));
    EXPECT_FALSE(make_directory_chain(""));
}

}  // namespace
