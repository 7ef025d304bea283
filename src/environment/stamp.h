// The popup stamp: the local time of the last showing, stored as text in the
// format "%d-%d-%d %02d:%02d:%02d" (year, month, day, hour, minute, second).
// Pure rules; no I/O.
#pragma once
#include <cstdint>

#include "common/text.h"

struct PopupStamp {
    std::int32_t year = 0;  // 0: no stamp
    std::int32_t month = 0;
    std::int32_t day = 0;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;
};

constexpr char kPopupStampFormat[] = "%d-%d-%d %02d:%02d:%02d";

// Parses `text` as the format above read back as a scanf pattern: white space
// before each number skipped, the time numbers at most two characters each,
// anything after the sixth number ignored. A stamp with fewer than six
// numbers, or with a year, month or day below 1 or a time field below 0, is
// no stamp: the result is false and `stamp` is all zero.
bool ParsePopupStamp(const char* text, PopupStamp& stamp);
