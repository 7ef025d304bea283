// quentra-host preview: shows the balloon of a campaign the way a tray shows
// it, with a real notification icon. Meant to run inside a throwaway sandbox
// prefix (tools/quentra-host preview does that, under Xvfb, and saves a PNG):
// it makes the machine one on which the suite is installed, puts the named
// shortcuts on the desktop (the wrapper emptied it first), and runs the
// plug-in's own gates as a dry run on the campaign it was given.
//
// The preview answers for the campaign, not for today: a gate that only says
// whether the balloon shows today (the weekday, the count, the once-a-day
// stamp, the opt-out, the architecture) is printed as a note and the walk
// goes on, so the author sees the balloon and why it might not show. A gate
// that the campaign fails on every day (a weekday mask of 0, MaxPopupTimes 0,
// a refused Message, no pattern) is said to never pass, with its fix, and
// the preview ends with kExitNeverShows, the balloon drawn when it can be. A
// desktop that gives nothing to show (no campaign in the file, no shortcut
// that matches) is named as the cause, and the preview ends with 1. Without
// --desktop the desktop holds a shortcut named after the campaign's first
// pattern. A text saved as UTF-8 is drawn as converted, with a warning, as
// every tool tries it.
//
// That preparation would damage a real machine (it re-registers the suite,
// removes the vault product's key and the bookkeeping), so the command runs
// only inside the wrapper's sandbox: the wrapper writes a token into
// C:\quentra-preview-sandbox of the prefix it made and hands the same token
// over in QUENTRA_PREVIEW_SANDBOX. Anywhere else it refuses, changing nothing.
// Even in the sandbox it removes only the shortcuts it made itself, and it
// removes them before it ends, so the wrapper waits for its last line
// ("end N", N its exit code) before it stops Wine.
//
// Wine's balloon does not wrap its lines, so a long line would run off the
// screen and the PNG would hide the middle of the message. The preview lays
// the text out as a tray does instead: cut at the balloon's limit on a
// character boundary, then wrapped at kWrapWidth pixels of the balloon's
// font, so every byte the balloon holds is in the picture. It says so, and
// exits 3 when it printed a warning. What the picture cannot show (the
// command text, where a text was cut) it prints on "caption" and "cut" lines,
// which the wrapper writes under the picture.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "../common/balloon.h"
#include "campaign/decode.h"
#include "campaign/rules.h"
#include "campaign_arg.h"
#include "codepage.h"
#include "decision/check.h"
#include "decision/gates.h"
#include "dry_run.h"
#include "ini_text.h"
#include "common/handles.h"
#include "common/ansi.h"
#include "common/text.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "files.h"
#include "host.h"
#include "quentra/quentra.h"

namespace {

// A suite that the plug-in accepts, in this prefix only.
bool PrepareMachine(const std::string& root) {
    const std::string modules = root + "\\modules";
    SHCreateDirectoryExA(nullptr, modules.c_str(), nullptr);
    const std::string exe = root + "\\Corvelsafe.exe";
    if (!WriteWholeFile(exe, "preview") || !WriteWholeFile(modules + "\\Corvelinst.exe", "preview")) return false;
    SHSetValueA(HKEY_LOCAL_MACHINE, kSuiteAppPathKey, nullptr, REG_SZ, exe.c_str(), static_cast<DWORD>(exe.size() + 1));
    SHSetValueA(HKEY_LOCAL_MACHINE, kSuiteAppPathKey, "Path", REG_SZ, root.c_str(), static_cast<DWORD>(root.size() + 1));
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kVaultAppPathKey);
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kBookkeepingKey);
    return true;
}

// The width a tray's balloon gives a line of its text.
constexpr int kWrapWidth = 360;

// Warns about a text that the balloon cannot hold, showing what it keeps,
// and answers the part that shows: whole characters within `limit` bytes.
std::string Fit(const char* what, const std::string& text, std::size_t limit, int& warnings) {
    const BalloonCut cut = CutForBalloon(AnsiLeadBytes(), text.c_str(), limit);
    const std::string shown = text.substr(0, cut.kept);
    if (cut.kept == text.size()) return shown;
    ++warnings;
    Print("warning: the %s is %zu bytes; a tray balloon holds %zu, so it is cut to: %s%s\n", what, text.size(),
          limit, AnsiToUtf8(shown.c_str()).c_str(),
          cut.splitsCharacter ? " (and a cut by bytes would split a Chinese character)" : "");
    const std::size_t tail = CutForBalloon(AnsiLeadBytes(), shown.c_str(), shown.size() > 12 ? shown.size() - 12 : 0).kept;
    Print("cut       the %s ends at \"...%s\"; the last %zu of its %zu bytes never show\n", what,
          AnsiToUtf8(shown.c_str() + tail).c_str(), text.size() - shown.size(), text.size());
    return shown;
}

