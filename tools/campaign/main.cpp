// quentra-campaign: writes and inspects campaign files for the people who
// author them. It links the plug-in's own decoding and loading code, so
// `check` shows exactly what Quentra.dll will hold after loading a file.
//
// Texts in campaign files are code page 936; everything this tool prints is
// UTF-8. It never writes over its input: an output goes to a temporary file
// beside the target first and replaces the target only when whole.
#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "actions/url.h"
#include "campaign/config.h"
#include "campaign/decode.h"
#include "campaign/rules.h"
#include "common/handles.h"
#include "common/text.h"
#include "decision/compose.h"

namespace {

const char kUsage[] =
    "usage: quentra-campaign encode IN.ini OUT.dat\n"
    "           encode a plain campaign INI (code page 936) into the file the\n"
    "           plug-in reads; the text is padded with spaces to whole 4-byte words\n"
    "       quentra-campaign decode IN.dat OUT.ini\n"
    "           decode a campaign file into its plain INI text, exactly as the\n"
    "           plug-in decodes it (padding included)\n"
    "       quentra-campaign check FILE\n"
    "           show what the plug-in will load from FILE (an encoded .dat or a\n"
    "           plain .ini) and warn about what an author would not expect\n"
    "\n"
    "exit status: 0 done (check: no warnings), 1 unreadable or malformed input,\n"
    "             2 bad usage, 3 check found warnings\n";

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;
constexpr int kExitWarnings = 3;

// A campaign is a few kilobytes; anything far larger is not one.
constexpr DWORD kLargestInput = 64u * 1024u * 1024u;
// The plug-in's buffers: [Common] and [NoAntiVirus] values, the [GameScan]
// key list and its values.
constexpr DWORD kValueCapacity = 4096;
constexpr DWORD kGameScanCapacity = 1024;
// Large enough to read whole what the plug-in would cut.
constexpr DWORD kWideCapacity = 256 * 1024;

// ---------------------------------------------------------------- output

std::string Widen(const std::string& text, UINT codePage, bool* valid = nullptr) {
    if (valid != nullptr) *valid = true;
    if (text.empty()) return std::string();
    const int in = static_cast<int>(text.size());
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), in, nullptr, 0);
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (n == 0) {
        if (valid != nullptr) *valid = false;
        flags = 0;
        n = MultiByteToWideChar(codePage, 0, text.data(), in, nullptr, 0);
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), in, &wide[0], n);
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

// Code page 936 text as UTF-8.
std::string Utf8(const std::string& cp936, bool* valid = nullptr) { return Widen(cp936, 936, valid); }
// A path or argument in the process's ANSI code page as UTF-8.
std::string PathUtf8(const std::string& ansi) { return Widen(ansi, CP_ACP); }

// A campaign text, quoted, as UTF-8: control bytes, quotes and backslashes
// escaped, so that a line feed or a stray filler byte is visible.
std::string Quoted(const std::string& cp936) {
    std::string out = "\"";
    std::string run;
    auto flush = [&]() {
        out += Utf8(run);
        run.clear();
    };
    const LeadByteTable table = Cp936LeadBytes();
    for (const char* p = cp936.c_str(); *p != '\0';) {
        const char* next = NextChar(table, p);
        const unsigned char c = static_cast<unsigned char>(*p);
        if (next - p == 1 && (c < 0x20 || c == 0x7F || c == '"' || c == '\\')) {
            flush();
            char escaped[8];
            if (c == '\n') {
                std::strcpy(escaped, "\\n");
            } else if (c == '\r') {
                std::strcpy(escaped, "\\r");
            } else if (c == '\t') {
                std::strcpy(escaped, "\\t");
            } else if (c == '"' || c == '\\') {
                escaped[0] = '\\';
                escaped[1] = static_cast<char>(c);
                escaped[2] = '\0';
            } else {
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            }
            out += escaped;
        } else {
            run.append(p, next);
        }
        p = next;
    }
    flush();
    return out + "\"";
}

// Writes UTF-8 to a standard handle: through the console's wide interface
// when it is a console, as bytes otherwise (a pipe, a file, a terminal under
// Wine), so that no code page stands in between.
void Emit(DWORD which, const std::string& utf8) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || utf8.empty()) return;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
        DWORD written = 0;
        WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    DWORD written = 0;
    WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void Out(const std::string& utf8) { Emit(STD_OUTPUT_HANDLE, utf8); }

