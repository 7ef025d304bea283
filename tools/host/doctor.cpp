// quentra-host doctor: why the balloon does or does not show on this machine.
// It links the plug-in's own decision code and runs it as a dry run, gate by
// gate from the one gate table, on the campaign file beside the named DLL or
// on a campaign file named directly (.dat as deployed, or an author's .ini).
// It never records a showing, never sends a report and changes nothing
// stored: a campaign whose Purpose differs from the stored one is not
// written, and the gates see the count and stamp reset that the next real
// check would make.
#include <windows.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign/decode.h"
#include "campaign/rules.h"
#include "campaign_arg.h"
#include "codepage.h"
#include "common/handles.h"
#include "decision/check.h"
#include "decision/gates.h"
#include "environment/bookkeeping.h"
#include "files.h"
#include "host.h"
#include "pe.h"

namespace {

// One bookkeeping value as stored, described for the support engineer.
std::string StoredValue(HKEY key, const char* name) {
    DWORD type = REG_NONE;
    std::string bytes;
    const LONG read = key == nullptr ? ERROR_FILE_NOT_FOUND : ReadRegistryValue(key, name, type, bytes);
    if (read != ERROR_SUCCESS) return read == ERROR_FILE_NOT_FOUND ? "(none)" : "(unreadable)";
    if (type == REG_DWORD && bytes.size() == 4) {
        std::int32_t n = 0;
        std::memcpy(&n, bytes.data(), 4);
        return std::to_string(n);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) return "\"" + AnsiToUtf8(bytes.c_str()) + "\"";
    return "(a value of type " + std::to_string(type) + ")";
}

// What is wrong with the campaign file at `path`, by the rule every tool
// applies; empty when it is a campaign or is not there (the gates say so).
std::string CampaignFileProblem(const char* path, std::string& bytes, CampaignForm& form) {
    std::string unread;
    if (!ReadWholeFile(path, bytes, unread) || bytes.empty()) return std::string();
    const std::string why = CampaignProblem(path, bytes, form);
    return why.empty() ? why : AnsiToUtf8(path) + why;
}

// What to do when the machine has no suite, as commands to paste.
void PrintSuiteHint(const char* target, bool campaignGiven) {
    if (std::getenv("QUENTRA_COMMAND") == nullptr) {
        Print("hint: this machine has no Corvel suite the plug-in accepts; install the suite, or try the "
              "campaign on a test machine that has it\n");
        return;
    }
    Print("hint: this machine has no Corvel suite; make a sandbox machine that has one and ask it:\n"
          "  %s%s\n  QUENTRA_MACHINE=sandbox %s doctor 'C:\\CorvelSafe\\Tray\\Quentra.dll'\n",
          OtherTool("quentra-sandbox").c_str(),
          campaignGiven ? (" --campaign " + ShellQuoted(UserPath(target))).c_str() : "",
          OtherTool("quentra-host").c_str());
}

bool HasExtension(const char* path, const char* extension) { return lstrcmpiA(PathFindExtensionA(path), extension) == 0; }

}  // namespace