// The balloon's font and the screen's device context, which the layout measures with.
void ReleaseScreenDc(HDC dc) { ReleaseDC(nullptr, dc); }
using UniqueFont = UniqueHandle<HandleKind<HFONT, DeleteObject>>;
using UniqueScreenDc = UniqueHandle<HandleKind<HDC, ReleaseScreenDc>>;

// `text` in lines of the balloon's font no wider than kWrapWidth.
std::string LaidOut(const std::string& text) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    const UniqueFont font(CreateFontIndirectW(&metrics.lfStatusFont));
    const UniqueScreenDc dc(GetDC(nullptr));
    if (!font || !dc) return text;
    const HGDIOBJ previous = SelectObject(dc.get(), font.get());
    const std::string wrapped =
        WrapBalloonText(AnsiLeadBytes(), text, kWrapWidth, [&](const char* first, const char* next) {
            const std::wstring w = Widen(std::string(first, next), CP_ACP);
            SIZE size = {};
            GetTextExtentPoint32W(dc.get(), w.c_str(), static_cast<int>(w.size()), &size);
            return static_cast<int>(size.cx);
        });
    SelectObject(dc.get(), previous);
    return wrapped;
}

// True when this process runs in the sandbox prefix the wrapper made.
bool InWrapperSandbox() {
    char token[128] = {};
    const DWORD n = GetEnvironmentVariableA("QUENTRA_PREVIEW_SANDBOX", token, sizeof token);
    if (n < 16 || n >= sizeof token) return false;
    char drive[MAX_PATH] = {};
    const DWORD d = GetEnvironmentVariableA("SystemDrive", drive, sizeof drive);
    if (d == 0 || d >= sizeof drive) return false;
    std::string marker, why;
    return ReadWholeFile(std::string(drive) + "\\quentra-preview-sandbox", marker, why) && marker.compare(0, n, token) == 0 && marker.find_first_not_of("\r\n", n) == std::string::npos;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcA(window, message, w, l);
}

}  // namespace

namespace {

// Gates that leave the preview nothing to draw: no campaign, no pattern, no
// shortcut of this desktop that matches, a template it refuses. The others
// only decide whether the balloon shows on this machine today.
bool StopsRendering(CheckOutcome outcome) {
    return outcome == CheckOutcome::CampaignUnreadable || outcome == CheckOutcome::NoPatterns ||
           outcome == CheckOutcome::NoShortcutMatch || outcome == CheckOutcome::MessageRefused;
}

std::string Listed(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " | ") + AnsiToUtf8(n.c_str());
    return out.empty() ? "(none)" : out;
}

// The gates of a real check, as a dry run on `campaignPath` and this
// machine. A gate the campaign fails on every day is said first ("never",
// with its fix, and `never` is set); a gate that only keeps the balloon from
// showing today is a note. False, after the cause, when this desktop gives
// nothing to draw.
bool WalkGates(PopupWorkspace& workspace, const std::string& campaignPath, const std::vector<std::string>& shortcuts,
               bool& never) {
    const GateWalk walk = WalkAllGates(workspace, campaignPath.c_str());
    never = walk.never < kGateCount;
    for (std::size_t i = walk.never; i < kGateCount; ++i) {
        const char* why = kGates[i].never != nullptr ? kGates[i].never(workspace.config) : nullptr;
        if (why != nullptr) {
            Print("never     the campaign never shows on any day: \"%s\": %s (%s); fix: %s\n", kGates[i].label, why,
                  walk.rows[i].seen.c_str(), kGates[i].fix);
        }
    }
    bool first = true;
    for (std::size_t at = walk.facts.stoppedAt; at < walk.rows.size(); ++at) {
        const GateRow& row = walk.rows[at];
        if (row.outcome == CheckOutcome::Show) continue;
        if (StopsRendering(row.outcome)) {
            Print("error: cannot render: %s (gate \"%s\"%s%s)", CheckOutcomeName(row.outcome), kGates[at].label,
                  row.seen.empty() ? "" : ": ", row.seen.c_str());
            if (row.outcome == CheckOutcome::NoShortcutMatch) {
                Print("; patterns: %s; desktop: %s",
                      Listed(workspace.config.GameScanNotice().ScanPatterns).c_str(), Listed(shortcuts).c_str());
            }
            Print("\n");
            return false;
        }
        if (kGates[at].never != nullptr && kGates[at].never(workspace.config) != nullptr) continue;  // said above
        Print("note      %s \"%s\": %s%s%s; the preview renders the balloon anyway\n",
              first ? "a real check today would stop at" : "and at", kGates[at].label,
              CheckOutcomeName(row.outcome), row.seen.empty() ? "" : ": ", row.seen.c_str());
        first = false;
    }
    return true;
}

