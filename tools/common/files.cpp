#include "files.h"

#include <windows.h>

#include "common/handles.h"

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = "is a folder, not a file";
        return false;
    }
    const UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "does not exist" : "cannot be opened";
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        why = "cannot be measured";
        return false;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kLargestInput)) {
        why = "is " + std::to_string(size.QuadPart) + " bytes, far too large for a campaign";
        return false;
    }
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size())) {
        why = "could not be read whole";
        return false;
    }
    return true;
}

LONG ReadRegistryValue(HKEY key, const char* name, DWORD& type, std::string& bytes) {
    DWORD size = 0;
    LONG r = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    bytes.assign(size, '\0');
    if (r == ERROR_SUCCESS && size != 0) {
        r = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&bytes[0]), &size);
    }
    bytes.resize(r == ERROR_SUCCESS ? size : 0);
    return r;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    const UniqueFileHandle h(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return h && WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && FlushFileBuffers(h.get());
}

std::string FullPath(const std::string& path) {
    char full[MAX_PATH * 4] = {};
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n == 0 || n >= sizeof full ? path : std::string(full);
}

bool SameFile(const std::string& a, const std::string& b) {
    if (lstrcmpiA(FullPath(a).c_str(), FullPath(b).c_str()) == 0) return true;
    auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        const UniqueFileHandle h(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return h && GetFileInformationByHandle(h.get(), &info) != FALSE;
    };
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!identity(a, ia) || !identity(b, ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

ScratchFile::~ScratchFile() {
    if (path.empty()) return;
    // The profile functions may hold a cached copy of the file.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
    DeleteFileA(path.c_str());
}

bool ScratchFile::Create(const std::string& folder) {
    char temp[MAX_PATH] = {};
    const DWORD n = folder.empty() ? GetTempPathA(MAX_PATH, temp) : 0;
    if (folder.empty() && (n == 0 || n >= MAX_PATH)) return false;
    char name[MAX_PATH] = {};
    if (GetTempFileNameA(folder.empty() ? temp : folder.c_str(), "~qc", 0, name) == 0) return false;
    path = name;
    return true;
}
