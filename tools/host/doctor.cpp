// quentra-host doctor: why the balloon does or does not show on this machine.
// It links the plug-in's own decision code and runs it as a dry run on the
// campaign file beside the named DLL. It never records a showing, never sends
// a report and changes nothing stored: a campaign whose Purpose differs from
// the stored one is not written, and the gates see the count and stamp reset
// that the next real check would make.
#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "campaign/decode.h"
#include "common/ansi.h"
#include "common/handles.h"
#include "decision/check.h"
#include "decision/compose.h"
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

// One bookkeeping value as stored, described for the support engineer.
std::string StoredValue(HKEY key, const char* name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (key == nullptr || RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return "(none)";
    }
    std::string bytes(size, '\0');
    DWORD got = size;
    if (size != 0 &&
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&bytes[0]), &got) != ERROR_SUCCESS) {
        return "(unreadable)";
    }
    bytes.resize(got);
    if (type == REG_DWORD && bytes.size() == 4) {
        std::int32_t n = 0;
        std::memcpy(&n, bytes.data(), 4);
        return std::to_string(n);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) return "\"" + AnsiToUtf8(bytes.c_str()) + "\"";
    return "(a value of type " + std::to_string(type) + ")";
}

}  // namespace

int RunDoctor(const char* dllPath) {
    char full[MAX_PATH] = {};
    const DWORD fullLength = GetFullPathNameA(dllPath, MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) {
        std::fprintf(stderr, "quentra-host: bad DLL path %s\n", dllPath);
        return 1;
    }
    const DWORD attributes = GetFileAttributesA(full);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::fprintf(stderr, "quentra-host: DLL not found: %s\n", dllPath);
        return 1;
    }
    char campaign[MAX_PATH] = {};
    lstrcpynA(campaign, full, MAX_PATH);
    PathRemoveFileSpecA(campaign);
    if (!PathAppendA(campaign, kCampaignFileName)) {
        std::fprintf(stderr, "quentra-host: path too long: %s\n", dllPath);
        return 1;
    }

    std::string stored;
    {
        UniqueRegKey key;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBookkeepingKey, 0, KEY_QUERY_VALUE, key.receive());
        stored = "BoxPurpose=" + StoredValue(key.get(), kPurposeValue) +
                 " BoxPopupCount=" + StoredValue(key.get(), kPopupCountValue) +
                 " BoxLastestPopupDay=" + StoredValue(key.get(), kLastPopupValue);
    }

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
        std::printf("[%s] %-24s %s\n", verdict, name, seen.c_str());
    };
    auto num = [](std::int32_t v) { return std::to_string(v); };

    std::printf("campaign file: %s\n", AnsiToUtf8(campaign).c_str());
    std::printf("stored: %s\n", stored.c_str());
    if (t.purposeChanged) {
        std::printf("Purpose differs from the stored BoxPurpose: a real check stores it and resets the count and the "
                    "stamp, and the gates below assume that reset (this dry run changed nothing).\n");
    }
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
    std::string scanSeen = "matched: " + (matched.empty() ? std::string("(none)") : matched);
    if (outcome == CheckOutcome::MessageRefused) {
        const char* problem = MessageTemplateProblem(AnsiLeadBytes(), notice.Message.c_str());
        scanSeen += std::string("; Message has ") + (problem != nullptr ? problem : "a problem");
    }
    gate(scanGate, "desktop scan", scanSeen);
    std::printf("message: %s\n", AnsiToUtf8(instance.ComposedMessage()).c_str());
    std::printf("ended by: %s\n", CheckOutcomeName(outcome));
    std::printf("answer: %d (dry run: nothing recorded, no report sent)\n", outcome == CheckOutcome::Show ? 1 : 0);
    return 0;
}