// The lines the log ends with: the exit code, once the shortcuts this run
// made are gone.
int Ended(int code) {
    Print("end       %d\n", code);
    return code;
}

// The campaign's balloon on a notification icon of this process, until the
// file `until` exists (the wrapper makes it once its picture is taken) or a
// minute has passed. Answers the exit code: kExitNeverShows for a campaign
// that never shows (drawn when it can be), else 1 when it cannot render, 3
// after a warning, else 0.
int ShowBalloon(const std::string& root, const std::string& campaign, const std::vector<std::string>& shortcuts,
                bool iconOnly, const std::string& until, int warnings) {
    PopupWorkspace workspace;
    // The preview's own config.ini, which opts nothing out: the host's
    // would be another machine's.
    workspace.hostConfigPath = root + "\\config.ini";
    bool never = false;
    if (!WalkGates(workspace, campaign, shortcuts, never)) return never ? kExitNeverShows : 1;
    const GameScanNoticeRecord& notice = workspace.config.GameScanNotice();
    const std::string title = notice.Title;
    const std::string message = workspace.composedMessage;
    Print("title     %s\nmessage   %s\n", AnsiToUtf8(title.c_str()).c_str(), AnsiToUtf8(message.c_str()).c_str());
    Print("caption   command text: %s\n", AnsiToUtf8(notice.CommandText.c_str()).c_str());

    const std::string shownTitle = Fit("title", title, kBalloonTitleBytes, warnings);
    const std::string shownText = Fit("message", message, kBalloonTextBytes, warnings);
    if (title.find_first_of("\r\n") != std::string::npos) {
        ++warnings;
        Print("warning: the title holds a line end; a tray balloon shows its title on one line\n");
    }
    if (title.empty()) {
        ++warnings;
        Print("warning: the title is empty; the balloon shows no heading\n");
    }
    const std::string laidOut = LaidOut(shownText);
    Print("layout    the text is wrapped at %d pixels on character boundaries, as a tray lays it out (Wine's "
          "balloon does not wrap), so all %zu bytes the balloon holds are in the picture:\n",
          kWrapWidth, shownText.size());
    std::string line;
    for (const char* p = laidOut.c_str();;) {
        if (*p == '\0' || *p == '\n') {
            Print("  | %s\n", AnsiToUtf8(line.c_str()).c_str());
            line.clear();
            if (*p++ == '\0') break;
            continue;
        }
        const char* next = NextChar(AnsiLeadBytes(), p);
        line.append(p, next);
        p = next;
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QuentraPreview";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("QuentraPreview", "Quentra preview", 0, 0, 0, 0, 0, nullptr, nullptr,
                                wc.hInstance, nullptr);
    NOTIFYICONDATAA icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    icon.uCallbackMessage = WM_APP;
    icon.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32516));  // IDI_INFORMATION
    lstrcpynA(icon.szTip, "Corvel", sizeof icon.szTip);
    Shell_NotifyIconA(NIM_ADD, &icon);
    // The laid-out text through the wide structure: its line feeds may take
    // the text past the 255 bytes of the ANSI one, never past 255 characters.
    NOTIFYICONDATAW info = {};
    info.cbSize = sizeof info;
    info.hWnd = window;
    info.uID = icon.uID;
    info.uFlags = NIF_INFO;
    lstrcpynW(info.szInfoTitle, Widen(shownTitle, CP_ACP).c_str(), ARRAYSIZE(info.szInfoTitle));
    const std::wstring wideText = Widen(laidOut, CP_ACP);
    if (wideText.size() >= ARRAYSIZE(info.szInfo)) {
        ++warnings;
        Print("warning: with its line breaks the text takes %zu characters, more than the %zu a balloon "
              "holds: the picture ends before the text does\n",
              wideText.size(), ARRAYSIZE(info.szInfo) - 1);
    }
    lstrcpynW(info.szInfo, wideText.c_str(), ARRAYSIZE(info.szInfo));
    info.dwInfoFlags = NIIF_INFO;
    info.uTimeout = 30000;
    if (!iconOnly) Shell_NotifyIconW(NIM_MODIFY, &info);
    Print("%s until the picture is taken\n", iconOnly ? "icon      shown without its balloon" : "balloon   shown");

    // A minute bounds the wait for a wrapper that went away.
    const ULONGLONG end = GetTickCount64() + 60000;
    while (GetTickCount64() < end && (until.empty() || !PathFileExistsA(until.c_str()))) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(50);
    }
    Shell_NotifyIconA(NIM_DELETE, &icon);
    DestroyWindow(window);
    return never ? kExitNeverShows : warnings > 0 ? 3 : 0;
}

}  // namespace

