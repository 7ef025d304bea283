#include "environment/probes.h"

#include <shlwapi.h>

#include <cstring>

#include "common/handles.h"
#include "common/text.h"

namespace {

// The value as a text in `buffer` of `size` bytes, zero-filled beforehand.
// A text stored with its terminating zero fits exactly when size equals its
// byte count; one stored without it needs one byte more, so that the buffer
// still ends in a zero. A text that does not fit reads as a failure, never as
// a cut path that might name some other file. On failure the buffer is empty.
bool ReadMachineText(const char* subKey, const char* value, char* buffer, DWORD size) {
    if (buffer == nullptr || size == 0 || size > 0x7FFFFFFFu) return false;
    std::memset(buffer, 0, size);
    DWORD bytes = size;
    if (SHGetValueA(HKEY_LOCAL_MACHINE, subKey, value, nullptr, buffer, &bytes) != ERROR_SUCCESS ||
        std::memchr(buffer, 0, size) == nullptr) {
        std::memset(buffer, 0, size);
        return false;
    }
    return true;
}

using GetCidaFn = int(WINAPI*)(char* buffer, int size);

}  // namespace

bool GetSuiteExePath(char* buffer, DWORD size) {
    // A size above 0x7FFFFFFF is a caller's negative int: nothing is written.
    if (buffer == nullptr || size == 0 || size > 0x7FFFFFFFu) return false;
    if (!ReadMachineText(kSuiteAppPathKey, nullptr, buffer, size)) return false;
    return PathFileExistsA(buffer) != FALSE;
}

bool GetSuiteFilePath(char* buffer, DWORD size, const char* fileName) {
    char directory[MAX_PATH] = {};
    ReadMachineText(kSuiteAppPathKey, "Path", directory, sizeof directory);
    if (directory[0] == '\0' || !PathFileExistsA(directory)) {
        std::memset(directory, 0, sizeof directory);
        const DWORD n = GetModuleFileNameA(nullptr, directory, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return false;
        // Two cuts at the last backslash: D:\Apps\Suite\Tray\host.exe gives
        // D:\Apps\Suite. StrRChrA steps by character, so a trail byte 0x5C
        // inside a Chinese folder name is not taken for a separator.
        for (int cut = 0; cut < 2; ++cut) {
            char* slash = StrRChrA(directory, nullptr, '\\');
            if (slash == nullptr) return false;
            *slash = '\0';
        }
    }
    if (directory[0] == '\0' || buffer == nullptr || size == 0 || size > 0x7FFFFFFFu) return false;
    const bool named = fileName != nullptr && *fileName != '\0';
    if (FormatBounded(buffer, size, named ? "%s\\%s" : "%s", directory, named ? fileName : "") < 0) {
        buffer[0] = '\0';  // Corvelverify.dl, or a cut folder, is some other file
        return false;
    }
    return true;
}

bool FindInstaller(char (&suiteDirectory)[MAX_PATH], char (&installerPath)[MAX_PATH]) {
    installerPath[0] = '\0';
    char suiteExe[MAX_PATH] = {};
    if (!GetSuiteExePath(suiteExe, MAX_PATH)) return false;
    return InstallerBesideSuite(suiteExe, suiteDirectory, installerPath);
}

bool InstallerBesideSuite(const char* suiteExePath, char (&suiteDirectory)[MAX_PATH],
                         char (&installerPath)[MAX_PATH]) {
    installerPath[0] = '\0';
    if (lstrlenA(suiteExePath) >= MAX_PATH) return false;
    lstrcpynA(suiteDirectory, suiteExePath, MAX_PATH);
    PathRemoveFileSpecA(suiteDirectory);
    if (PathCombineA(installerPath, suiteDirectory, kInstallerRelativePath) == nullptr) installerPath[0] = '\0';
    return installerPath[0] != '\0' && PathFileExistsA(installerPath);
}

bool IsVaultInstalled() {
    char path[MAX_PATH];
    if (!ReadMachineText(kVaultAppPathKey, nullptr, path, sizeof path)) return false;
    return PathFileExistsA(path) != FALSE;
}

bool InstallRunningFromOpen(bool opened, DWORD error) { return opened || error == ERROR_ACCESS_DENIED; }

bool IsInstallRunning() {
    UniqueKernelHandle mutex(OpenMutexA(READ_CONTROL, FALSE, kInstallMutexName));
    const DWORD error = mutex ? ERROR_SUCCESS : GetLastError();
    return InstallRunningFromOpen(static_cast<bool>(mutex), error);
}

int GetMachineId(char* buffer, int size) {
    char libraryPath[MAX_PATH] = {};
    if (!GetSuiteFilePath(libraryPath, sizeof libraryPath, kVerifyLibraryName)) return 0;
    // Altered search path: the library's own dependencies resolve from its
    // folder, not from the host's.
    UniqueModule library(LoadLibraryExA(libraryPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!library) return 0;
    const FARPROC proc = GetProcAddress(library.get(), "GetCIDA");
    if (proc == nullptr) return 0;
    return reinterpret_cast<GetCidaFn>(reinterpret_cast<void*>(proc))(buffer, size);
}
