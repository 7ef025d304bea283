#include "plugin/instance.h"

#include <windows.h>

#include "actions/install.h"
#include "actions/report.h"
#include "campaign/decode.h"
#include "common/paths.h"
#include "plugin/module.h"

int TcInstance::CheckPopup() {
    // The campaign file lies beside this library, wherever the host is.
    char campaignPath[MAX_PATH];
    if (!ModuleSiblingPath(ModuleHandle, kCampaignFileName, campaignPath)) campaignPath[0] = '\0';
    if (EvaluatePopup(workspace_, campaignPath, CheckMode::Record) != CheckOutcome::Show) return 0;
    StartReport(ReportKind::Shown);
    return 1;
}

int TcInstance::RunInstallCommand() const {
    return ::RunInstallCommand(workspace_.config.GameScanNotice().DownloadURL) ? 1 : 0;
}
