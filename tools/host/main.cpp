// quentra-host: plays the tray host's part against a Quentra.dll, the way the
// suite's tray process drives it, and prints what it sees in UTF-8 (WriteUtf8).
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "campaign_arg.h"
#include "codepage.h"
#include "common/handles.h"
#include "exports.h"
#include "host.h"
#include "pe.h"
#include "usage.h"

namespace {

// The file is read as a PE image before it is loaded, so that a wrong file
// is named for what it is (a text file, a folder, the 32-bit product, a DLL
// of something else) instead of by a loader error code.
UniqueModule LoadPlugin(const char* path, PluginDllInfo& info) {
    std::string why;
    if (!InspectPluginDll(path, info, why) || !(why = PluginDllProblem(path, info)).empty()) {
        Fail("quentra-host: %s\n", why.c_str());
        return UniqueModule();
    }
    UniqueModule module(LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) Fail("quentra-host: cannot load %s (error %lu)\n", path, GetLastError());
    return module;
}

// A text under its label; the lines after the first are indented to the
// value's column, so a two-line message reads as one value.
void PrintText(const char* label, const char* text) {
    std::string value = AnsiToUtf8(text);
    for (std::size_t at = value.find('\n'); at != std::string::npos; at = value.find('\n', at + 11)) {
        value.insert(at + 1, 10, ' ');
    }
    Print("%-9s %s\n", label, value.c_str());
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
            Print("reports   ended; library unmapped %llu ms after unload\n",
                  static_cast<unsigned long long>(elapsed));
            return;
        }
        if (elapsed >= static_cast<ULONGLONG>(waitMs)) {
            Print("reports   still running after %d ms; leaving them to the process exit\n", waitMs);
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
    PluginDllInfo info;
    UniqueModule module = LoadPlugin(dllPath, info);
    if (!module) return 1;
    PluginExports x;
    std::string missing;
    if (!ResolveExports(module.get(), x, missing)) {
        return Fail("quentra-host: the DLL has no export named %s\n", missing.c_str());
    }
    int version = 0;
    const int gotVersion = x.getVer(&version);
    Print("version   %d (TCGetVer answered %d)\n", version, gotVersion);
    Print("file      %s\n", info.fileVersion.empty() ? "(no version resource)" : info.fileVersion.c_str());
    QUENTRA_INSTANCE instance = x.create();
    if (instance == nullptr) return Fail("quentra-host: TCCreate returned null\n");
    Print("create    ok\n");
    if (!versionOnly) {
        bool explained = false;
        for (int i = 0; i < options.checks; ++i) {
            const int answer = x.check(instance);
            Print("check     %d\n", answer);
            if (answer != 1 && !explained) {
                // A 0 is the plug-in's "not now": one of its rules stopped the
                // balloon, and the doctor names which one.
                Print("why 0     a rule of the plug-in stopped the balloon%s; this names it:\n"
                      "          %s doctor %s\n",
                      options.accept ? ", so nothing was accepted" : "", ToolCommand("quentra-host").c_str(),
                      ShellQuoted(dllPath).c_str());
                explained = true;
            }
            if (answer != 1) continue;
            std::vector<char> title(256, 0), message(QUENTRA_MESSAGE_SIZE, 0), command(256, 0), id(256, 0);
            int level = 0, flag = 0;
            const int got = x.enumerate(instance, 0, title.data(), 256, message.data(), QUENTRA_MESSAGE_SIZE, &level,
                                        command.data(), 256, &flag, id.data(), 256);
            Print("enum      %d\n", got);
            PrintText("title", title.data());
            PrintText("message", message.data());
            Print("level     %d\n", level);
            PrintText("command", command.data());
            Print("flag      %d\n", flag);
            PrintText("id", id.data());
            if (!options.accept) continue;
            if (options.userDelayMs > 0) {
                Print("user      reads the balloon for %d ms, then accepts\n", options.userDelayMs);
                Sleep(static_cast<DWORD>(options.userDelayMs));
            }
            Print("install   %d\n", x.doCommand(instance, 0));
        }
    }
    Print("destroy   %d\n", x.destroy(instance));
    char libraryPath[MAX_PATH] = {};
    const DWORD pathLength = GetModuleFileNameA(module.get(), libraryPath, MAX_PATH);
    module.reset();
    if (options.waitReportsMs > 0 && pathLength > 0 && pathLength < MAX_PATH) {
        WaitForReports(libraryPath, options.waitReportsMs);
    }
    return 0;
}

}  // namespace

// An argument error: the cause, then the usage, and the usage's exit code.
int Usage(const std::string& cause) {
    if (!cause.empty()) Fail("quentra-host: %s\n", cause.c_str());
    WriteUtf8(STD_ERROR_HANDLE, kUsage);
    return 2;
}

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "help") == 0)) {
        WriteUtf8(STD_OUTPUT_HANDLE, kUsage);
        return 0;
    }
    if (argc < 3) return Usage("");
    const std::string command = argv[1];
    const char* dll = argv[2];
    if (command == "doctor" && argc == 3) return RunDoctor(dll);
    if (command == "preview") return RunPreview(argc, argv);
    if ((command == "run" || command == "version") && std::strncmp(dll, "--", 2) == 0) {
        return Usage(command + " takes the DLL first, then its options");
    }
    if (command == "version") return argc == 3 ? Run(dll, RunOptions(), true) : Usage("version takes the DLL alone");
    if (command == "run") {
        RunOptions options;
        struct Counted {
            const char* name;
            int* value;
            const char* takes;
        } const counted[] = {
            {"--checks", &options.checks, "a number of checks, at least 1"},
            {"--user-delay", &options.userDelayMs, "a number of milliseconds, at least 1"},
            {"--wait-reports", &options.waitReportsMs, "a number of milliseconds, at least 1"},
        };
        for (int i = 3; i < argc; ++i) {
            if (std::strcmp(argv[i], "--accept") == 0) {
                options.accept = true;
                continue;
            }
            const Counted* option = nullptr;
            for (const Counted& c : counted) {
                if (std::strcmp(argv[i], c.name) == 0) option = &c;
            }
            if (option == nullptr) return Usage(std::string("unknown option ") + argv[i]);
            if (i + 1 >= argc) return Usage(std::string(option->name) + " needs a value: " + option->takes);
            if (!ParseCount(argv[++i], *option->value)) {
                return Usage(std::string(option->name) + " takes " + option->takes + ", not " + argv[i]);
            }
        }
        return Run(dll, options, false);
    }
    return Usage("");
}
