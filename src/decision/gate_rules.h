// The pure rules behind the gates between the campaign load and the desktop
// scan: plain functions of their arguments, no I/O, so that the tests and
// the fuzzers cover exactly what the decision runs.
#pragma once
#include <cstdint>

#include "environment/stamp.h"

// SuportX64=0 stops the check on a 64-bit system only.
bool PassesX64Gate(std::int32_t suportX64, std::int32_t is64Bit);
// A signed comparison: a count below MaxPopupTimes passes.
bool PassesCountGate(std::int32_t count, std::int32_t maxPopupTimes);
// Today's bit (0 Sunday .. 6 Saturday) must be set in PopupFrequency.
bool PassesWeekdayGate(std::int32_t popupFrequency, std::int32_t dayOfWeek);
// A stamp with today's month and day, of any year, stops the check.
bool PassesOncePerDayGate(const PopupStamp& last, std::int32_t todayMonth, std::int32_t todayDay);

// The campaign fails the gate whatever the machine holds and whatever the
// day: even a fresh count of 0 reaches MaxPopupTimes; no weekday is allowed.
bool CountGateNeverPasses(std::int32_t maxPopupTimes);
bool WeekdayGateNeverPasses(std::int32_t popupFrequency);
