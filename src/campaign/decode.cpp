#include "campaign/decode.h"

#include <atomic>
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

bool DecodedCampaignCopy::Create(const char* sourcePath) {
    Remove();
    std::vector<unsigned char> decoded;
    if (!ReadDecodedCampaign(sourcePath, decoded)) return false;
    char tempDir[MAX_PATH] = {};
    const DWORD n = GetTempPathA(MAX_PATH, tempDir);
    if (n == 0 || n >= MAX_PATH) return false;
    // The name is created and opened in one step (CREATE_NEW), so nobody
    // can open it between its creation and ours. Two loads, in this process
    // or another, never share a name.
    static std::atomic<unsigned> serial{0};
    const unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 8);
    for (int attempt = 0; attempt < 64; ++attempt) {
        const unsigned unique = ((seed + serial.fetch_add(1) * 40503u) & 0xFFFFu) | 1u;
        char name[MAX_PATH] = {};
        if (GetTempFileNameA(tempDir, "~tc", unique, name) == 0) return false;
        file_.reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY, nullptr));
        if (file_) {
            std::memcpy(path_, name, sizeof path_);
            break;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    if (!file_) return false;
    if (!WriteWhole(file_.get(), decoded)) {
        Remove();
        return false;
    }
    return true;
}

void DecodedCampaignCopy::Remove() {
    if (path_[0] == '\0') return;
    file_.reset();
    // Drop the profile functions' cached copy of the file. A deleted name can
    // be handed out again, and a cache that knows a file by its name and
    // write time could then serve this campaign to that later load.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_);
    DeleteFileA(path_);
    path_[0] = '\0';
}

DecodedCampaignCopy::~DecodedCampaignCopy() { Remove(); }
