#include "decision/check.h"

const char* CheckOutcomeName(CheckOutcome outcome) {
    switch (outcome) {
        case CheckOutcome::Show: return "none: every gate passed, the balloon shows";
        case CheckOutcome::VaultInstalled: return "vault product installed";
        case CheckOutcome::SuiteMissing: return "suite executable not found";
        case CheckOutcome::InstallerMissing: return "installer not found";
        case CheckOutcome::InstallRunning: return "an installation is running";
        case CheckOutcome::CampaignUnreadable: return "campaign file missing or unreadable";
        case CheckOutcome::NoPatterns: return "no [GameScan] patterns";
        case CheckOutcome::No64BitSupport: return "campaign does not support 64-bit Windows";
        case CheckOutcome::OptedOut: return "campaign turned off in config.ini [NoNotify]";
        case CheckOutcome::CountReached: return "popup count reached MaxPopupTimes";
        case CheckOutcome::WeekdayNotAllowed: return "today is not allowed by PopupFrequency";
        case CheckOutcome::ShownToday: return "already shown today (once a day)";
        case CheckOutcome::NoShortcutMatch: return "no desktop shortcut matches a pattern";
        case CheckOutcome::MessageRefused: return "Message template refused (only one %s and %% are allowed)";
        case CheckOutcome::NotRecorded: return "the showing could not be recorded in the registry";
    }
    return "unknown";
}

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
