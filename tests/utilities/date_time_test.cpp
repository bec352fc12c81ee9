#include "utilities/DateTime.h"

#include <ctime>
#include <regex>

#include <gtest/gtest.h>

namespace {

TEST(DateTime, NowStringHasTwoDigitFieldsAndMatchesLocalTime) {
    const time_t before = time(nullptr);
    const std::string text = DateTime().now_string();
    const time_t after = time(nullptr);

    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m,
                                 std::regex(R"((\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d))")))
        << text;
    tm parsed{};
    parsed.tm_mon = std::stoi(m[1]) - 1;
    parsed.tm_mday = std::stoi(m[2]);
    parsed.tm_year = std::stoi(m[3]) + 2000 - 1900;
    parsed.tm_hour = std::stoi(m[4]);
    parsed.tm_min = std::stoi(m[5]);
    parsed.tm_sec = std::stoi(m[6]);
    parsed.tm_isdst = -1;
    const time_t stamp = mktime(&parsed);
    EXPECT_GE(stamp, before - 1);
    EXPECT_LE(stamp, after + 1);
}

}  // namespace
