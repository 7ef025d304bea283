#include "decision/gate_rules.h"

bool PassesX64Gate(std::int32_t suportX64, std::int32_t is64Bit) { return !(suportX64 == 0 && is64Bit != 0); }

bool PassesCountGate(std::int32_t count, std::int32_t maxPopupTimes) { return count < maxPopupTimes; }

bool PassesWeekdayGate(std::int32_t popupFrequency, std::int32_t dayOfWeek) {
    if (dayOfWeek < 0 || dayOfWeek > 6) return false;
    return (popupFrequency & (1 << dayOfWeek)) != 0;
}

bool PassesOncePerDayGate(const PopupStamp& last, std::int32_t todayMonth, std::int32_t todayDay) {
    // The year is not compared: the same month and day of an earlier year
    // also counts as today. The time of day plays no part.
    return !(last.year != 0 && last.month == todayMonth && last.day == todayDay);
}

// A Purpose the machine has not seen starts its count at 0: the best a
// machine can offer.
bool CountGateNeverPasses(std::int32_t maxPopupTimes) { return !PassesCountGate(0, maxPopupTimes); }

bool WeekdayGateNeverPasses(std::int32_t popupFrequency) {
    for (std::int32_t day = 0; day < 7; ++day) {
        if (PassesWeekdayGate(popupFrequency, day)) return false;
    }
    return true;
}
