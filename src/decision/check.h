// The popup decision: the gates of TCCheck run in their fixed order on the
// state one plug-in instance keeps. The first gate that fails ends the check
// with 0, silently. The outcome and the trace serve the host simulator's dry
// run, so a support engineer can tell why the balloon does not show.
//
// The gates themselves, their order, names and what each reads are one table
// in decision/gates.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "campaign/config.h"
#include "common/text.h"
#include "decision/scan.h"
#include "environment/stamp.h"
#include "quentra/quentra.h"

enum class CheckOutcome {
    Show = 0,            // every gate passed
    VaultInstalled,      // the vault product is installed
    SuiteMissing,        // no suite executable registered, or no file there
    InstallerMissing,    // no modules\Corvelinst.exe beside it
    InstallRunning,      // CorvelInstallMutex exists
    CampaignUnreadable,  // the campaign file is missing, empty, too large or not decodable
    DownloadUrlUnusable, // DownloadURL holds a control character: the button could start nothing
    NoPatterns,          // [GameScan] gave no pattern
    No64BitSupport,      // SuportX64=0 on a 64-bit system
    OptedOut,            // config.ini [NoNotify] turns this campaign off
    CountReached,        // BoxPopupCount >= MaxPopupTimes
    WeekdayNotAllowed,   // today's bit is not in PopupFrequency
    ShownToday,          // the stamp has today's month and day
    NoShortcutMatch,     // no pattern in any desktop shortcut name
    MessageRefused,      // the Message template is not safe to fill
    NotRecorded,         // the showing could not be stored, so it must not happen
};

const char* CheckOutcomeName(CheckOutcome outcome);

// What one plug-in instance keeps from one check to the next; the doctor's
// dry run keeps one of its own. Built with every default of the campaign,
// the path of the config.ini beside the host's executable, and the empty
// message.
struct PopupWorkspace {
    PopupWorkspace();
    CampaignConfig config;
    TextString hostConfigPath;
    char composedMessage[QUENTRA_MESSAGE_SIZE];
    MatchedNames matchedNames;
};

// What a check saw at each gate, for the doctor.
struct CheckTrace {
    std::size_t stoppedAt = 0;  // index in kGates of the gate that ended it; kGateCount: none did
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

// One check on `campaignPath`. `record` false is a dry run: nothing stored
// is changed, no showing is recorded and no report is sent. On Show with
// `record`, the showing was recorded and its report started.
CheckOutcome EvaluatePopup(PopupWorkspace& workspace, const char* campaignPath, bool record,
                           CheckTrace* trace = nullptr);
