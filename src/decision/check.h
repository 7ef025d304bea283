// The popup decision's gates, in the order they are tried, and what a check
// saw at each. TCCheck answers only 1 or 0; the outcome and the trace serve
// the host simulator's dry run, so a support engineer can tell why the
// balloon does not show on a machine.
#pragma once
#include <cstdint>

#include "common/text.h"
#include "environment/stamp.h"

enum class CheckOutcome {
    Show = 0,           // every gate passed
    VaultInstalled,     // 1: the vault product is installed
    SuiteMissing,       // 2: no suite executable registered, or no file there
    InstallerMissing,   // 3: no modules\Corvelinst.exe beside it
    InstallRunning,     // 4: CorvelInstallMutex exists
    CampaignUnreadable, // 7: the campaign file is missing, empty or not decodable
    NoPatterns,         // 8: [GameScan] gave no pattern
    No64BitSupport,     // 9: SuportX64=0 on a 64-bit system
    OptedOut,           // 10: config.ini [NoNotify] turns this campaign off
    CountReached,       // 11: BoxPopupCount >= MaxPopupTimes
    WeekdayNotAllowed,  // 12: today's bit is not in PopupFrequency
    ShownToday,         // 13: the stamp has today's month and day
    NoShortcutMatch,    // 14: no pattern in any desktop shortcut name
    MessageRefused,     // 14: the Message template is not safe to fill
    NotRecorded,        // the showing could not be stored, so it must not happen
};

const char* CheckOutcomeName(CheckOutcome outcome);

struct CheckTrace {
    TextString suiteExePath;
    TextString installerPath;
    TextString campaignPath;
    // Dry run only: the campaign's Purpose differs from the stored one, so a
    // real check would reset the count and the stamp; the gates assumed so.
    bool purposeChanged = false;
    std::int32_t optOutValue = 0;
    std::int32_t popupCount = 0;
    std::int32_t weekday = -1;
    std::int32_t todayMonth = 0;
    std::int32_t todayDay = 0;
    TextString stampText;
    PopupStamp stamp;
};

// The pure gates between the load and the scan.
bool PassesX64Gate(std::int32_t suportX64, std::int32_t is64Bit);
bool PassesCountGate(std::int32_t count, std::int32_t maxPopupTimes);
bool PassesWeekdayGate(std::int32_t popupFrequency, std::int32_t dayOfWeek);
bool PassesOncePerDayGate(const PopupStamp& last, std::int32_t todayMonth, std::int32_t todayDay);
