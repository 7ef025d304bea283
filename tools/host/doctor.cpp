// quentra-host doctor: why the balloon does or does not show on this machine,
// and whether the campaign can show at all. It links the plug-in's own
// decision code and runs it as a dry run, gate by gate from the one gate
// table, on the campaign file beside the named DLL or on a campaign file
// named directly (.dat as deployed, or an author's .ini). Past the gate that
// stops a real check it goes on, so that a machine without the suite still
// hears about the campaign's own gates; a campaign that fails one of them on
// every machine on every day exits kExitNeverShows with the cause and the fix.
// It never records a showing, never sends a report and changes nothing
// stored: a campaign whose Purpose differs from the stored one is not
// written, and the gates see the count and stamp reset that the next real
// check would make.
#include <windows.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "campaign/decode.h"
#include "campaign/rules.h"
#include "campaign_arg.h"
#include "codepage.h"
#include "common/handles.h"
#include "decision/check.h"
#include "decision/gates.h"
#include "dry_run.h"
#include "environment/bookkeeping.h"
#include "files.h"
#include "host.h"
#include "ini_text.h"
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

// `name` in the folder of the path `given`, spelt as the user spelt that path.
std::string Beside(const std::string& given, const char* name) {
    const std::size_t slash = given.find_last_of("/\\");
    return (slash == std::string::npos ? std::string() : given.substr(0, slash + 1)) + name;
}