int RunDoctor(const char* target) {
    char full[MAX_PATH] = {};
    const DWORD fullLength = GetFullPathNameA(target, MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return Fail("quentra-host: bad path %s\n", target);
    const bool campaignGiven = HasExtension(full, ".dat") || HasExtension(full, ".ini");
    const DWORD attributes = GetFileAttributesA(full);
    if (campaignGiven && (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        return Fail("quentra-host: campaign file not found: %s\n", target);
    }
    // The verdict comes from the decision code built into this tool, not
    // from the DLL: so first prove that the DLL is the plug-in, and say when
    // its version is not the one this tool's decision belongs to.
    std::string versionNote;
    if (!campaignGiven) {
        PluginDllInfo info;
        std::string why;
        if (!InspectPluginDll(full, info, why) || !(why = PluginDllProblem(full, info)).empty()) {
            return Fail("quentra-host: %s\n", why.c_str());
        }
        if (info.fileVersion.empty()) {
            return Fail("quentra-host: %s has no version resource: it is not a Quentra.dll build\n", target);
        }
        versionNote = "decision: the one built into quentra-host " QUENTRA_VERSION "; the DLL is " + info.fileVersion;
        if (info.fileVersion != QUENTRA_VERSION) {
            versionNote += "\nwarning: the DLL's version differs from this tool's: its decision may differ from the "
                           "verdict below; use the quentra-host of the DLL's release";
        }
    } else {
        versionNote = "decision: the one built into quentra-host " QUENTRA_VERSION;
    }
    char campaign[MAX_PATH] = {};
    ScratchFile encoded;  // an author's .ini, encoded as the plug-in expects its campaign file
    std::string bytes, problem;
    CampaignForm form = CampaignForm::Encoded;
    if (campaignGiven) {
        // A file that is no campaign is named for what it is, as check does.
        problem = CampaignFileProblem(full, bytes, form);
        if (!problem.empty()) return Fail("quentra-host: %s\n", problem.c_str());
        if (form == CampaignForm::Plain && (!encoded.Create() || !encoded.Write(AsDeployed(bytes, form)))) {
            return Fail("quentra-host: cannot encode %s into a temporary campaign file\n", target);
        }
        lstrcpynA(campaign, form == CampaignForm::Plain ? encoded.path.c_str() : full, MAX_PATH);
    } else {
        lstrcpynA(campaign, full, MAX_PATH);
        PathRemoveFileSpecA(campaign);
        if (!PathAppendA(campaign, kCampaignFileName)) return Fail("quentra-host: path too long: %s\n", target);
        problem = CampaignFileProblem(campaign, bytes, form);
    }

    std::string stored;
    {
        UniqueRegKey key;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBookkeepingKey, 0, KEY_QUERY_VALUE, key.receive());
        stored = "BoxPurpose=" + StoredValue(key.get(), kPurposeValue) +
                 " BoxPopupCount=" + StoredValue(key.get(), kPopupCountValue) +
                 " BoxLastestPopupDay=" + StoredValue(key.get(), kLastPopupValue);
    }

    PopupWorkspace workspace;
    CheckFacts facts;
    const CheckOutcome outcome = EvaluatePopup(workspace, campaign, CheckMode::DryRun, &facts);
    const GateRun run{workspace, campaign, CheckMode::DryRun, facts};

    Print("campaign file: %s%s\n", AnsiToUtf8(full).c_str(),
          campaignGiven ? "" : (std::string(" -> ") + AnsiToUtf8(campaign)).c_str());
    Print("%s\n", versionNote.c_str());
    Print("stored: %s\n", stored.c_str());
    if (facts.purposeChanged) {
        Print("Purpose differs from the stored BoxPurpose: a real check stores it and resets the count and the "
              "stamp, and the gates below assume that reset (this dry run changed nothing).\n");
    }
    for (std::size_t i = 0; i < kGateCount; ++i) {
        const Gate& gate = kGates[i];
        const char* verdict = i < facts.stoppedAt ? "pass" : (i == facts.stoppedAt ? "STOP" : "----");
        std::string seen = i <= facts.stoppedAt ? AnsiToUtf8(gate.seen(run).c_str()) : std::string();
        // What ended the check says what it read, so the fix can be found.
        if (i == facts.stoppedAt) seen += (seen.empty() ? "" : "; ") + std::string("read: ") + gate.reads;
        Print("[%s] %-24s %s\n", verdict, gate.label, seen.c_str());
    }
    // The loader reads whatever a file decodes to; what it is, is said here.
    if (!problem.empty() && outcome != CheckOutcome::Show) Print("cause: %s\n", problem.c_str());
    if (outcome == CheckOutcome::SuiteMissing || outcome == CheckOutcome::InstallerMissing) {
        PrintSuiteHint(target, campaignGiven);
    }
    Print("message: %s\n", AnsiToUtf8(workspace.composedMessage).c_str());
    Print("ended by: %s\n", CheckOutcomeName(outcome));
    Print("answer: %d (dry run: nothing recorded, no report sent)\n", outcome == CheckOutcome::Show ? 1 : 0);
    return 0;
}
