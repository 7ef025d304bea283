// The encoded campaign file beside the library, and its decoding into a plain
// INI file that the profile functions can read.
//
// Contract: a campaign file above kMaxCampaignFileSize is refused before a
// byte of it is read and before anything is written. The decoded copy that a
// load reads lives in the user's temporary folder under a name of its own,
// created and written through one handle that lets others read it but
// neither write, rename nor delete it; that handle stays open until the load
// has read its last value, and the copy is deleted on every path.
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

    // False when the source cannot be decoded or no copy of our own can be
    // made and written whole; then nothing is left behind.
    [[nodiscard]] bool Create(const char* sourcePath);
    const char* Path() const { return path_; }

private:
    void Remove();
    char path_[MAX_PATH] = {};
    UniqueFileHandle file_;
};
