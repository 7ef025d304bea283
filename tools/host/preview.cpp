// quentra-host preview: shows the balloon of a campaign the way a tray shows
// it, with a real notification icon. Meant to run inside a throwaway sandbox
// prefix (tools/quentra-host preview does that, under Xvfb, and saves a PNG):
// it makes the machine one on which the balloon shows (the suite registered,
// no vault product, no bookkeeping, the named shortcuts on the desktop), runs
// a check with the Quentra.dll beside this program, and shows what TCEnum
// hands over through Shell_NotifyIconA.
//
// That preparation would damage a real machine (it re-registers the suite,
// removes the vault product's key and the bookkeeping), so the command runs
// only inside the wrapper's sandbox: the wrapper writes a token into
// C:\quentra-preview-sandbox of the prefix it made and hands the same token
// over in QUENTRA_PREVIEW_SANDBOX. Anywhere else it refuses, changing nothing.
// Even in the sandbox it removes only the shortcuts it made itself.
//
// Wine's balloon does not wrap its lines, so a long line would run off the
// screen and the PNG would hide the middle of the message. The preview lays
// the text out as a tray does instead: cut at the balloon's limit on a
// character boundary, then wrapped at kWrapWidth pixels of the balloon's
// font, so every byte the balloon holds is in the picture. It says so, and
// exits 3 when it printed a warning.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../common/balloon.h"
#include "campaign/rules.h"
#include "common/handles.h"
#include "common/ansi.h"
#include "common/text.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "host.h"
#include "quentra/quentra.h"

namespace {


bool WriteAll(const std::string& path, const std::string& bytes) {
    UniqueFile f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    return CloseWrittenFile(f) && ok;
}

std::string FolderOf(const std::string& path) {
    char buffer[MAX_PATH];
    lstrcpynA(buffer, path.c_str(), MAX_PATH);
    PathRemoveFileSpecA(buffer);
    return buffer;
}

// A suite that the plug-in accepts, in this prefix only.
bool PrepareMachine(const std::string& root) {
    const std::string modules = root + "\\modules";
    SHCreateDirectoryExA(nullptr, modules.c_str(), nullptr);
    if (!WriteAll(root + "\\Corvelsafe.exe", "preview") || !WriteAll(modules + "\\Corvelinst.exe", "preview")) {
        return false;
    }
    const std::string exe = root + "\\Corvelsafe.exe";
    SHSetValueA(HKEY_LOCAL_MACHINE, kSuiteAppPathKey, nullptr, REG_SZ, exe.c_str(), static_cast<DWORD>(exe.size() + 1));
    SHSetValueA(HKEY_LOCAL_MACHINE, kSuiteAppPathKey, "Path", REG_SZ, root.c_str(), static_cast<DWORD>(root.size() + 1));
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kVaultAppPathKey);
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kBookkeepingKey);
    return true;
}

// The width a tray's balloon gives a line of its text.
constexpr int kWrapWidth = 360;


std::wstring Wide(const std::string& ansi) {
    if (ansi.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], n);
    return wide;
}

// Warns about a text that the balloon cannot hold, showing what it keeps,
// and answers the part that shows: whole characters within `limit` bytes.
std::string Fit(const char* what, const std::string& text, std::size_t limit, int& warnings) {
    const BalloonCut cut = CutForBalloon(AnsiLeadBytes(), text.c_str(), limit);
    const std::string shown = text.substr(0, cut.kept);
    if (cut.kept == text.size()) return shown;
    ++warnings;
    std::printf("warning: the %s is %zu bytes; a tray balloon holds %zu, so it is cut to: %s%s\n", what, text.size(),
                limit, AnsiToUtf8(shown.c_str()).c_str(),
                cut.splitsCharacter ? " (and a cut by bytes would split a Chinese character)" : "");
    return shown;
}

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
            const std::wstring w = Wide(std::string(first, next));
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
    bool ok = false;
    const std::string marker = ReadFileBytes((std::string(drive) + "\\quentra-preview-sandbox").c_str(), &ok);
    return ok && marker.compare(0, n, token) == 0 && marker.find_first_not_of("\r\n", n) == std::string::npos;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcA(window, message, w, l);
}

}  // namespace

