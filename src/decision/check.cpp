// The popup decision: the gates of TCCheck in their fixed order. The first
// gate that fails ends the check with 0, silently.
#include <windows.h>
#include <shlwapi.h>

#include "actions/report.h"
#include "campaign/decode.h"
#include "common/paths.h"
#include "decision/check.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "plugin/instance.h"
#include "plugin/module.h"

// 1 unless the host's config.ini, section [NoNotify], holds a nonzero value
// under the campaign's ID. A missing file, section or key reads as 0.
static std::int32_t OptOutValue(const TextString& hostConfigPath, const TextString& id) {
    return static_cast<std::int32_t>(
        GetPrivateProfileIntA("NoNotify", id.c_str(), 0, hostConfigPath.c_str()));
}

int TcInstance::CheckPopup() {
    char campaignPath[MAX_PATH];
    if (!ModuleSiblingPath(ModuleHandle, kCampaignFileName, campaignPath)) campaignPath[0] = '\0';
    return EvaluatePopup(campaignPath, true, nullptr) == CheckOutcome::Show ? 1 : 0;
}

CheckOutcome TcInstance::EvaluatePopup(const char* campaignPath, bool record, CheckTrace* trace) {
    CheckTrace scratch;
    CheckTrace& t = trace != nullptr ? *trace : scratch;

    if (IsVaultInstalled() != 0) return CheckOutcome::VaultInstalled;
    char suiteDirectory[MAX_PATH] = {};
    char installer[MAX_PATH] = {};
    const int suiteFound = GetSuiteExePath(suiteDirectory, MAX_PATH);
    t.suiteExePath = suiteDirectory;  // what App Paths names, even when no file is there
    if (suiteFound == 0) return CheckOutcome::SuiteMissing;
    PathRemoveFileSpecA(suiteDirectory);
    const bool combined = PathCombineA(installer, suiteDirectory, kInstallerRelativePath) != nullptr;
    t.installerPath = combined ? installer : "";
    if (!combined || !PathFileExistsA(installer)) return CheckOutcome::InstallerMissing;
    if (IsInstallRunning() != 0) return CheckOutcome::InstallRunning;

    composedMessage_[0] = '\0';

    t.campaignPath = campaignPath != nullptr ? campaignPath : "";
    // A dry run changes nothing stored: it loads without the purpose
    // bookkeeping and lets the gates below see the reset that a real check
    // would make for a changed Purpose.
    const PurposeBookkeeping bookkeeping = record ? PurposeBookkeeping::Update : PurposeBookkeeping::Leave;
    if (config_.LoadCampaignFile(campaignPath, bookkeeping) == 0) return CheckOutcome::CampaignUnreadable;
    t.purposeChanged = !record && IsSamePurpose(config_.Common().Purpose) == 0;
    const GameScanNoticeRecord& notice = config_.GameScanNotice();
    if (notice.ScanPatterns.empty()) return CheckOutcome::NoPatterns;
    if (!PassesX64Gate(notice.SuportX64, config_.Is64Bit())) return CheckOutcome::No64BitSupport;
    t.optOutValue = OptOutValue(hostConfigPath_, notice.ID);
    if (t.optOutValue != 0) return CheckOutcome::OptedOut;
    t.popupCount = t.purposeChanged ? 0 : ReadPopupCount();
    if (!PassesCountGate(t.popupCount, config_.Common().MaxPopupTimes)) return CheckOutcome::CountReached;

    SYSTEMTIME today;
    GetLocalTime(&today);
    t.weekday = today.wDayOfWeek;
    t.todayMonth = today.wMonth;
    t.todayDay = today.wDay;
    if (!PassesWeekdayGate(config_.Common().PopupFrequency, today.wDayOfWeek)) {
        return CheckOutcome::WeekdayNotAllowed;
    }
    if (t.purposeChanged) {
        t.stamp = PopupStamp{};
        t.stampText.clear();
    } else {
        ReadLastPopupTime(t.stamp, &t.stampText);
    }
    if (!PassesOncePerDayGate(t.stamp, today.wMonth, today.wDay)) return CheckOutcome::ShownToday;

    bool refused = false;
    if (ScanDesktopShortcuts(&refused) == 0) {
        return refused ? CheckOutcome::MessageRefused : CheckOutcome::NoShortcutMatch;
    }
    if (record) {
        // Fail closed: a showing that cannot be recorded would not count
        // against MaxPopupTimes or the once-a-day rule.
        if (!RecordPopupShown()) return CheckOutcome::NotRecorded;
        StartReport(ReportKind::Shown);
    }
    return CheckOutcome::Show;
}