int Error(const std::string& utf8, int code = kExitBadInput) {
    Emit(STD_ERROR_HANDLE, "quentra-campaign: " + utf8 + "\n");
    return code;
}

void Note(const std::string& utf8) { Emit(STD_ERROR_HANDLE, "quentra-campaign: " + utf8 + "\n"); }

std::string Hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}

// ---------------------------------------------------------------- files

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = "is a folder, not a file";
        return false;
    }
    UniqueKernelHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        const DWORD error = GetLastError();
        why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "does not exist" : "cannot be opened";
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        why = "cannot be measured";
        return false;
    }
    if (size.QuadPart > kLargestInput) {
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

// True when `a` and `b` name the same file: the same full path, or (when both
// exist) the same file behind two names, a link for instance.
bool SameFile(const std::string& a, const std::string& b) {
    if (lstrcmpiA(FullPath(a).c_str(), FullPath(b).c_str()) == 0) return true;
    auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        UniqueKernelHandle h(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (h.get() == INVALID_HANDLE_VALUE) {
            h.release();
            return false;
        }
        return GetFileInformationByHandle(h.get(), &info) != FALSE;
    };
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!identity(a, ia) || !identity(b, ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

// A temporary file that is deleted when this goes out of scope.
struct ScratchFile {
    std::string path;
    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() {
        if (!path.empty()) {
            WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
            DeleteFileA(path.c_str());
        }
    }
    bool Create(const std::string& folder) {
        char name[MAX_PATH] = {};
        if (GetTempFileNameA(folder.c_str(), "~qc", 0, name) == 0) return false;
        path = name;
        return true;
    }
    bool Write(const std::string& bytes) const {
        UniqueKernelHandle h(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (h.get() == INVALID_HANDLE_VALUE) {
            h.release();
            return false;
        }
        DWORD written = 0;
        return WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size() && FlushFileBuffers(h.get());
    }
};

// Writes `bytes` to `target` through a temporary file beside it, so that a
// failure leaves whatever was there before untouched.
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

// ---------------------------------------------------------------- the text

std::string Decoded(const std::string& file) {
    const std::vector<unsigned char> v =
        DecodeCampaignBytes(reinterpret_cast<const unsigned char*>(file.data()), file.size());
    return std::string(v.begin(), v.end());
}

std::string Encoded(const std::string& plain) {
    const std::vector<unsigned char> v =
        EncodeCampaignBytes(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    return std::string(v.begin(), v.end());
}

bool SameName(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

// True when some line of `text` opens one of the campaign's sections.
bool HasCampaignSection(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::size_t p = text.find_first_not_of(" \t", start);
        if (p != std::string::npos && p < end && text[p] == '[') {
            const std::size_t close = text.find(']', p);
            if (close != std::string::npos && close < end) {
                std::string name = text.substr(p + 1, close - p - 1);
                const std::size_t a = name.find_first_not_of(" \t");
                const std::size_t b = name.find_last_not_of(" \t");
                name = a == std::string::npos ? std::string() : name.substr(a, b - a + 1);
                if (SameName(name, "Common") || SameName(name, "NoAntiVirus") || SameName(name, "GameScan")) {
                    return true;
                }
            }
        }
        start = end + 1;
    }
    return false;
}

// Valid UTF-8 with at least one multibyte sequence: an INI saved in UTF-8,
// whose Chinese the plug-in would show as noise.
bool LooksLikeUtf8(const std::string& text) {
    bool multibyte = false;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || (n == 2 && c < 0xC2) || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        if (n > 1) multibyte = true;
        i += n;
    }
    return multibyte;
}

// ---------------------------------------------------------------- encode/decode

int RefuseSameFile(const std::string& in, const std::string& out) {
    if (!SameFile(in, out)) return kExitOk;
    return Error("refusing to write " + PathUtf8(out) + ": it is the input file; name another output", kExitUsage);
}

int Encode(const std::string& in, const std::string& out) {
    if (const int r = RefuseSameFile(in, out)) return r;
    std::string plain, why;
    if (!ReadWholeFile(in, plain, why)) return Error(PathUtf8(in) + " " + why);
    if (plain.empty()) return Error(PathUtf8(in) + " is empty: the plug-in cannot load an empty campaign");
    if (!HasCampaignSection(plain)) {
        if (HasCampaignSection(Decoded(plain))) {
            return Error(PathUtf8(in) + " is already encoded (it decodes to a campaign); use decode to read it");
        }
        return Error(PathUtf8(in) + " has no [Common], [NoAntiVirus] or [GameScan] section: not a campaign INI");
    }
    // The profile functions stop reading a line at a zero byte.
    const std::size_t zero = plain.find('\0');
    if (zero != std::string::npos) {
        return Error(PathUtf8(in) + " has a zero byte at offset " + std::to_string(zero) +
                     ": it is not a plain INI text");
    }
    if (LooksLikeUtf8(plain)) {
        Note("warning: " + PathUtf8(in) +
             " looks like UTF-8; the plug-in reads code page 936, so its Chinese would show as noise");
    }
    const std::string file = Encoded(plain);
    if (const int r = WriteOutput(out, file)) return r;
    Out("encoded " + PathUtf8(in) + " (" + std::to_string(plain.size()) + " bytes, " +
        std::to_string(file.size() - plain.size()) + " spaces of padding) into " + PathUtf8(out) + " (" +
        std::to_string(file.size()) + " bytes)\n");
    return kExitOk;
}

int Decode(const std::string& in, const std::string& out) {
    if (const int r = RefuseSameFile(in, out)) return r;
    std::string file, why;
    if (!ReadWholeFile(in, file, why)) return Error(PathUtf8(in) + " " + why);
    if (file.empty()) return Error(PathUtf8(in) + " is empty: the plug-in cannot load an empty campaign");
    const std::string plain = Decoded(file);
    if (!HasCampaignSection(plain)) {
        if (HasCampaignSection(file)) {
            return Error(PathUtf8(in) + " is a plain INI, not an encoded campaign; use encode to make one");
        }
        return Error(PathUtf8(in) +
                     " does not decode to a campaign (no [Common], [NoAntiVirus] or [GameScan] section): "
                     "not a campaign file, or a damaged one");
    }
    if (file.size() % 4 != 0) {
        Note("note: " + PathUtf8(in) + " is " + std::to_string(file.size()) +
             " bytes, not whole 4-byte words; the last word was completed as the plug-in completes it (" +
             Hex(plain.substr(file.size())) + ")");
    }
    if (const int r = WriteOutput(out, plain)) return r;
    Out("decoded " + PathUtf8(in) + " (" + std::to_string(file.size()) + " bytes) into " + PathUtf8(out) + " (" +
        std::to_string(plain.size()) + " bytes)\n");
    return kExitOk;
}

// ---------------------------------------------------------------- check

// The profile functions' view of the decoded text: the same reads the
// plug-in makes, with buffers large enough to see what it would cut.
struct Profile {
    std::string path;

    std::vector<std::string> List(const char* section) const {
        std::vector<char> buffer(kWideCapacity, '\0');
        if (section == nullptr) {
            GetPrivateProfileSectionNamesA(buffer.data(), kWideCapacity, path.c_str());
        } else {
            GetPrivateProfileStringA(section, nullptr, "", buffer.data(), kWideCapacity, path.c_str());
        }
        return Split(buffer.data(), buffer.size());
    }
    // The key names of [GameScan] as the plug-in gets them: 1024 bytes.
    std::vector<std::string> GameScanNames() const {
        std::vector<char> buffer(kGameScanCapacity, '\0');
        GetPrivateProfileStringA("GameScan", nullptr, "", buffer.data(), kGameScanCapacity, path.c_str());
        return Split(buffer.data(), buffer.size());
    }
    std::string Value(const char* section, const std::string& key) const {
        std::vector<char> buffer(kWideCapacity, '\0');
        GetPrivateProfileStringA(section, key.c_str(), "", buffer.data(), kWideCapacity, path.c_str());
        return buffer.data();
    }
    std::int32_t Int(const char* section, const char* key, std::int32_t fallback) const {
        return static_cast<std::int32_t>(GetPrivateProfileIntA(section, key, fallback, path.c_str()));
    }

    static std::vector<std::string> Split(const char* data, std::size_t size) {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < size && data[i] != '\0';) {
            const std::size_t n = strnlen(data + i, size - i);
            names.emplace_back(data + i, n);
            i += n + 1;
        }
        return names;
    }
};

bool Contains(const std::vector<std::string>& names, const char* name) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

std::string Weekdays(std::int32_t frequency) {
    static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday",
                                        "Saturday"};
    std::vector<const char*> days;
    for (int d = 0; d < 7; ++d) {
        if ((frequency & (1 << d)) != 0) days.push_back(kDays[d]);
    }
    if (days.empty()) return "no weekday";
    if (days.size() == 7) return "every day, Sunday to Saturday";
    std::string out;
    for (std::size_t i = 0; i < days.size(); ++i) {
        if (i > 0) out += i + 1 == days.size() ? " and " : ", ";
        out += days[i];
    }
    return out + " only";
}

bool IsNumberText(const std::string& text) {
    std::size_t p = text.find_first_not_of(" \t");
    if (p == std::string::npos) return false;
    if (text[p] == '+' || text[p] == '-') ++p;
    return p < text.size() && text[p] >= '0' && text[p] <= '9';
}

class Checker {
public:
    Checker(const Profile& profile, const CampaignConfig& config) : ini_(profile), config_(config) {}

    std::string Report(const std::string& header);
    const std::vector<std::string>& Warnings() const { return warnings_; }
    void Warn(const std::string& utf8) { warnings_.push_back(utf8); }

private:
    void Line(const char* name, const std::string& value, const std::string& remark = std::string()) {
        char padded[64];
        std::snprintf(padded, sizeof padded, "  %-17s ", name);
        report_ += padded + value + (remark.empty() ? std::string() : "  (" + remark + ")") + "\n";
    }
    void CheckText(const char* section, const char* key, const std::string& value);
    void Common();
    void Notice();
    void GameScan();
    void Structure();
    std::int32_t Bounded(const char* key, std::int32_t fallback, std::int32_t low, std::int32_t high,
                         std::int32_t loaded);
    void Flag(const char* section, const char* key, std::int32_t loaded);

    const Profile& ini_;
    const CampaignConfig& config_;
    std::vector<std::string> common_, notice_, gameScan_;
    std::string report_;
    std::vector<std::string> warnings_;
};

void Checker::CheckText(const char* section, const char* key, const std::string& value) {
    bool valid = true;
    Utf8(value, &valid);
    if (!valid) {
        Warn("[" + std::string(section) + "] " + key +
             " is not valid code page 936 text: the balloon would show it garbled");
    }
}

std::int32_t Checker::Bounded(const char* key, std::int32_t fallback, std::int32_t low, std::int32_t high,
                              std::int32_t loaded) {
    const bool present = Contains(common_, key);
    const std::string text = present ? ini_.Value("Common", key) : std::string();
    const std::int32_t raw = ini_.Int("Common", key, fallback);
    std::string remark;
    if (!present) {
        remark = "absent: the default";
    } else if (!text.empty() && !IsNumberText(text)) {
        Warn(std::string(key) + " " + Quoted(text) + " is not a number: it reads as " + std::to_string(raw));
    }
    if (raw != loaded) {
        remark = "the file says " + std::to_string(raw);
        Warn(std::string(key) + " " + std::to_string(raw) + " is outside " + std::to_string(low) + ".." +
             std::to_string(high) + ": the plug-in uses " + std::to_string(loaded));
    }
    Line(key, std::to_string(loaded), remark);
    return raw;
}

void Checker::Flag(const char* section, const char* key, std::int32_t loaded) {
    const std::vector<std::string>& keys = std::strcmp(section, "Common") == 0 ? common_ : notice_;
    const bool present = Contains(keys, key);
    const std::int32_t raw = ini_.Int(section, key, 1);
    std::string remark = present ? std::string() : "absent: the default";
    if (present && raw != 0 && raw != 1) {
        remark = "the file says " + std::to_string(raw);
        Warn(std::string(key) + " " + std::to_string(raw) + " is neither 0 nor 1: the plug-in stores 1");
    }
    Line(key, std::to_string(loaded), remark);
}

void Checker::Common() {
    const CommonSettings& c = config_.Common();
    report_ += "[Common]\n";
    Line("Purpose", Quoted(c.Purpose), Contains(common_, "Purpose") ? "" : "absent: empty");
    CheckText("Common", "Purpose", c.Purpose);
    Bounded("DelayMinute", 30, 1, 1000000, c.DelayMinute);
    Bounded("MaxPopupTimes", 3, 0, 1000000, c.MaxPopupTimes);
    if (c.MaxPopupTimes == 0) Warn("MaxPopupTimes is 0: the notification never shows");

    const bool frequencyGiven = Contains(common_, "PopupFrequency");
    Bounded("PopupFrequency", 7, 0, 1000000, c.PopupFrequency);
    report_ += "                    shows on " + Weekdays(c.PopupFrequency) + "\n";
    // A value up to 7 reads like a number of days, but it is a set of
    // weekday bits; larger values are taken for deliberate sets.
    const std::int32_t days = c.PopupFrequency & 0x7F;
    if (days == 0) {
        Warn("PopupFrequency " + std::to_string(c.PopupFrequency) +
             " allows no weekday: the notification never shows (127 allows every day)");
    } else if (!frequencyGiven || c.PopupFrequency <= 7) {
        Warn(std::string("PopupFrequency ") + (frequencyGiven ? "" : "is absent; its default ") +
             std::to_string(c.PopupFrequency) + " is a set of weekday bits (1 Sunday, 2 Monday, 4 Tuesday, ... 64 " +
             "Saturday), not a count: it allows " + Weekdays(c.PopupFrequency) + " (127 allows every day)");
    }
    if ((c.PopupFrequency & ~0x7F) != 0) {
        Warn("PopupFrequency " + std::to_string(c.PopupFrequency) +
             " has bits above 64 (Saturday); they mean nothing");
    }
    Flag("Common", "DisableAvExamine", c.DisableAvExamine);

    std::string list;
    for (const AvEntry& e : c.AntiVirus) {
        list += (list.empty() ? "" : ", ") + std::string("(") + std::to_string(e.values[0]) + ", " +
                std::to_string(e.values[1]) + ", " + std::to_string(e.values[2]) + ")";
    }
    Line("AntiVirus", list.empty() ? "none" : list, "held, never used by the plug-in");
    const std::size_t read = c.AntiVirus.size();
    if (read < 100) {
        const std::string stop = "AntiVirus" + std::to_string(read + 1);
        const std::string value = ini_.Value("Common", stop);
        if (!value.empty()) {
            Warn(stop + " " + Quoted(value) + " is not three numbers separated by commas: the list ends there");
        }
    }
    for (const std::string& key : common_) {
        if (_strnicmp(key.c_str(), "AntiVirus", 9) != 0) continue;
        bool used = false;
        for (std::size_t n = 1; n <= read && !used; ++n) {
            used = SameName(key, ("AntiVirus" + std::to_string(n)).c_str());
        }
        const bool stopper = read < 100 && SameName(key, ("AntiVirus" + std::to_string(read + 1)).c_str());
        if (!used && !stopper) {
            Warn("[Common] " + Utf8(key) + " is never read: the AntiVirus list ended at AntiVirus" +
                 std::to_string(read + 1) + " (numbered 1, 2, 3, ... without gaps, leading zeros or more than 100)");
        }
    }
}

void Checker::Notice() {
    const GameScanNoticeRecord& n = config_.GameScanNotice();
    const CampaignConfig fresh;
    report_ += "\n[NoAntiVirus]: the notice's texts (both notices of the plug-in receive them)\n";
    struct Kept {
        const char* key;
        const TextString& value;
        const TextString& builtIn;
    } kept[] = {
        {"Title", n.Title, fresh.GameScanNotice().Title},
        {"Message", n.Message, fresh.GameScanNotice().Message},
        {"CommandText", n.CommandText, fresh.GameScanNotice().CommandText},
        {"DownloadURL", n.DownloadURL, fresh.GameScanNotice().DownloadURL},
    };
    for (const Kept& k : kept) {
        const bool given = !ini_.Value("NoAntiVirus", k.key).empty();
        Line(k.key, Quoted(k.value), given ? "" : "absent or empty: the built-in value at a first load");
        CheckText("NoAntiVirus", k.key, k.value);
        if (!given) {
            const bool message = std::strcmp(k.key, "Message") == 0;
            Warn(std::string(k.key) + " is absent or empty: a first load gives " +
                 (k.builtIn.empty() ? std::string(message ? "an empty message, a balloon with no text"
                                                          : "the empty text")
                                    : "the built-in " + Quoted(k.builtIn)) +
                 ", and a host that loaded an earlier campaign keeps that campaign's " + k.key);
        }
    }
    if (!IsPlainCommandArgument(Cp936LeadBytes(), n.DownloadURL.c_str())) {
        Warn("DownloadURL " + Quoted(n.DownloadURL) +
             " holds a blank, a quote or a control character: the plug-in starts no installer for it; "
             "percent-encode them (%20 for a blank, %22 for a quote)");
    }
    Line("Detail", Quoted(n.Detail), Contains(notice_, "Detail") ? "" : "absent: empty");
    Line("Level", std::to_string(n.Level), Contains(notice_, "Level") ? "" : "absent: the default");
    Line("CommandAction", std::to_string(n.CommandAction),
         Contains(notice_, "CommandAction") ? "held, never used" : "absent: the default; held, never used");
    Line("ID", Quoted(n.ID), Contains(notice_, "ID") ? "" : "absent: empty");
    if (n.ID.empty()) Warn("ID is empty: the host's [NoNotify] opt-out cannot name this campaign");
    Flag("NoAntiVirus", "ShowCheckBox", n.ShowCheckBox);
    Flag("NoAntiVirus", "SuportX64", n.SuportX64);
    if (n.SuportX64 == 0) Warn("SuportX64 is 0: the notification never shows on 64-bit Windows");

    if (!n.Message.empty()) {
        const char* problem = MessageTemplateProblem(Cp936LeadBytes(), n.Message.c_str());
        if (problem != nullptr) {
            Warn(std::string("Message has ") + problem +
                 ": the plug-in refuses the template and never shows the notification (only one %s, and %% " +
                 "for a percent sign)");
        } else if (FindText(Cp936LeadBytes(), n.Message.c_str(), "%s") == kNotFound) {
            Warn("Message has no %s: the game names found on the desktop will not appear in it");
        }
    }
    for (const std::string& v : {n.Title, n.Message, n.CommandText, n.DownloadURL, n.Detail, n.ID}) {
        if (v.size() == kValueCapacity - 1) {
            Warn("a [NoAntiVirus] value is longer than 4095 bytes: the plug-in cuts it to 4095");
            break;
        }
    }
}

void Checker::GameScan() {
    const GameScanNoticeRecord& n = config_.GameScanNotice();
    auto list = [](const std::vector<TextString>& values) {
        std::string out;
        for (const TextString& v : values) out += (out.empty() ? "" : ", ") + Quoted(v);
        return out.empty() ? std::string("none") : out;
    };
    report_ += "\n[GameScan]\n";
    Line("ScanPatterns", "(" + std::to_string(n.ScanPatterns.size()) + ") " + list(n.ScanPatterns),
         "every name a desktop shortcut is searched for");
    Line("FeaturedNames", "(" + std::to_string(n.FeaturedNames.size()) + ") " + list(n.FeaturedNames),
         "keys ending in m; the message lists up to three");

    // Walk the key names as the plug-in does, to name the key that stops it.
    const std::vector<std::string> seen = ini_.GameScanNames();
    std::size_t stop = seen.size();
    std::string why;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const std::string& key = seen[i];
        const std::string value = ini_.Value("GameScan", key);
        const char last = key.empty() ? '\0' : key.back();
        if (value.empty()) {
            why = "has an empty value";
        } else if (last != 'm' && last != 'o') {
            why = std::string("ends in '") + Utf8(std::string(1, last)) + "', not 'm' (featured) or 'o' (pattern)";
            if (last == 'M' || last == 'O') why += "; the test is case-sensitive";
        } else {
            if (value.size() > kGameScanCapacity - 1) {
                Warn("[GameScan] " + Utf8(key) + " is " + std::to_string(value.size()) +
                     " bytes long: the plug-in cuts it to 1023");
            }
            continue;
        }
        stop = i;
        break;
    }
    // The plug-in's 1024-byte list of key names may end before the section,
    // perhaps inside a name; the walk then ends there.
    const bool partialName = stop < seen.size() && (stop >= gameScan_.size() || seen[stop] != gameScan_[stop]);
    const bool listCut = seen.size() < gameScan_.size() || partialName;
    if (listCut && (stop == seen.size() || partialName)) {
        std::string hidden;
        for (std::size_t i = std::min(stop, seen.size()); i < gameScan_.size(); ++i) {
            hidden += (hidden.empty() ? "" : ", ") + Utf8(gameScan_[i]);
        }
        Warn("the [GameScan] key names take more than the 1023 bytes the plug-in reads: it never sees " + hidden);
    } else if (stop < seen.size()) {
        std::string hidden;
        for (std::size_t i = stop + 1; i < gameScan_.size(); ++i) {
            hidden += (hidden.empty() ? "" : ", ") + Utf8(gameScan_[i]);
        }
        Warn("[GameScan] key " + Quoted(seen[stop]) + " " + why + ": it stops the section" +
             (hidden.empty() ? std::string() : "; the plug-in never reads the keys after it: " + hidden));
    }
    if (n.ScanPatterns.empty()) Warn("[GameScan] gives no pattern: the plug-in never shows this campaign");
    for (const std::string& v : n.ScanPatterns) CheckText("GameScan", "value", v);
}

void Checker::Structure() {
    static const char* const kCommonKeys[] = {"Purpose", "DelayMinute", "MaxPopupTimes", "PopupFrequency",
                                              "DisableAvExamine"};
    static const char* const kNoticeKeys[] = {"Title",  "Message",       "CommandText", "DownloadURL",
                                              "Detail", "Level",         "CommandAction", "ID",
                                              "ShowCheckBox", "SuportX64"};
    for (const std::string& section : ini_.List(nullptr)) {
        if (!SameName(section, "Common") && !SameName(section, "NoAntiVirus") && !SameName(section, "GameScan")) {
            Warn("section [" + Utf8(section) + "] is ignored: the plug-in reads [Common], [NoAntiVirus] and " +
                 "[GameScan] only");
        }
    }
    auto duplicates = [&](const char* section, const std::vector<std::string>& keys) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (SameName(keys[i], keys[j].c_str())) {
                    Warn("[" + std::string(section) + "] " + Utf8(keys[i]) +
                         " appears more than once: every read gets the first value");
                    break;
                }
            }
        }
    };
    duplicates("Common", common_);
    duplicates("NoAntiVirus", notice_);
    duplicates("GameScan", gameScan_);
    for (const std::string& key : common_) {
        const bool known = std::any_of(std::begin(kCommonKeys), std::end(kCommonKeys),
                                       [&](const char* k) { return SameName(key, k); });
        if (!known && _strnicmp(key.c_str(), "AntiVirus", 9) != 0) {
            Warn("[Common] " + Utf8(key) + " is not a key the plug-in reads: it is ignored");
        }
    }
    for (const std::string& key : notice_) {
        const bool known = std::any_of(std::begin(kNoticeKeys), std::end(kNoticeKeys),
                                       [&](const char* k) { return SameName(key, k); });
        if (!known) Warn("[NoAntiVirus] " + Utf8(key) + " is not a key the plug-in reads: it is ignored");
    }
    for (const char* key : kCommonKeys) {
        if (ini_.Value("Common", key).size() > kValueCapacity - 1) {
            Warn(std::string("[Common] ") + key + " is longer than 4095 bytes: the plug-in cuts it to 4095");
        }
    }
}