int RunPreview(int argc, char** argv) {
    // preview CAMPAIGN [--desktop NAME.lnk ...] [--seconds N] [--icon-only] [--log FILE]
    if (argc < 3) {
        std::fprintf(stderr, "usage: quentra-host preview CAMPAIGN [--desktop NAME.lnk ...] [--seconds N]\n");
        return 2;
    }
    if (!InWrapperSandbox()) {
        std::fprintf(stderr,
                     "quentra-host: preview prepares the machine it runs on (suite registration, vault product, "
                     "popup bookkeeping, desktop shortcuts), so it runs only in the sandbox that the Linux wrapper "
                     "tools/quentra-host makes; nothing was changed. To see a campaign's balloon, run "
                     "tools/quentra-host preview CAMPAIGN --png FILE on Linux, or use quentra-campaign check.\n");
        return 2;
    }
    const char* campaignPath = argv[2];
    std::vector<std::string> shortcuts;
    int seconds = 20;
    bool iconOnly = false;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--icon-only") == 0) {
            iconOnly = true;
        } else if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            // Started by a virtual desktop's explorer, this program has no
            // console of its caller: what it says goes to a file instead.
            if (std::freopen(argv[++i], "w", stdout) == nullptr) return 1;
        } else if (std::strcmp(argv[i], "--desktop") == 0 && i + 1 < argc) {
            // A shortcut is a .lnk file; a bare name gets the extension.
            std::string name = argv[++i];
            const std::size_t n = name.size();
            if (n < 4 || lstrcmpiA(name.c_str() + n - 4, ".lnk") != 0) name += ".lnk";
            shortcuts.push_back(name);
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "quentra-host: unknown preview option %s\n", argv[i]);
            return 2;
        }
    }
    bool ok = false;
    std::string campaign = ReadFileBytes(campaignPath, &ok);
    if (!ok || campaign.empty()) {
        std::fprintf(stderr, "quentra-host: cannot read the campaign %s\n", campaignPath);
        return 1;
    }
    // A plain INI is encoded as the plug-in expects its campaign file.
    const std::size_t dot = std::string(campaignPath).find_last_of('.');
    if (dot != std::string::npos && lstrcmpiA(campaignPath + dot, ".ini") == 0) {
        const auto encoded =
            EncodeCampaignBytes(reinterpret_cast<const unsigned char*>(campaign.data()), campaign.size());
        campaign.assign(encoded.begin(), encoded.end());
    }

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string bin = FolderOf(self);
    char appData[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_LOCAL_APPDATA, TRUE);
    const std::string root = std::string(appData) + "\\QuentraPreview";
    const std::string pluginDir = root + "\\plugin";
    SHCreateDirectoryExA(nullptr, pluginDir.c_str(), nullptr);
    const std::string dll = pluginDir + "\\Quentra.dll";
    if (!CopyFileA((bin + "\\Quentra.dll").c_str(), dll.c_str(), FALSE) ||
        !WriteAll(pluginDir + "\\quentracfg.dat", campaign) || !PrepareMachine(root + "\\suite")) {
        std::fprintf(stderr, "quentra-host: cannot prepare the preview sandbox under %s\n", root.c_str());
        return 1;
    }
    char desktop[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, desktop, CSIDL_DESKTOP, TRUE);
    // The shortcuts named for this preview; only those this run made are
    // removed again when it ends.
    std::vector<std::string> made;
    for (const std::string& name : shortcuts) {
        const std::string path = std::string(desktop) + "\\" + name;
        if (!PathFileExistsA(path.c_str()) && WriteAll(path, "preview")) made.push_back(path);
    }
    struct RemoveMade {
        const std::vector<std::string>& paths;
        ~RemoveMade() {
            for (const std::string& p : paths) DeleteFileA(p.c_str());
        }
    } removeMade{made};

    const UniqueModule library(LoadLibraryA(dll.c_str()));
    const HMODULE module = library.get();
    if (module == nullptr) {
        std::fprintf(stderr, "quentra-host: cannot load %s\n", dll.c_str());
        return 1;
    }
    auto create = reinterpret_cast<PFN_TCCreate>(reinterpret_cast<void*>(GetProcAddress(module, "TCCreate")));
    auto check = reinterpret_cast<PFN_TCCheck>(reinterpret_cast<void*>(GetProcAddress(module, "TCCheck")));
    auto enumerate = reinterpret_cast<PFN_TCEnum>(reinterpret_cast<void*>(GetProcAddress(module, "TCEnum")));
    auto destroy = reinterpret_cast<PFN_TCDestory>(reinterpret_cast<void*>(GetProcAddress(module, "TCDestory")));
    QUENTRA_INSTANCE instance = create();
    const int answer = check(instance);
    std::vector<char> title(1024, 0), message(QUENTRA_MESSAGE_SIZE, 0), command(1024, 0), id(1024, 0);
    int level = 0, flag = 0;
    enumerate(instance, 0, title.data(), 1024, message.data(), QUENTRA_MESSAGE_SIZE, &level, command.data(), 1024,
              &flag, id.data(), 1024);
    destroy(instance);
    std::printf("check     %d\n", answer);
    if (answer != 1) {
        std::printf("The check answered 0: this campaign does not show with these shortcuts "
                    "(run quentra-host doctor on it to see why).\n");
        return 1;
    }
    std::printf("title     %s\nmessage   %s\n", AnsiToUtf8(title.data()).c_str(), AnsiToUtf8(message.data()).c_str());

    int warnings = 0;
    const std::string shownTitle = Fit("title", title.data(), kBalloonTitleBytes, warnings);
    const std::string shownText = Fit("message", message.data(), kBalloonTextBytes, warnings);
    if (std::strchr(title.data(), '\n') != nullptr || std::strchr(title.data(), '\r') != nullptr) {
        ++warnings;
        std::printf("warning: the title holds a line end; a tray balloon shows its title on one line\n");
    }
    if (std::strlen(title.data()) == 0) {
        ++warnings;
        std::printf("warning: the title is empty; the balloon shows no heading\n");
    }
    const std::string laidOut = LaidOut(shownText);
    std::printf("layout    the text is wrapped at %d pixels on character boundaries, as a tray lays it out (Wine's "
                "balloon does not wrap), so all %zu bytes the balloon holds are in the picture:\n",
                kWrapWidth, shownText.size());
    std::string line;
    for (const char* p = laidOut.c_str();;) {
        if (*p == '\0' || *p == '\n') {
            std::printf("  | %s\n", AnsiToUtf8(line.c_str()).c_str());
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
    lstrcpynW(info.szInfoTitle, Wide(shownTitle).c_str(), ARRAYSIZE(info.szInfoTitle));
    const std::wstring wideText = Wide(laidOut);
    if (wideText.size() >= ARRAYSIZE(info.szInfo)) {
        ++warnings;
        std::printf("warning: with its line breaks the text takes %zu characters, more than the %zu a balloon "
                    "holds: the picture ends before the text does\n",
                    wideText.size(), ARRAYSIZE(info.szInfo) - 1);
    }
    lstrcpynW(info.szInfo, wideText.c_str(), ARRAYSIZE(info.szInfo));
    info.dwInfoFlags = NIIF_INFO;
    info.uTimeout = 30000;
    if (!iconOnly) Shell_NotifyIconW(NIM_MODIFY, &info);
    std::printf("%s for %d seconds\n", iconOnly ? "icon      shown without its balloon" : "balloon   shown", seconds);
    std::fflush(stdout);

    const DWORD end = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    while (GetTickCount() < end) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(50);
    }
    Shell_NotifyIconA(NIM_DELETE, &icon);
    DestroyWindow(window);
    return warnings > 0 ? 3 : 0;
}
