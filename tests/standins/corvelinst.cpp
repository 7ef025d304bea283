// Stand-in for the suite's installer: appends its command line and current
// folder to "Corvelinst.log" beside itself, one line each, and exits.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/handles.h"

int main() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (slash == nullptr) return 1;
    std::strcpy(slash + 1, "Corvelinst.log");
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    // The log is shared by repeated starts; append in one write per line pair.
    const UniqueFileHandle log(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log) return 1;
    char line[8192];
    const int n = std::snprintf(line, sizeof line, "cmd=%s\r\ncwd=%s\r\n", GetCommandLineA(), cwd);
    DWORD written = 0;
    if (n > 0) WriteFile(log.get(), line, static_cast<DWORD>(n), &written, nullptr);
    return 0;
}
