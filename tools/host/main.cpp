// quentra-host: plays the tray host's part against a Quentra.dll, the way the
// suite's tray process drives it, and prints what it sees in UTF-8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quentra/quentra.h"
#include "host.h"

namespace {

const char kUsage[] =
    "usage: quentra-host run DLL [--accept] [--user-delay MS] [--checks N] [--wait-reports MS]\n"
    "           version, create, check (N times, default 1); on a yes print the\n"
    "           balloon's texts; with --accept run the install command, after MS\n"
    "           milliseconds of the user reading the balloon with --user-delay;\n"
    "           destroy and unload. With --wait-reports, stay up to MS milliseconds\n"
    "           until the plug-in's report threads have ended and it is unmapped.\n"
    "       quentra-host version DLL\n"
    "           version, create, destroy.\n"
    "       quentra-host preview CAMPAIGN [--desktop NAME.lnk ...] [--seconds N]\n"
    "           show the campaign's balloon through a notification icon, with the\n"
    "           Quentra.dll beside this program; for a sandbox prefix (the Linux\n"
    "           wrapper's preview runs one under Xvfb and saves a PNG).\n"
    "       quentra-host doctor DLL\n"
    "           dry run of the decision on the campaign beside DLL: every gate with\n"
    "           the values it saw, and the gate that ended it. Records nothing.\n";

struct Exports {
    PFN_TCGetVer getVer;
    PFN_TCCreate create;
    PFN_TCDestory destroy;
    PFN_TCCheck check;
    PFN_TCEnum enumerate;
    PFN_TCDoCommand doCommand;
};

int Fail(const char* what) {
    std::fprintf(stderr, "quentra-host: %s\n", what);
    return 1;
}

template <typename T>
bool Resolve(HMODULE module, const char* name, T& out) {
    out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (out == nullptr) std::fprintf(stderr, "quentra-host: the DLL has no export named %s\n", name);
    return out != nullptr;
}

HMODULE LoadPlugin(const char* path) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "quentra-host: DLL not found: %s\n", path);
        return nullptr;
    }
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        if (error == ERROR_BAD_EXE_FORMAT) {
            std::fprintf(stderr, "quentra-host: %s is built for another architecture than this %d-bit host\n", path,
                         static_cast<int>(sizeof(void*) * 8));
        } else {
            std::fprintf(stderr, "quentra-host: cannot load %s (error %lu)\n", path, error);
        }
    }
    return module;
}

void PrintText(const char* label, const char* text) {
    std::printf("%-9s %s\n", label, AnsiToUtf8(text).c_str());
}

// A whole decimal number from 1 to 100000000; nothing else is accepted.
bool ParseCount(const char* text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 100000000) return false;
    out = static_cast<int>(v);
    return true;
}

// After the host's FreeLibrary the library stays mapped while its report
// threads hold their references; it goes away when the last one ends.
void WaitForReports(const std::string& libraryPath, int waitMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (GetModuleHandleA(libraryPath.c_str()) == nullptr) {
            std::printf("reports   ended; library unmapped %llu ms after unload\n",
                        static_cast<unsigned long long>(elapsed));
            return;
        }
        if (elapsed >= static_cast<ULONGLONG>(waitMs)) {
            std::printf("reports   still running after %d ms; leaving them to the process exit\n", waitMs);
            return;
        }
        Sleep(20);
    }
}

struct RunOptions {
    bool accept = false;
    int userDelayMs = 0;
    int checks = 1;
    int waitReportsMs = 0;
};

