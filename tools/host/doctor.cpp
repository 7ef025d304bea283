// quentra-host doctor: why the balloon does or does not show on this machine.
// It links the plug-in's own decision code and runs it as a dry run on the
// campaign file beside the named DLL; like a real check, it reloads the
// campaign (a changed Purpose resets the stored count and stamp), but it
// never records a showing and never sends a report.
#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>

#include "campaign/decode.h"
#include "decision/check.h"
#include "environment/bookkeeping.h"
#include "host.h"
#include "plugin/instance.h"

namespace {

const char* const kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string DaysOf(std::int32_t mask) {
    std::string days;
    for (int d = 0; d < 7; ++d) {
        if ((mask & (1 << d)) == 0) continue;
        if (!days.empty()) days += ", ";
        days += kWeekdays[d];
    }
    return days.empty() ? "no day" : days;
}

std::string Join(const std::vector<TextString>& names) {
    std::string out;
    for (const TextString& n : names) {
        if (!out.empty()) out += " | ";
        out += AnsiToUtf8(n.c_str());
    }
    return out.empty() ? "(none)" : out;
}

}  // namespace

int RunDoctor(const char* dllPath) {
    char campaign[MAX_PATH] = {};
    char full[MAX_PATH] = {};
    if (GetFullPathNameA(dllPath, MAX_PATH, full, nullptr) == 0 || lstrcpynA(campaign, full, MAX_PATH) == nullptr) {
        std::fprintf(stderr, "quentra-host: bad DLL path %s\n", dllPath);
        return 1;
    }
    PathRemoveFileSpecA(campaign);
    PathAppendA(campaign, kCampaignFileName);

    TcInstance instance;
    CheckTrace t;
    const CheckOutcome outcome = instance.EvaluatePopup(campaign, false, &t);
    const int reached = static_cast<int>(outcome);
    const CampaignConfig& config = instance.Config();
    const GameScanNoticeRecord& notice = config.GameScanNotice();

    // Prints one gate: passed, ended here, or not reached.
    auto gate = [&](CheckOutcome which, const char* name, const std::string& seen) {
        const char* verdict = outcome == which                                                  ? "STOP"
                              : (outcome == CheckOutcome::Show || static_cast<int>(which) < reached) ? "pass"
                                                                                                     : "----";
        std::printf("[%s] %-22s %s\n", verdict, name, seen.c_str());
    };
    auto num = [](std::int32_t v) { return std::to_string(v); };

    std::printf("campaign file: %s\n", AnsiToUtf8(campaign).c_str());
    gate(CheckOutcome::VaultInstalled, "vault product absent", "");
    gate(CheckOutcome::SuiteMissing, "suite executable", AnsiToUtf8(t.suiteExePath.c_str()));
    gate(CheckOutcome::InstallerMissing, "installer present", AnsiToUtf8(t.installerPath.c_str()));
    gate(CheckOutcome::InstallRunning, "no installation running", "CorvelInstallMutex");
    gate(CheckOutcome::CampaignUnreadable, "campaign loads", "Purpose=" + AnsiToUtf8(config.Common().Purpose.c_str()));
    gate(CheckOutcome::NoPatterns, "patterns present", Join(notice.ScanPatterns));
    gate(CheckOutcome::No64BitSupport, "64-bit support",
         "SuportX64=" + num(notice.SuportX64) + " Is64Bit=" + num(config.Is64Bit()));
    gate(CheckOutcome::OptedOut, "not opted out",
         "[NoNotify] " + AnsiToUtf8(notice.ID.c_str()) + "=" + num(t.optOutValue) + " in " +
             AnsiToUtf8(instance.HostConfigPath().c_str()));
    gate(CheckOutcome::CountReached, "popup count",
         "BoxPopupCount=" + num(t.popupCount) + " MaxPopupTimes=" + num(config.Common().MaxPopupTimes));
    gate(CheckOutcome::WeekdayNotAllowed, "weekday",
         std::string("today=") + (t.weekday >= 0 && t.weekday < 7 ? kWeekdays[t.weekday] : "?") +
             " PopupFrequency=" + num(config.Common().PopupFrequency) + " (" + DaysOf(config.Common().PopupFrequency) +
             ")");
    gate(CheckOutcome::ShownToday, "once a day",
         "BoxLastestPopupDay=\"" + AnsiToUtf8(t.stampText.c_str()) + "\"" +
             (t.stamp.year != 0 ? "" : " (no stamp)") + " today=" + num(t.todayMonth) + "-" + num(t.todayDay));
    std::string matched;
    for (const TextString& n : instance.MatchedNames()) matched += (matched.empty() ? "" : " | ") + AnsiToUtf8(n.c_str());
    const bool scanEnded = outcome == CheckOutcome::NoShortcutMatch || outcome == CheckOutcome::MessageRefused;
    const CheckOutcome scanGate = scanEnded ? outcome : CheckOutcome::NoShortcutMatch;
    gate(scanGate, "desktop scan", "matched: " + (matched.empty() ? std::string("(none)") : matched));
    std::printf("message: %s\n", AnsiToUtf8(instance.ComposedMessage()).c_str());
    std::printf("ended by: %s\n", CheckOutcomeName(outcome));
    std::printf("answer: %d (dry run: nothing recorded, no report sent)\n", outcome == CheckOutcome::Show ? 1 : 0);
    return 0;
}
