// The FT_TIME payload: 16-bit Modified Julian Date (most significant byte
// first) followed by hour, minute and second as two BCD digits each.
#pragma once

#include <cstdint>

struct LocalTime {
    int year = 0;   // full year, e.g. 2010
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The machine's current local calendar time.
LocalTime CurrentLocalTime();

// MJD by the box's formula. The century term is computed in unsigned 32-bit
// arithmetic as the box firmware expects, so January and February 1900 come
// out far above 65535. The result is 64-bit so nothing wraps here.
int64_t ComputeMjd(int year, int month, int day);

unsigned char ToBcd(int value);

// Fills the five payload bytes. false (payload untouched) when the date is
// outside 1900..2100 / month 1..12 / day 1..31 or the MJD outside
// 15020..65535: no time reply is sent then.
bool EncodeTimePayload(const LocalTime& now, unsigned char* payload);