int Run(const char* dllPath, const RunOptions& options, bool versionOnly) {
    HMODULE module = LoadPlugin(dllPath);
    if (module == nullptr) return 1;
    Exports x{};
    // Every export is looked up, so that all missing names are reported.
    int missing = 0;
    missing += Resolve(module, "TCGetVer", x.getVer) ? 0 : 1;
    missing += Resolve(module, "TCCreate", x.create) ? 0 : 1;
    missing += Resolve(module, "TCDestory", x.destroy) ? 0 : 1;
    missing += Resolve(module, "TCCheck", x.check) ? 0 : 1;
    missing += Resolve(module, "TCEnum", x.enumerate) ? 0 : 1;
    missing += Resolve(module, "TCDoCommand", x.doCommand) ? 0 : 1;
    if (missing != 0) {
        FreeLibrary(module);
        return 1;
    }
    int version = 0;
    const int gotVersion = x.getVer(&version);
    std::printf("version   %d (TCGetVer answered %d)\n", version, gotVersion);
    QUENTRA_INSTANCE instance = x.create();
    if (instance == nullptr) {
        FreeLibrary(module);
        return Fail("TCCreate returned null");
    }
    std::printf("create    ok\n");
    if (!versionOnly) {
        for (int i = 0; i < options.checks; ++i) {
            const int answer = x.check(instance);
            std::printf("check     %d\n", answer);
            if (answer != 1) continue;
            std::vector<char> title(256, 0), message(QUENTRA_MESSAGE_SIZE, 0), command(256, 0), id(256, 0);
            int level = 0, flag = 0;
            const int got = x.enumerate(instance, 0, title.data(), 256, message.data(), QUENTRA_MESSAGE_SIZE, &level,
                                        command.data(), 256, &flag, id.data(), 256);
            std::printf("enum      %d\n", got);
            PrintText("title", title.data());
            PrintText("message", message.data());
            std::printf("level     %d\n", level);
            PrintText("command", command.data());
            std::printf("flag      %d\n", flag);
            PrintText("id", id.data());
            if (!options.accept) continue;
            if (options.userDelayMs > 0) {
                std::printf("user      reads the balloon for %d ms, then accepts\n", options.userDelayMs);
                std::fflush(stdout);
                Sleep(static_cast<DWORD>(options.userDelayMs));
            }
            std::printf("install   %d\n", x.doCommand(instance, 0));
        }
    }
    std::printf("destroy   %d\n", x.destroy(instance));
    char libraryPath[MAX_PATH] = {};
    const DWORD pathLength = GetModuleFileNameA(module, libraryPath, MAX_PATH);
    FreeLibrary(module);
    if (options.waitReportsMs > 0 && pathLength > 0 && pathLength < MAX_PATH) {
        WaitForReports(libraryPath, options.waitReportsMs);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

std::string AnsiToUtf8(const char* text) {
    const int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (wide <= 0) return text;
    std::vector<wchar_t> w(static_cast<std::size_t>(wide));
    MultiByteToWideChar(CP_ACP, 0, text, -1, w.data(), wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), -1, out.data(), bytes, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    const char* dll = argv[2];
    if (command == "doctor" && argc == 3) return RunDoctor(dll);
    if (command == "preview") return RunPreview(argc, argv);
    if (command == "version" && argc == 3) return Run(dll, RunOptions(), true);
    if (command == "run") {
        RunOptions options;
        for (int i = 3; i < argc; ++i) {
            if (std::strcmp(argv[i], "--accept") == 0) {
                options.accept = true;
            } else if (std::strcmp(argv[i], "--checks") == 0 && i + 1 < argc) {
                if (!ParseCount(argv[++i], options.checks)) return Fail("--checks takes a number of at least 1");
            } else if (std::strcmp(argv[i], "--user-delay") == 0 && i + 1 < argc) {
                if (!ParseCount(argv[++i], options.userDelayMs)) {
                    return Fail("--user-delay takes a number of milliseconds, at least 1");
                }
            } else if (std::strcmp(argv[i], "--wait-reports") == 0 && i + 1 < argc) {
                if (!ParseCount(argv[++i], options.waitReportsMs)) {
                    return Fail("--wait-reports takes a number of milliseconds, at least 1");
                }
            } else {
                std::fprintf(stderr, "quentra-host: unknown option %s\n%s", argv[i], kUsage);
                return 2;
            }
        }
        return Run(dll, options, false);
    }
    std::fputs(kUsage, stderr);
    return 2;
}
