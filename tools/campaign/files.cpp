#include "files.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>

#include "common/handles.h"
#include "output.h"

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
    char name[MAX_PATH] = {};
    if (GetTempFileNameA(folder.c_str(), "~qc", 0, name) == 0) return false;
    path = name;
    return true;
}

bool ScratchFile::CreateTemp() {
    char temp[MAX_PATH] = {};
    const DWORD n = GetTempPathA(MAX_PATH, temp);
    return n != 0 && n < MAX_PATH && Create(temp);
}

bool ScratchFile::Write(const std::string& bytes) const {
    const UniqueFileHandle h(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return h && WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && FlushFileBuffers(h.get());
}

int WriteOutput(const std::string& target, const std::string& bytes) {
    char folder[MAX_PATH * 4] = {};
    std::snprintf(folder, sizeof folder, "%s", FullPath(target).c_str());
    PathRemoveFileSpecA(folder);
    const DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Error("cannot write " + PathUtf8(target) + ": its folder does not exist");
    }
    ScratchFile scratch;
    if (!scratch.Create(folder) || !scratch.Write(bytes)) {
        return Error("cannot write " + PathUtf8(target) + ": no temporary file could be written beside it");
    }
    if (!MoveFileExA(scratch.path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Error("cannot write " + PathUtf8(target) + " (error " + std::to_string(GetLastError()) + ")");
    }
    scratch.path.clear();  // it is the target now
    return kExitOk;
}
