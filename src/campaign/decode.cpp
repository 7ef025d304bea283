#include "campaign/decode.h"

#include <ntsecapi.h>

#include <cstring>

#include "campaign/rules.h"

namespace {

bool WriteWhole(HANDLE file, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(bytes.size() - done);
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace

bool ReadDecodedCampaign(const char* sourcePath, std::vector<unsigned char>& decoded) {
    decoded.clear();
    if (sourcePath == nullptr || *sourcePath == '\0') return false;
    UniqueFileHandle source(CreateFileA(sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(source.get(), &size) || size.QuadPart <= 0 || size.QuadPart > kMaxCampaignFileSize) {
        return false;
    }
    std::vector<unsigned char> file(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < file.size()) {
        DWORD got = 0;
        if (!ReadFile(source.get(), file.data() + done, static_cast<DWORD>(file.size() - done), &got, nullptr) ||
            got == 0) {
            return false;  // the file shrank under us: not a whole campaign
        }
        done += got;
    }
    decoded = DecodeCampaignBytes(file.data(), file.size());
    return true;
}

bool DecodeCampaignFile(const char* sourcePath, const char* targetPath) {
    if (targetPath == nullptr || *targetPath == '\0') return false;
    std::vector<unsigned char> decoded;
    if (!ReadDecodedCampaign(sourcePath, decoded)) return false;
    UniqueFileHandle target(CreateFileA(targetPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    // A short write (a full disk) is a failed decode: the loaders must not
    // read a campaign cut at some arbitrary byte as if it were whole.
    return target && WriteWhole(target.get(), decoded);
}

namespace {

constexpr char kCopyPrefix[] = "~tc";

bool RandomName(std::uint64_t& value) {
    return RtlGenRandom(&value, sizeof value) != FALSE;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Marks the file behind `file` (opened with DELETE access) to be deleted once
// its last handle is closed.
bool MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Deletes the file at `path` only if it is still the file `identity` names:
// the one this load created. Whatever somebody else put under the name stays,
// and so does our copy when somebody holds it open without letting it be
// deleted: the system's temporary-file cleanup takes it later.
void DeleteOwnFile(const char* path, const BY_HANDLE_FILE_INFORMATION& identity) {
    // The name itself, not what a link put there would point to.
    const UniqueFileHandle file(CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION now = {};
    if (file && GetFileInformationByHandle(file.get(), &now) && SameFile(now, identity)) MarkForDeletion(file.get());
}

}  // namespace

bool DecodedCampaignCopy::Create(const char* sourcePath) {
    Remove();
    std::vector<unsigned char> decoded;
    if (!ReadDecodedCampaign(sourcePath, decoded)) return false;
    return Write(decoded) && Seal();
}

bool DecodedCampaignCopy::Write(const std::vector<unsigned char>& decoded) {
    Remove();
    char tempDir[MAX_PATH] = {};
    const DWORD n = GetTempPathA(MAX_PATH, tempDir);
    if (n == 0 || n >= MAX_PATH) return false;
    // A random 64-bit name, created and opened in one step (CREATE_NEW):
    // nobody can plant the names ahead of us, and nobody can open the file
    // between its creation and ours.
    UniqueFileHandle writer;
    for (int attempt = 0; attempt < 8 && !writer; ++attempt) {
        std::uint64_t random = 0;
        if (!RandomName(random)) return false;
        if (FormatBounded(path_, sizeof path_, "%s%s%08lX%08lX.tmp", tempDir, kCopyPrefix,
                          static_cast<unsigned long>(random >> 32), static_cast<unsigned long>(random)) < 0) {
            path_[0] = '\0';
            return false;
        }
        writer.reset(
            CreateFileA(path_, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr));
        if (!writer && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (!writer) {
        path_[0] = '\0';
        return false;
    }
    written_ = decoded;
    if (!GetFileInformationByHandle(writer.get(), &identity_) || !WriteWhole(writer.get(), decoded)) {
        // Deleted through the handle that created it: surely ours.
        MarkForDeletion(writer.get());
        writer.reset();
        written_.clear();
        path_[0] = '\0';
        return false;
    }
    return true;
}

bool DecodedCampaignCopy::Seal() {
    if (path_[0] == '\0') return false;
    // Read access only, sharing reading only: every reader gets in, and
    // nobody can write, rename or delete the copy while we hold it. Somebody
    // who opened it for writing since we closed the writer makes this fail.
    file_.reset(CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    BY_HANDLE_FILE_INFORMATION now = {};
    bool same = file_ && GetFileInformationByHandle(file_.get(), &now) && SameFile(now, identity_) &&
                now.nFileSizeHigh == 0 && now.nFileSizeLow == written_.size();
    if (same) {
        std::vector<unsigned char> back(written_.size());
        std::size_t done = 0;
        while (same && done < back.size()) {
            DWORD got = 0;
            same = ReadFile(file_.get(), back.data() + done, static_cast<DWORD>(back.size() - done), &got,
                            nullptr) && got != 0;
            done += got;
        }
        same = same && back == written_;
    }
    if (!same) Remove();
    return same;
}

void DecodedCampaignCopy::Remove() {
    written_.clear();
    if (path_[0] == '\0') return;
    file_.reset();
    // Drop the profile functions' cached copy of the file. A deleted name can
    // be handed out again, and a cache that knows a file by its name and
    // write time could then serve this campaign to that later load.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_);
    DeleteOwnFile(path_, identity_);
    path_[0] = '\0';
}

DecodedCampaignCopy::~DecodedCampaignCopy() { Remove(); }
