#include "TimeCode.h"

#include <ctime>

LocalTime CurrentLocalTime()
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    return lt;
}

int64_t ComputeMjd(int year, int month, int day)
{
    int l = (month == 1 || month == 2) ? 1 : 0;
    uint32_t century = 36525u * static_cast<uint32_t>(year - 1900 - l);
    int64_t monthTerm = (306001LL * (month + 1 + 12 * l)) / 10000;
    return 14956 + day + static_cast<int64_t>(century / 100u) + monthTerm;
}

unsigned char ToBcd(int value) { return static_cast<unsigned char>((value / 10) * 16 + value % 10); }

bool EncodeTimePayload(const LocalTime& now, unsigned char* payload)
{
    if (now.year < 1900 || now.year > 2100 || now.month < 1 || now.month > 12 || now.day < 1 ||
        now.day > 31)
        return false;
    int64_t mjd = ComputeMjd(now.year, now.month, now.day);
    if (mjd < 15020 || mjd > 65535)
        return false;
    payload[0] = static_cast<unsigned char>(mjd / 256);
    payload[1] = static_cast<unsigned char>(mjd % 256);
    payload[2] = ToBcd(now.hour);
    payload[3] = ToBcd(now.minute);
    payload[4] = ToBcd(now.second);
    return true;
}