std::string Checker::Report(const std::string& header) {
    common_ = ini_.List("Common");
    notice_ = ini_.List("NoAntiVirus");
    gameScan_ = ini_.List("GameScan");
    report_ = header + "\n";
    Common();
    Notice();
    GameScan();
    Structure();
    return report_;
}

int Check(const std::string& path) {
    std::string bytes, why;
    if (!ReadWholeFile(path, bytes, why)) return Error(PathUtf8(path) + " " + why);
    if (bytes.empty()) return Error(PathUtf8(path) + " is empty: the plug-in cannot load an empty campaign");
    // Encoding pads to whole words: that is the size the plug-in meets.
    const std::size_t deployed = (bytes.size() + 3) / 4 * 4;
    if (deployed > kMaxCampaignFileSize) {
        return Error(PathUtf8(path) + " makes a campaign file of " + std::to_string(deployed) +
                     " bytes; the plug-in refuses campaign files above " + std::to_string(kMaxCampaignFileSize) +
                     " bytes (1 MiB) unread and never shows them: shorten it");
    }

    const char* ext = PathFindExtensionA(path.c_str());
    const bool namedDat = lstrcmpiA(ext, ".dat") == 0;
    const bool namedIni = lstrcmpiA(ext, ".ini") == 0;
    const bool plainLooks = HasCampaignSection(bytes);
    const bool decodedLooks = HasCampaignSection(Decoded(bytes));
    bool encoded;
    if (namedDat) {
        if (!decodedLooks) {
            return Error(PathUtf8(path) +
                         (plainLooks ? " holds a plain INI: the plug-in decodes every campaign file and would read "
                                       "noise; encode it first"
                                     : " does not decode to a campaign (no [Common], [NoAntiVirus] or [GameScan] "
                                       "section): not a campaign file, or a damaged one"));
        }
        encoded = true;
    } else if (namedIni) {
        if (!plainLooks) {
            return Error(PathUtf8(path) +
                         (decodedLooks ? " is encoded: check it under a .dat name, or decode it first"
                                       : " has no [Common], [NoAntiVirus] or [GameScan] section: not a campaign INI"));
        }
        encoded = false;
    } else if (plainLooks || decodedLooks) {
        encoded = !plainLooks;
    } else {
        return Error(PathUtf8(path) + " is neither a campaign INI nor an encoded campaign");
    }
    const std::string plain = encoded ? Decoded(bytes) : bytes;

    char temp[MAX_PATH] = {};
    ScratchFile scratch;
    const DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH || !scratch.Create(temp) || !scratch.Write(plain)) {
        return Error("no temporary file could be written for the check");
    }
    // What the plug-in holds after loading: its own code, leaving this
    // machine's popup bookkeeping alone.
    CampaignConfig config;
    const int loaded = encoded ? config.LoadCampaignFile(FullPath(path).c_str(), PurposeBookkeeping::Leave)
                               : config.LoadPlainFile(scratch.path.c_str(), PurposeBookkeeping::Leave);
    if (loaded != 1) return Error("the plug-in's loader could not read " + PathUtf8(path));

    Profile profile{scratch.path};
    Checker checker(profile, config);
    std::string header = PathUtf8(path) + ": " +
                         (encoded ? "encoded campaign, " + std::to_string(bytes.size()) + " bytes"
                                  : "plain campaign INI, " + std::to_string(bytes.size()) + " bytes");
    if (encoded && bytes.size() % 4 != 0) {
        header += " (not whole 4-byte words)";
        // The filler that decoding adds joins the last line unless a line end
        // comes before it.
        const std::string own = plain.substr(0, bytes.size());
        const std::size_t lastEnd = own.find_last_of("\r\n");
        const std::string tail = lastEnd == std::string::npos ? own : own.substr(lastEnd + 1);
        if (!tail.empty()) {
            // The filler is 0x20 masked with the key's upper bytes: 1C 0A 4D,
            // or the last one or two of them. Up to its line feed it joins the
            // last line; after it, it stands on a line of its own.
            const std::string filler = plain.substr(bytes.size());
            const std::size_t feed = filler.find('\n');
            const std::string glued = filler.substr(0, feed);
            const std::string after = feed == std::string::npos ? std::string() : filler.substr(feed + 1);
            std::string effect = glued.empty() ? "its line feed ends that line"
                                               : Hex(glued) + " joins that line, so its value ends in it";
            if (!after.empty()) effect += ", and " + Quoted(after) + " follows on a line of its own";
            checker.Warn(PathUtf8(path) + " is " + std::to_string(bytes.size()) +
                         " bytes, not a whole number of 4-byte words, and its last line " + Quoted(tail) +
                         " has no line end: decoding completes the last word with the bytes " + Hex(filler) + "; " +
                         effect + " (encode pads with spaces, which the reader ignores)");
        }
    }
    if (LooksLikeUtf8(plain)) {
        checker.Warn("the text looks like UTF-8; the plug-in reads code page 936, so its Chinese would show as noise");
    }
    std::string report = checker.Report(header);
    const std::vector<std::string>& warnings = checker.Warnings();
    if (warnings.empty()) {
        report += "\nno warnings\n";
    } else {
        report += "\n" + std::to_string(warnings.size()) + (warnings.size() == 1 ? " warning:\n" : " warnings:\n");
        for (const std::string& w : warnings) report += "  warning: " + w + "\n";
    }
    Out(report);
    return warnings.empty() ? kExitOk : kExitWarnings;
}

int Run(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "help") == 0)) {
        Out(kUsage);
        return kExitOk;
    }
    if (argc < 2) {
        Emit(STD_ERROR_HANDLE, kUsage);
        return kExitUsage;
    }
    const std::string command = argv[1];
    if ((command == "encode" || command == "decode") && argc == 4) {
        return command == "encode" ? Encode(argv[2], argv[3]) : Decode(argv[2], argv[3]);
    }
    if (command == "check" && argc == 3) return Check(argv[2]);
    if (command == "encode" || command == "decode" || command == "check") {
        return Error(command + ": wrong number of arguments\n" + kUsage, kExitUsage);
    }
    return Error("unknown command '" + PathUtf8(command) + "'\n" + kUsage, kExitUsage);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Error(std::string("internal error: ") + e.what());
    }
}
