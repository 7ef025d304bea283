#include "decision/gates.h"

#include <windows.h>

#include <string>

#include "common/ansi.h"
#include "decision/compose.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"

namespace {

using O = CheckOutcome;

TextString Num(std::int32_t v) { return std::to_string(v); }

const char* const kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

TextString DaysOf(std::int32_t mask) {
    TextString days;
    for (int d = 0; d < 7; ++d) {
        if ((mask & (1 << d)) == 0) continue;
        if (!days.empty()) days += ", ";
        days += kWeekdays[d];
    }
    return days.empty() ? "no day" : days;
}

TextString Names(const std::vector<TextString>& names) {
    TextString out;
    for (const TextString& n : names) out += (out.empty() ? "" : " | ") + n;
    return out.empty() ? "(none)" : out;
}

const GameScanNoticeRecord& Notice(const GateRun& r) { return r.workspace.config.GameScanNotice(); }
const CommonSettings& Common(const GateRun& r) { return r.workspace.config.Common(); }

O Vault(GateRun&) { return IsVaultInstalled() ? O::VaultInstalled : O::Show; }

O Suite(GateRun& r) {
    char path[MAX_PATH] = {};
    const bool found = GetSuiteExePath(path, MAX_PATH);
    r.facts.suiteExePath = path;  // what App Paths names, even when no file is there
    return found ? O::Show : O::SuiteMissing;
}
TextString SuiteSeen(const GateRun& r) {
    return r.facts.suiteExePath.empty() ? "no default value under App Paths\\Corvelsafe.exe"
                                        : r.facts.suiteExePath;
}

O Installer(GateRun& r) {
    char folder[MAX_PATH] = {};
    char installer[MAX_PATH] = {};
    // The suite gate before it found the executable; it is not read again.
    const bool found = InstallerBesideSuite(r.facts.suiteExePath.c_str(), folder, installer);
    r.facts.installerPath = installer;
    return found ? O::Show : O::InstallerMissing;
}

O Running(GateRun&) { return IsInstallRunning() ? O::InstallRunning : O::Show; }

O Load(GateRun& r) {
    PopupWorkspace& w = r.workspace;
    w.composedMessage[0] = '\0';
    r.loaded = true;
    r.facts.campaignPath = r.campaignPath != nullptr ? r.campaignPath : "";
    if (!w.config.LoadCampaignFile(r.campaignPath)) return O::CampaignUnreadable;
    // A changed Purpose restarts the count and the stamp; when it cannot be
    // stored, nothing shows (fail closed, as for the showing itself). A dry
    // run changes nothing stored: the gates below see the reset a real check
    // would make.
    if (r.mode == CheckMode::Record) {
        if (!RestartRecordForPurpose(w.config.Common().Purpose)) return O::PurposeNotStored;
    } else {
        r.facts.purposeChanged = !IsSamePurpose(w.config.Common().Purpose);
    }
    return O::Show;
}
TextString LoadSeen(const GateRun& r) { return r.facts.campaignPath + ", Purpose=" + Common(r).Purpose; }

// The balloon's button must be able to start the installer: an address that
// no escape can carry would make it a button that does nothing.
bool DownloadUrlPasses(const CampaignConfig& c) {
    TextString argument;
    return InstallerArgument(AnsiLeadBytes(), c.GameScanNotice().DownloadURL.c_str(), argument);
}
O DownloadUrl(GateRun& r) { return DownloadUrlPasses(r.workspace.config) ? O::Show : O::DownloadUrlUnusable; }
const char* DownloadUrlNever(const CampaignConfig& c) {
    return DownloadUrlPasses(c) ? nullptr : "DownloadURL holds a control character";
}
TextString DownloadUrlSeen(const GateRun& r) { return "DownloadURL=" + Notice(r).DownloadURL; }

O Patterns(GateRun& r) { return Notice(r).ScanPatterns.empty() ? O::NoPatterns : O::Show; }
const char* PatternsNever(const CampaignConfig& c) {
    return c.GameScanNotice().ScanPatterns.empty() ? "[GameScan] gives no name to look for" : nullptr;
}
TextString PatternsSeen(const GateRun& r) { return Names(Notice(r).ScanPatterns); }

O X64(GateRun& r) {
    return PassesX64Gate(Notice(r).SuportX64, r.workspace.config.Is64Bit()) ? O::Show : O::No64BitSupport;
}
TextString X64Seen(const GateRun& r) {
    return "SuportX64=" + Num(Notice(r).SuportX64) + " Is64Bit=" + Num(r.workspace.config.Is64Bit());
}

O OptOut(GateRun& r) {
    r.facts.optOutValue = static_cast<std::int32_t>(
        GetPrivateProfileIntA("NoNotify", Notice(r).ID.c_str(), 0, r.workspace.hostConfigPath.c_str()));
    return r.facts.optOutValue != 0 ? O::OptedOut : O::Show;
}
TextString OptOutSeen(const GateRun& r) {
    return "[NoNotify] " + Notice(r).ID + "=" + Num(r.facts.optOutValue) + " in " + r.workspace.hostConfigPath;
}

O Count(GateRun& r) {
    r.facts.popupCount = r.facts.purposeChanged ? 0 : ReadPopupCount();
    return PassesCountGate(r.facts.popupCount, Common(r).MaxPopupTimes) ? O::Show : O::CountReached;
}
const char* CountNever(const CampaignConfig& c) {
    return CountGateNeverPasses(c.Common().MaxPopupTimes) ? "MaxPopupTimes allows not one showing" : nullptr;
}
TextString CountSeen(const GateRun& r) {
    return "BoxPopupCount=" + Num(r.facts.popupCount) + " MaxPopupTimes=" + Num(Common(r).MaxPopupTimes);
}

O Weekday(GateRun& r) {
    return PassesWeekdayGate(Common(r).PopupFrequency, r.facts.weekday) ? O::Show : O::WeekdayNotAllowed;
}
const char* WeekdayNever(const CampaignConfig& c) {
    return WeekdayGateNeverPasses(c.Common().PopupFrequency) ? "PopupFrequency allows no weekday" : nullptr;
}
TextString WeekdaySeen(const GateRun& r) {
    const std::int32_t d = r.facts.weekday;
    return "PopupFrequency=" + Num(Common(r).PopupFrequency) + " (" + DaysOf(Common(r).PopupFrequency) +
           ") today=" + (d >= 0 && d < 7 ? kWeekdays[d] : "?");
}

O OncePerDay(GateRun& r) {
    if (r.facts.purposeChanged) {
        r.facts.stamp = PopupStamp{};
        r.facts.stampText.clear();
    } else {
        ReadLastPopupTime(r.facts.stamp, &r.facts.stampText);
    }
    return PassesOncePerDayGate(r.facts.stamp, r.facts.todayMonth, r.facts.todayDay) ? O::Show : O::ShownToday;
}
TextString OncePerDaySeen(const GateRun& r) {
    return "BoxLastestPopupDay=\"" + r.facts.stampText + "\"" + (r.facts.stamp.year != 0 ? "" : " (no stamp)") +
           " today=" + Num(r.facts.todayMonth) + "-" + Num(r.facts.todayDay);
}

// The template is the campaign's text, filled by our own rule: one that is
// not safe to fill ends the check before the desktop is looked at.
const char* TemplateNever(const CampaignConfig& c) {
    return MessageTemplateProblem(AnsiLeadBytes(), c.GameScanNotice().Message.c_str()) != nullptr
               ? "the plug-in refuses the Message template"
               : nullptr;
}
O Template(GateRun& r) { return TemplateNever(r.workspace.config) == nullptr ? O::Show : O::MessageRefused; }
// Where the template is refused, quoted with its offset, as check quotes it.
TextString TemplateSeen(const GateRun& r) {
    const TextString& message = Notice(r).Message;
    const TemplateFault fault = FindTemplateFault(AnsiLeadBytes(), message.c_str());
    if (fault.problem == nullptr) return message.find("%s") == TextString::npos ? "Message has no %s" : "";
    return TextString("Message has ") + fault.problem + ": \"" + message.substr(fault.at, fault.length) +
           "\" at byte " + Num(static_cast<std::int32_t>(fault.at));
}

O Scan(GateRun& r) {
    PopupWorkspace& w = r.workspace;
    bool refused = false;
    if (ScanDesktopShortcuts(Notice(r), w.matchedNames, w.composedMessage, sizeof w.composedMessage, &refused)) {
        return O::Show;
    }
    return refused ? O::MessageRefused : O::NoShortcutMatch;
}
TextString ScanSeen(const GateRun& r) {
    TextString matched;
    for (const TextString& n : r.workspace.matchedNames) matched += (matched.empty() ? "" : " | ") + n;
    return "matched: " + (matched.empty() ? TextString("(none)") : matched);
}

// Fail closed: a showing that cannot be recorded would count against
// neither MaxPopupTimes nor the once-a-day rule.
O Record(GateRun& r) { return r.mode == CheckMode::DryRun || RecordPopupShown() ? O::Show : O::NotRecorded; }
TextString RecordSeen(const GateRun& r) {
    return r.mode == CheckMode::Record ? "stamp and count stored" : "dry run: a real check stores the stamp and the count here";
}

TextString Nothing(const GateRun&) { return TextString(); }

}  // namespace

