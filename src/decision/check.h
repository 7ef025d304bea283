// The popup decision: the gates of TCCheck run in their fixed order on the
// state one plug-in instance keeps. The first gate that fails ends the check
// with 0, silently. The outcome and the facts the gates gathered also serve
// the host simulator's dry run, so a support engineer can tell why the
// balloon does not show. The decision records a showing; starting its report
// is the caller's business (TcInstance::CheckPopup).
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
    PurposeNotStored,    // the campaign's changed Purpose could not be stored, so nothing may show
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

// How a check runs: Record is the host's check, which stores what it must
// (a changed purpose, the showing); DryRun, the doctor's, changes nothing
// stored and assumes what a real check would have stored.
enum class CheckMode { Record, DryRun };

// What a check learned at each gate: a gate reads what the gates before it
// found (the suite executable, whether the purpose changed, today's date),
// and the doctor prints it.
struct CheckFacts {
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

// One check on `campaignPath` in `mode`. On Show in Record mode the showing
// was recorded; the decision starts no report. A dry run changes nothing
// stored and records no showing. `facts`, when given, receives what the
// gates learned.
CheckOutcome EvaluatePopup(PopupWorkspace& workspace, const char* campaignPath, CheckMode mode,
                           CheckFacts* facts = nullptr);
