#include "utilities/DateTime.h"

#include <cstdio>
#include <ctime>

std::string DateTime::now_string() const {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[64];
    snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
             local.tm_year + 1900 - 2000, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}
