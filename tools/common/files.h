// The files and registry values the tools and the tests read and write, and
// the scratch files they own.
//
// Contract: an input is read whole, or refused with the reason (a folder, a
// missing or unreadable file, one far too large to be a campaign); so is a
// registry value, with its type, or the query's error code. A whole
// file is written and flushed, or the write fails. A ScratchFile owns a file
// this run made (a temporary file, or one it adopts) and deletes it when it
// goes out of scope, on every path, unless its path was cleared to hand the
// file on.
#pragma once
#include <windows.h>

#include <string>
#include <utility>

// A campaign is a few kilobytes; anything far larger is not one.
constexpr unsigned long kLargestInput = 64ul * 1024ul * 1024ul;

// False with `why` ("does not exist", "is a folder, not a file", ...), which
// follows the path in a message.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why);
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when `key` has no value `name`, or
// another error of the query.
LONG ReadRegistryValue(HKEY key, const char* name, DWORD& type, std::string& bytes);
// Creates or truncates `path`.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
std::string FullPath(const std::string& path);
// True when `a` and `b` name the same file: the same full path, or (when both
// exist) the same file behind two names, a link for instance.
bool SameFile(const std::string& a, const std::string& b);

struct ScratchFile {
    std::string path;  // empty: nothing to delete
    ScratchFile() = default;
    explicit ScratchFile(std::string made) : path(std::move(made)) {}
    ScratchFile(ScratchFile&& other) noexcept : path(std::exchange(other.path, std::string())) {}
    ~ScratchFile();
    // A new empty file in `folder`, or in the user's temporary folder.
    bool Create(const std::string& folder = std::string());
    bool Write(const std::string& bytes) const { return WriteWholeFile(path, bytes); }
};
