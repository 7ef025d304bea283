// The files quentra-campaign reads and writes.
//
// Contract: an input is read whole, or refused with the reason (a folder, a
// missing or unreadable file, one far too large to be a campaign). An output
// is written to a temporary file beside its target and moved over the target
// only when whole, so a failure leaves what was there before; a ScratchFile
// is deleted when it goes out of scope, on every path.
#pragma once
#include <string>

// A campaign is a few kilobytes; anything far larger is not one.
constexpr unsigned long kLargestInput = 64ul * 1024ul * 1024ul;

// False with `why` ("does not exist", "is a folder, not a file", ...), which
// follows the path in a message.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why);
std::string FullPath(const std::string& path);
// True when `a` and `b` name the same file: the same full path, or (when both
// exist) the same file behind two names, a link for instance.
bool SameFile(const std::string& a, const std::string& b);
// Writes `bytes` to `target` as above; kExitOk, or the error's exit code
// after its message.
int WriteOutput(const std::string& target, const std::string& bytes);

// A temporary file that is deleted when this goes out of scope.
struct ScratchFile {
    std::string path;
    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile();
    bool Create(const std::string& folder);
    // In the user's temporary folder.
    bool CreateTemp();
    bool Write(const std::string& bytes) const;
};