// Label, what it reads, the run, what it saw; for a gate on the campaign
// alone, when it can never pass and the author's fix.
const Gate kGates[] = {
    {"vault product absent", "HKLM\\...\\App Paths\\Corvelsafebox.exe (default) and the file it names", Vault,
     Nothing, nullptr, nullptr},
    {"suite executable", "HKLM\\...\\App Paths\\Corvelsafe.exe (default) and the file it names", Suite, SuiteSeen,
     nullptr, nullptr},
    {"installer present", "modules\\Corvelinst.exe beside the suite executable", Installer,
     [](const GateRun& r) { return r.facts.installerPath; }, nullptr, nullptr},
    {"no installation running", "mutex CorvelInstallMutex", Running, Nothing, nullptr, nullptr},
    {"campaign loads", "quentracfg.dat beside Quentra.dll (at most 1 MiB)", Load, LoadSeen, nullptr, nullptr},
    {"download address passable", "[NoAntiVirus] DownloadURL: no control character", DownloadUrl,
     DownloadUrlSeen, DownloadUrlNever, "remove the control character from [NoAntiVirus] DownloadURL"},
    {"patterns present", "[GameScan] keys ending in m or o", Patterns, PatternsSeen, PatternsNever,
     "give [GameScan] a key ending in o (a name to look for) or m (a featured name) with a value, e.g. "
     "g1o=Copperwing, before any key that ends otherwise"},
    {"64-bit support", "[NoAntiVirus] SuportX64 and the system's architecture", X64, X64Seen, nullptr, nullptr},
    {"not opted out", "[NoNotify] <ID> in config.ini beside the host's executable", OptOut, OptOutSeen, nullptr,
     nullptr},
    {"popup count", "HKLM\\SOFTWARE\\CorvelSafe\\Tavrik BoxPopupCount and [Common] MaxPopupTimes", Count,
     CountSeen, CountNever, "set [Common] MaxPopupTimes to 1 or more (absent, it is 3)"},
    {"weekday", "the local weekday and [Common] PopupFrequency", Weekday, WeekdaySeen, WeekdayNever,
     "set [Common] PopupFrequency to the bits of the weekdays it may show on: 127 for every day, 62 for "
     "Monday to Friday"},
    {"once a day", "HKLM\\SOFTWARE\\CorvelSafe\\Tavrik BoxLastestPopupDay and the local date", OncePerDay,
     OncePerDaySeen, nullptr, nullptr},
    {"message template", "[NoAntiVirus] Message: one %s at most, %% for a percent sign", Template, TemplateSeen,
     TemplateNever, "write one %s where the names go and %% for a percent sign, and no other %"},
    {"desktop scan", "*.lnk names on the user's desktop", Scan, ScanSeen, nullptr, nullptr},
    {"showing recorded", "HKLM\\SOFTWARE\\CorvelSafe\\Tavrik BoxLastestPopupDay and BoxPopupCount, written", Record,
     RecordSeen, nullptr, nullptr},
};
const std::size_t kGateCount = sizeof kGates / sizeof kGates[0];

std::size_t NeverPassedGate(const CampaignConfig& campaign) {
    for (std::size_t i = 0; i < kGateCount; ++i) {
        if (kGates[i].never != nullptr && kGates[i].never(campaign) != nullptr) return i;
    }
    return kGateCount;
}
