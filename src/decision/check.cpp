#include "decision/check.h"

#include <windows.h>

#include "common/paths.h"
#include "environment/arch.h"
#include "decision/gates.h"

const char* CheckOutcomeName(CheckOutcome outcome) {
    switch (outcome) {
        case CheckOutcome::Show: return "none: every gate passed, the balloon shows";
        case CheckOutcome::VaultInstalled: return "vault product installed";
        case CheckOutcome::SuiteMissing: return "suite executable not found";
        case CheckOutcome::InstallerMissing: return "installer not found";
        case CheckOutcome::InstallRunning: return "an installation is running";
        case CheckOutcome::CampaignUnreadable: return "campaign file missing or unreadable";
        case CheckOutcome::DownloadUrlUnusable:
            return "DownloadURL holds a control character: the installer could not be started with it";
        case CheckOutcome::PurposeNotStored: return "the campaign's new Purpose could not be stored in the registry";
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

// The one test for a 64-bit system, kept for the workspace's lifetime.
PopupWorkspace::PopupWorkspace() : config(IsSystem64Bit()) {
    // The message starts as the empty text, so TCEnum before any check hands
    // out an empty message rather than stray bytes.
    composedMessage[0] = '\0';
    // The host's config.ini lies beside the host's executable, never beside
    // this library.
    char path[MAX_PATH];
    if (ModuleSiblingPath(nullptr, "config.ini", path)) hostConfigPath = path;
}

CheckOutcome EvaluatePopup(PopupWorkspace& workspace, const char* campaignPath, CheckMode mode, CheckFacts* facts) {
    CheckFacts scratch;
    CheckFacts& t = facts != nullptr ? *facts : scratch;
    // One reading of the local clock serves every gate that asks for today.
    SYSTEMTIME today;
    GetLocalTime(&today);
    t.weekday = today.wDayOfWeek;
    t.todayMonth = today.wMonth;
    t.todayDay = today.wDay;
    GateRun run{workspace, campaignPath, mode, t};
    for (std::size_t i = 0; i < kGateCount; ++i) {
        const CheckOutcome outcome = kGates[i].run(run);
        if (outcome != CheckOutcome::Show) {
            // Once the campaign was loaded, a 0 hands out no message: the
            // host that asks TCEnum anyway gets the empty text.
            if (run.loaded) workspace.composedMessage[0] = '\0';
            t.stoppedAt = i;
            return outcome;
        }
    }
    t.stoppedAt = kGateCount;
    return CheckOutcome::Show;
}
