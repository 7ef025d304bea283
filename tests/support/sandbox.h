// Test support: each test sets up the machine state it needs (files, the
// suite's registry entries, the desktop) in the Wine prefix of this build
// tree, and loads the real Quentra.dll through its exports.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "exports.h"

namespace qt {

// Folder of the running test executable (bin/ of the build tree).
std::string BinDir();
// A fresh, empty folder under %TEMP%\quentra-tests\<name>.
std::string FreshDir(const std::string& name);
std::string Join(const std::string& dir, const std::string& name);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);
void RemoveTree(const std::string& path);
// Files in `dir` matching `pattern` (names only).
std::vector<std::string> List(const std::string& dir, const std::string& pattern);

// Registry under HKEY_LOCAL_MACHINE.
void SetString(const std::string& key, const char* value, const std::string& text);
void SetDword(const std::string& key, const char* value, DWORD data);
void SetRaw(const std::string& key, const char* value, DWORD type, const std::string& bytes);
void DeleteKey(const std::string& key);
// The stored bytes and type; false when the value is missing.
bool GetRaw(const std::string& key, const char* value, DWORD* type, std::string* bytes);

// The campaign file format: an INI text encoded as the plug-in expects it.
std::string Encode(const std::string& ini);

// The popup bookkeeping key, wiped.
void ClearBookkeeping();

// A machine with the suite installed: Corvelsafe.exe and
// modules\Corvelinst.exe (the stand-in) under `root`, App Paths entries for
// the suite (default value and "Path"), no vault product, no install mutex.
struct Suite {
    std::string root;       // installation folder
    std::string exe;        // root\Corvelsafe.exe
    std::string installer;  // root\modules\Corvelinst.exe
};
Suite InstallSuite(const std::string& name);
void RemoveSuiteRegistration();

// Whether the Windows the tests run on is 64-bit, asked of the system itself:
// on 32-bit Windows SuportX64=0 stops nothing, and that is right for the field.
bool WindowsIs64Bit();

// The current user's desktop folder, emptied of the plain .lnk files the
// tests put there. A folder or a link (junction, symbolic link) named *.lnk
// is the tester's: it stays, and is never entered.
std::string CleanDesktop();
void AddShortcut(const std::string& desktop, const std::string& fileName);

// A copy of Quentra.dll in its own folder (with a campaign file when `ini`
// is not empty), loaded, with its exports resolved as a host resolves them.
struct Plugin : PluginExports {
    std::string dir;
    UniqueModule module;
    void SetCampaign(const std::string& ini) const;
    void Unload();
    ~Plugin();
};
// The DLL is copied to a folder of its own: Windows keys loaded modules by
// path, so each test gets an independent copy.
void LoadPlugin(Plugin& plugin, const std::string& name, const std::string& ini = std::string());

// The whole content that TCEnum hands out, with generous buffers.
struct Content {
    int result = 0;
    std::string title, message, command, id;
    int level = -1, flag = -1;
};
Content Enum(const Plugin& plugin, QUENTRA_INSTANCE instance);

// Code page 936 text from UTF-8, for readable tests.
std::string Gbk(const char* utf8);

}  // namespace qt
