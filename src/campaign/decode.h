// The encoded campaign file beside the library, and its decoding into a plain
// INI file that the profile functions can read.
//
// Contract: a campaign file above kMaxCampaignFileSize is refused before a
// byte of it is read and before anything is written. The decoded copy that a
// load reads lives in the user's temporary folder under a random 64-bit name
// of its own, created exclusively. It is written through a first handle that
// shares nothing, then held, until the load has read its last value, through
// a second handle that reads and shares reading only: so any reader that
// opens it for reading succeeds, whatever sharing it asks, and nobody can
// write, rename or delete it meanwhile. Before any read, that second handle
// must show the same file, with the same bytes, that the first one wrote;
// anything else (a swapped file, changed bytes, somebody holding it open for
// writing) fails the load. The copy is deleted on every path, and only while
// it is still the file this load created: nothing else in the temporary
// folder is ever deleted, whatever its name and age. A copy that somebody
// kept from being deleted stays for the system's temporary-file cleanup.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/handles.h"

constexpr char kCampaignFileName[] = "quentracfg.dat";
// An ordinary campaign is a few KB. The bound keeps a huge file from costing
// the host's thread seconds and hundreds of MB at every check.
constexpr std::uint32_t kMaxCampaignFileSize = 1024 * 1024;

// The decoded bytes of the campaign file at `sourcePath`. False, with
// `decoded` empty, for no path, a missing, unreadable or empty file, or one
// above kMaxCampaignFileSize.
[[nodiscard]] bool ReadDecodedCampaign(const char* sourcePath, std::vector<unsigned char>& decoded);

// True when the decoded text of `sourcePath` was written whole to
// `targetPath` (a file there is replaced). The target is created only after
// the source was read, so a failure before that leaves no target behind;
// after a short write the caller deletes the part that was written.
[[nodiscard]] bool DecodeCampaignFile(const char* sourcePath, const char* targetPath);

// The decoded copy that one load reads. Create() makes it; the destructor
// closes the handle, drops the profile functions' cached copy and deletes it.
class DecodedCampaignCopy {
public:
    DecodedCampaignCopy() = default;
    ~DecodedCampaignCopy();
    DecodedCampaignCopy(const DecodedCampaignCopy&) = delete;
    DecodedCampaignCopy& operator=(const DecodedCampaignCopy&) = delete;

    // Decodes the source, then Write() and Seal(). False when the source
    // cannot be decoded or no sealed copy of our own can be made; then
    // nothing is left behind.
    [[nodiscard]] bool Create(const char* sourcePath);
    // The two steps of Create(): the bytes written under a new name through
    // a handle that shares nothing, and closed; then the copy opened for
    // reading and proven to be that file with those bytes.
    [[nodiscard]] bool Write(const std::vector<unsigned char>& decoded);
    [[nodiscard]] bool Seal();
    const char* Path() const { return path_; }

private:
    void Remove();
    char path_[MAX_PATH] = {};
    std::vector<unsigned char> written_;
    BY_HANDLE_FILE_INFORMATION identity_ = {};
    UniqueFileHandle file_;
};
