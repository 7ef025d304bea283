// Read-only questions about the machine: the suite's installation and its
// installer, the vault product, a running installation, the machine
// identifier. Free functions without state; each call asks the machine again,
// and every failure answers false (or 0). Buffers are caller-owned; sizes count bytes,
// terminator included.
#pragma once
#include <windows.h>

constexpr char kSuiteAppPathKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafe.exe";
constexpr char kVaultAppPathKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafebox.exe";
constexpr char kInstallerRelativePath[] = "modules\\Corvelinst.exe";
constexpr char kInstallMutexName[] = "CorvelInstallMutex";
constexpr char kVerifyLibraryName[] = "Corvelverify.dll";

// True with the suite's main executable (App Paths default value) in
// `buffer` when that file exists.
[[nodiscard]] bool GetSuiteExePath(char* buffer, DWORD size);
// True with the installation folder joined with `fileName` in `buffer` (the
// folder itself for an empty name); false, with `buffer` empty, when the path
// does not fit, never a shorter path that names some other file. The folder is the App Paths "Path" value,
// or, when that names nothing that exists, the host executable's path less
// its last two components.
[[nodiscard]] bool GetSuiteFilePath(char* buffer, DWORD size, const char* fileName);
// True when modules\Corvelinst.exe exists below the suite executable's folder;
// both 260-byte buffers are filled as far as the search got.
[[nodiscard]] bool FindInstaller(char (&suiteDirectory)[MAX_PATH], char (&installerPath)[MAX_PATH]);
// The same beside a suite executable already found at `suiteExePath`.
[[nodiscard]] bool InstallerBesideSuite(const char* suiteExePath, char (&suiteDirectory)[MAX_PATH],
                         char (&installerPath)[MAX_PATH]);
bool IsVaultInstalled();
// Opens "CorvelInstallMutex" for READ_CONTROL; never creates, waits or holds.
// A mutex that exists but denies us that access still means an installation
// runs: an elevated installer's mutex may well deny it to a normal tray.
bool IsInstallRunning();
// The rule behind it: what an open that gave `opened`, and otherwise left
// `error`, says about a running installation.
bool InstallRunningFromOpen(bool opened, DWORD error);
// Loads Corvelverify.dll from the installation folder, calls GetCIDA(buffer,
// size) and unloads it. The answer is GetCIDA's result, or 0.
int GetMachineId(char* buffer, int size);
