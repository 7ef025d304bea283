#include "support/sandbox.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <stdexcept>

#include "campaign/rules.h"
#include "codepage.h"
#include "files.h"
#include "ini_text.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "support/deployed.h"

namespace qt {

std::string BinDir() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    PathRemoveFileSpecA(path);
    return path;
}

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '\\' ? dir + name : dir + "\\" + name;
}

void RemoveTree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    // A link to a folder is removed as itself: what it points at is not ours.
    const DWORD linkedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((attributes & linkedFolder) == linkedFolder) {
        RemoveDirectoryA(path.c_str());
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
        return;
    }
    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(FindFirstFileA(Join(path, "*").c_str(), &entry));
    if (find) {
        do {
            const std::string name = entry.cFileName;
            if (name != "." && name != "..") RemoveTree(Join(path, name));
        } while (FindNextFileA(find.get(), &entry));
    }
    RemoveDirectoryA(path.c_str());
}

std::string FreshDir(const std::string& name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string root = Join(temp, "quentra-tests");
    CreateDirectoryA(root.c_str(), nullptr);
    const std::string dir = Join(root, name);
    RemoveTree(dir);
    SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr);
    return dir;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    UniqueFile f(std::fopen(path.c_str(), "wb"));
    if (!f) throw std::runtime_error("cannot write " + path);
    std::fwrite(bytes.data(), 1, bytes.size(), f.get());
}

std::string ReadBytes(const std::string& path) {
    std::string bytes, why;
    return ReadWholeFile(path, bytes, why) ? bytes : std::string();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> List(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(FindFirstFileA(Join(dir, pattern).c_str(), &entry));
    if (!find) return names;
    do {
        const std::string name = entry.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find.get(), &entry));
    return names;
}

void SetRaw(const std::string& key, const char* value, DWORD type, const std::string& bytes) {
    SHSetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void SetString(const std::string& key, const char* value, const std::string& text) {
    SHSetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void SetDword(const std::string& key, const char* value, DWORD data) {
    SHSetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_DWORD, &data, sizeof data);
}

void DeleteKey(const std::string& key) { SHDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str()); }

bool GetRaw(const std::string& key, const char* value, DWORD* type, std::string* bytes) {
    UniqueRegKey k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, k.receive()) != ERROR_SUCCESS) return false;
    return ReadRegistryValue(k.get(), value, *type, *bytes) == ERROR_SUCCESS;
}

std::string Encode(const std::string& ini) { return Encoded(ini); }

void ClearBookkeeping() { DeleteKey(deployed::kBookkeepingKey); }

Suite InstallSuite(const std::string& name) {
    Suite s;
    s.root = FreshDir(name);
    s.exe = Join(s.root, "Corvelsafe.exe");
    CreateDirectoryA(Join(s.root, "modules").c_str(), nullptr);
    s.installer = Join(Join(s.root, "modules"), "Corvelinst.exe");
    WriteBytes(s.exe, "suite");
    const std::string standin = Join(Join(BinDir(), "standins"), "Corvelinst.exe");
    if (!Exists(standin) || !CopyFileA(standin.c_str(), s.installer.c_str(), FALSE)) WriteBytes(s.installer, "MZ");
    SetString(deployed::kSuiteAppPathKey, nullptr, s.exe);
    SetString(deployed::kSuiteAppPathKey, "Path", s.root);
    DeleteKey(deployed::kVaultAppPathKey);
    return s;
}

void RemoveSuiteRegistration() {
    DeleteKey(deployed::kSuiteAppPathKey);
    DeleteKey(deployed::kVaultAppPathKey);
}

bool WindowsIs64Bit() {
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

std::string CleanDesktop() {
    char desktop[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, desktop, CSIDL_DESKTOP, TRUE);
    for (const std::string& name : List(desktop, "*.lnk")) {
        const std::string path = Join(desktop, name);
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    return desktop;
}

void AddShortcut(const std::string& desktop, const std::string& fileName) {
    WriteBytes(Join(desktop, fileName), "L");
}

void Plugin::SetCampaign(const std::string& ini) const {
    WriteBytes(Join(dir, "quentracfg.dat"), Encode(ini));
}

void Plugin::Unload() {
    module.reset();
}

Plugin::~Plugin() { Unload(); }

void LoadPlugin(Plugin& plugin, const std::string& name, const std::string& ini) {
    plugin.Unload();
    plugin.dir = FreshDir("plugin-" + name);
    const std::string dll = Join(plugin.dir, "Quentra.dll");
    if (!CopyFileA(Join(BinDir(), "Quentra.dll").c_str(), dll.c_str(), FALSE)) {
        throw std::runtime_error("cannot copy Quentra.dll");
    }
    if (!ini.empty()) plugin.SetCampaign(ini);
    plugin.module.reset(LoadLibraryA(dll.c_str()));
    if (!plugin.module) throw std::runtime_error("cannot load " + dll);
    std::string missing;
    if (!ResolveExports(plugin.module.get(), plugin, missing)) throw std::runtime_error("missing export " + missing);
}

Content Enum(const Plugin& plugin, QUENTRA_INSTANCE instance) {
    Content c;
    std::vector<char> title(4096, 0), message(4096, 0), command(4096, 0), id(4096, 0);
    c.result = plugin.enumerate(instance, 0, title.data(), 4096, message.data(), 4096, &c.level, command.data(), 4096,
                                &c.flag, id.data(), 4096);
    c.title = title.data();
    c.message = message.data();
    c.command = command.data();
    c.id = id.data();
    return c;
}

std::string Gbk(const char* utf8) { return Recode(utf8, CP_UTF8, 936); }

}  // namespace qt