int RunPreview(int argc, char** argv) {
    // preview CAMPAIGN [--desktop NAME.lnk ...] [--icon-only] [--log FILE] [--until FILE]
    if (argc < 3) {
        Fail("usage: quentra-host preview CAMPAIGN [--desktop NAME.lnk ...] [--icon-only] "
             "[--log FILE] [--until FILE]\n");
        return 2;
    }
    if (!InWrapperSandbox()) {
        Fail("quentra-host: preview prepares the machine it runs on (suite registration, vault product, "
             "popup bookkeeping, desktop shortcuts), so it runs only in the sandbox that the Linux wrapper "
             "tools/quentra-host makes; nothing was changed. To see a campaign's balloon, run "
             "tools/quentra-host preview CAMPAIGN --png FILE on Linux, or use quentra-campaign check.\n");
        return 2;
    }
    const char* campaignPath = argv[2];
    std::vector<std::string> shortcuts;
    std::string until;
    bool iconOnly = false;
    bool desktopGiven = false;
    UniqueFileHandle log;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--icon-only") == 0) {
            iconOnly = true;
        } else if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            // Started by a virtual desktop's explorer, this program has no
            // console of its caller: what it says goes to a file instead.
            log.reset(CreateFileA(argv[++i], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!log || !SetStdHandle(STD_OUTPUT_HANDLE, log.get())) return 1;
        } else if (std::strcmp(argv[i], "--until") == 0 && i + 1 < argc) {
            until = argv[++i];
        } else if (std::strcmp(argv[i], "--desktop") == 0 && i + 1 < argc) {
            // A shortcut is a .lnk file; a bare name gets the extension. An
            // empty name is a desktop with no shortcut at all.
            desktopGiven = true;
            std::string name = argv[++i];
            if (name.empty()) continue;
            const std::size_t n = name.size();
            if (n < 4 || lstrcmpiA(name.c_str() + n - 4, ".lnk") != 0) name += ".lnk";
            shortcuts.push_back(name);
        } else {
            Fail("quentra-host: unknown preview option %s\n", argv[i]);
            return 2;
        }
    }
    std::string bytes, why;
    const std::string shown = AnsiToUtf8(UserPath(campaignPath));
    if (!ReadWholeFile(campaignPath, bytes, why) || bytes.empty()) {
        Print("error: cannot read the campaign %s\n", shown.c_str());
        return Ended(1);
    }
    CampaignForm form;
    const std::string problem = CampaignProblem(campaignPath, bytes, form);
    if (!problem.empty()) {
        Print("error: cannot render: %s%s\n", shown.c_str(), problem.c_str());
        return Ended(1);
    }
    // An author's text is tried as every tool tries it: UTF-8 converted.
    int warnings = 0;
    bool converted = false;
    std::string lost;
    const std::string plain = TextToTry(AsPlain(bytes, form), converted, lost);
    if (converted) {
        ++warnings;
        Print("warning: %s; the preview shows it as converted\n",
              Utf8Warning(shown, form == CampaignForm::Encoded).c_str());
        if (!lost.empty()) Print("warning: code page 936 has no form for %s: replace it\n", lost.c_str());
    }

    char appData[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_LOCAL_APPDATA, TRUE);
    const std::string root = std::string(appData) + "\\QuentraPreview";
    SHCreateDirectoryExA(nullptr, root.c_str(), nullptr);
    const std::string campaign = root + "\\" + kCampaignFileName;
    if (!WriteWholeFile(campaign, converted ? Encoded(plain) : AsDeployed(bytes, form)) ||
        !PrepareMachine(root + "\\suite")) {
        Print("error: cannot prepare the preview sandbox under %s\n", root.c_str());
        return Ended(1);
    }
    if (!desktopGiven) {
        // No desktop named: one with a shortcut named after the campaign's
        // first pattern, so that the balloon has something to show.
        CampaignConfig config;
        const std::vector<TextString>& patterns = config.GameScanNotice().ScanPatterns;
        if (config.LoadCampaignFile(campaign.c_str()) && !patterns.empty() &&
            patterns.front().find_first_of("\\/:*?\"<>|") == TextString::npos) {
            shortcuts.push_back(patterns.front() + ".lnk");
            Print("desktop   %s (no --desktop given: a shortcut named after the campaign's first pattern)\n",
                  AnsiToUtf8(shortcuts.back().c_str()).c_str());
        }
    }
    char desktop[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, desktop, CSIDL_DESKTOP, TRUE);
    int code = 0;
    {
        // The shortcuts named for this preview; only those this run made are
        // removed again, before it ends.
        std::vector<ScratchFile> made;
        for (const std::string& name : shortcuts) {
            const std::string path = std::string(desktop) + "\\" + name;
            if (!PathFileExistsA(path.c_str()) && WriteWholeFile(path, "preview")) made.emplace_back(path);
        }
        code = ShowBalloon(root, campaign, shortcuts, iconOnly, until, warnings);
    }
    return Ended(code);
}