// What a failed gate of the machine says about this machine.
const char* MachineNote(CheckOutcome outcome) {
    switch (outcome) {
        case CheckOutcome::VaultInstalled: return "this machine: the vault product is installed";
        case CheckOutcome::SuiteMissing: return "this machine: no suite";
        case CheckOutcome::InstallerMissing: return "this machine: no suite installer";
        case CheckOutcome::InstallRunning: return "this machine: an installation is running";
        default: return nullptr;
    }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = from.empty() ? std::string::npos : text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Every gate, in table order, with its verdict: pass; STOP, where a real
// check on this machine ends; fail, a later gate that fails too; ----, a gate
// after a campaign that did not load. Each path in `shown` stands for the
// path its pair names, as Wine handed it to the gates.
using PathNames = std::vector<std::pair<std::string, std::string>>;
void PrintRows(const GateWalk& walk, const PathNames& shown) {
    for (std::size_t i = 0; i < kGateCount; ++i) {
        const bool run = i < walk.rows.size();
        const CheckOutcome outcome = run ? walk.rows[i].outcome : CheckOutcome::Show;
        const char* verdict = !run ? "----" : i == walk.facts.stoppedAt ? "STOP" : outcome == CheckOutcome::Show ? "pass" : "fail";
        std::string seen = run ? walk.rows[i].seen : std::string();
        for (const auto& name : shown) seen = Replaced(seen, name.first, name.second);
        if (const char* note = run ? MachineNote(outcome) : nullptr) seen = note + (seen.empty() ? "" : " (" + seen + ")");
        // What ended the check says what it read, so the fix can be found.
        if (i == walk.facts.stoppedAt) seen += (seen.empty() ? "" : "; ") + std::string("read: ") + kGates[i].reads;
        Print("[%s] %-25s %s\n", verdict, kGates[i].label, seen.c_str());
    }
}

// The gates the loaded campaign fails on every machine on every day, with
// each one's fix; false when there is none.
bool PrintNever(const GateWalk& walk, const CampaignConfig& campaign) {
    if (walk.never >= kGateCount) return false;
    Print("never: this campaign never shows, on any machine on any day:\n");
    for (std::size_t i = walk.never; i < kGateCount; ++i) {
        const char* why = kGates[i].never != nullptr ? kGates[i].never(campaign) : nullptr;
        if (why != nullptr) {
            Print("  \"%s\": %s (%s)\n  fix: %s\n", kGates[i].label, why, walk.rows[i].seen.c_str(), kGates[i].fix);
        }
    }
    return true;
}

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
    // The paths as the user wrote them, never as Wine's drive letters.
    const std::string shownTarget = AnsiToUtf8(target);
    const std::string shownCampaign = campaignGiven ? shownTarget : AnsiToUtf8(Beside(target, kCampaignFileName));
    char campaign[MAX_PATH] = {};
    ScratchFile encoded;  // what the loader reads when the file given is not the deployed form
    std::string bytes, problem, utf8Warning;
    CampaignForm form = CampaignForm::Encoded;
    if (campaignGiven) {
        // A file that is no campaign is named for what it is, as check does.
        problem = CampaignFileProblem(full, bytes, form);
        if (!problem.empty()) return Fail("quentra-host: %s\n", Replaced(problem, AnsiToUtf8(full), shownTarget).c_str());
        // An author's text is tried as every tool tries it: UTF-8 converted.
        bool converted = false;
        std::string lost;
        const std::string plain = TextToTry(AsPlain(bytes, form), converted, lost);
        if (converted) utf8Warning = Utf8Warning(shownTarget, form == CampaignForm::Encoded) + "; tried as converted";
        const bool scratch = converted || form == CampaignForm::Plain;
        if (scratch && (!encoded.Create() || !encoded.Write(Encoded(plain)))) {
            return Fail("quentra-host: cannot encode %s into a temporary campaign file\n", target);
        }
        lstrcpynA(campaign, scratch ? encoded.path.c_str() : full, MAX_PATH);
    } else {
        lstrcpynA(campaign, full, MAX_PATH);
        PathRemoveFileSpecA(campaign);
        if (!PathAppendA(campaign, kCampaignFileName)) return Fail("quentra-host: path too long: %s\n", target);
        problem = CampaignFileProblem(campaign, bytes, form);
        if (problem.empty() && !bytes.empty() && LooksLikeUtf8(AsPlain(bytes, form))) {
            utf8Warning = Utf8Warning(shownCampaign, true);
        }
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
    const GateWalk walk = WalkAllGates(workspace, campaign);

    Print("campaign file: %s%s\n", shownTarget.c_str(), campaignGiven ? "" : (" -> " + shownCampaign).c_str());
    Print("%s\n", versionNote.c_str());
    Print("stored: %s\n", stored.c_str());
    if (!utf8Warning.empty()) Print("warning: %s\n", utf8Warning.c_str());
    if (walk.facts.purposeChanged) {
        Print("Purpose differs from the stored BoxPurpose: a real check stores it and resets the count and the "
              "stamp, and the gates below assume that reset (this dry run changed nothing).\n");
    }
    PrintRows(walk, {{AnsiToUtf8(campaign), shownCampaign},
                     {AnsiToUtf8(workspace.hostConfigPath), UserPath(AnsiToUtf8(workspace.hostConfigPath))}});
    // The loader reads whatever a file decodes to; what it is, is said here.
    if (!problem.empty() && walk.outcome != CheckOutcome::Show) {
        Print("cause: %s\n", Replaced(problem, AnsiToUtf8(campaign), shownCampaign).c_str());
    }
    if (walk.outcome == CheckOutcome::SuiteMissing || walk.outcome == CheckOutcome::InstallerMissing) {
        PrintSuiteHint(target, campaignGiven);
    }
    if (walk.outcome == CheckOutcome::Show) {
        Print("message: %s\n", walk.message.c_str());
    } else {
        Print("message: (none: the check answers 0)%s%s\n", walk.message.empty() ? "" : "; had the gates passed: ",
              walk.message.c_str());
    }
    Print("ended by: %s\n", CheckOutcomeName(walk.outcome));
    Print("answer: %d (dry run: nothing recorded, no report sent)\n", walk.outcome == CheckOutcome::Show ? 1 : 0);
    return PrintNever(walk, workspace.config) ? kExitNeverShows : 0;
}
