// The campaign loader: fills a CampaignConfig from the decoded INI text
// through the system's profile functions, so that values read exactly as the
// host's own INI handling reads them (quotes, blanks, case-insensitive names).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "campaign/config.h"
#include "campaign/decode.h"
#include "campaign/rules.h"
#include "common/ansi.h"
#include "environment/bookkeeping.h"
#include "environment/arch.h"

namespace {

constexpr DWORD kValueCapacity = 4096;     // [Common] and [NoAntiVirus] values
constexpr DWORD kGameScanCapacity = 1024;  // [GameScan] key list and values
constexpr int kMaxAntiVirusEntries = 100;

std::int32_t Clamp(std::int32_t v, std::int32_t low, std::int32_t high) {
    return v < low ? low : (v > high ? high : v);
}

}  // namespace

// The loader's view of one section of one file. A reader is usable only with
// a path, a section, a buffer, and a capacity above 128 bytes.
struct SectionReader {
    const char* path;
    const char* section;
    const char* defaultText;  // always empty: an absent key reads as no text
    char* buffer;
    DWORD capacity;
};

static bool Usable(const SectionReader& r) {
    return r.path != nullptr && r.section != nullptr && r.buffer != nullptr && r.capacity > 128;
}

// The key's value in the reader's buffer, or null when it is absent or empty.
static const char* ReadText(const SectionReader& r, const char* key) {
    std::memset(r.buffer, 0, r.capacity);
    GetPrivateProfileStringA(r.section, key, r.defaultText, r.buffer, r.capacity, r.path);
    return r.buffer[0] != '\0' ? r.buffer : nullptr;
}

static std::int32_t ReadInt(const SectionReader& r, const char* key, std::int32_t defaultValue) {
    return static_cast<std::int32_t>(GetPrivateProfileIntA(r.section, key, defaultValue, r.path));
}

CampaignConfig::CampaignConfig()
    : noAvNotice_(kDefaultNoAvMessage), is64Bit_(IsSystem64Bit()) {}

CampaignConfig::~CampaignConfig() = default;

int CampaignConfig::LoadCampaignFile(const char* campaignPath, PurposeBookkeeping bookkeeping) {
    if (campaignPath == nullptr || *campaignPath == '\0') return 0;
    // The decoded copy is ours alone until the last value has been read.
    DecodedCampaignCopy copy;
    if (!copy.Create(campaignPath)) return 0;
    LoadPlainFile(copy.Path(), bookkeeping);
    return 1;
}

int CampaignConfig::LoadPlainFile(const char* iniPath, PurposeBookkeeping bookkeeping) {
    LoadCommonSection(iniPath, bookkeeping);
    LoadNoAvNotice(iniPath);
    LoadGameScan(iniPath);
    return 1;
}

int CampaignConfig::LoadCommonSection(const char* iniPath, PurposeBookkeeping bookkeeping) {
    if (iniPath == nullptr) return 0;
    std::vector<char> buffer(kValueCapacity, '\0');
    const SectionReader reader{iniPath, "Common", "", buffer.data(), kValueCapacity};

    const char* purpose = ReadText(reader, "Purpose");
    common_.Purpose = purpose != nullptr ? purpose : "";
    if (bookkeeping == PurposeBookkeeping::Update && IsSamePurpose(common_.Purpose) == 0) {
        // The new purpose is stored before the old record goes, so a crash in
        // between cannot leave the old count attached to the new campaign.
        WritePurpose(common_.Purpose);
        ResetPopupRecord();
    }
    common_.DelayMinute = Clamp(ReadInt(reader, "DelayMinute", 30), 1, 1000000);
    common_.MaxPopupTimes = Clamp(ReadInt(reader, "MaxPopupTimes", 3), 0, 1000000);
    common_.PopupFrequency = Clamp(ReadInt(reader, "PopupFrequency", 7), 0, 1000000);
    common_.DisableAvExamine = ReadInt(reader, "DisableAvExamine", 1) != 0 ? 1 : 0;

    common_.AntiVirus.clear();
    for (int n = 1; n <= kMaxAntiVirusEntries; ++n) {
        char key[32];
        std::snprintf(key, sizeof key, "AntiVirus%d", n);
        char* value = const_cast<char*>(ReadText(reader, key));
        if (value == nullptr) break;
        AvEntry entry;
        if (ParseAvEntry(value, static_cast<std::int32_t>(std::strlen(value)), entry) == 0) break;
        common_.AntiVirus.push_back(entry);
    }
    return 1;
}

int ReadNoticeRecord(const SectionReader& reader, NoticeRecord& notice) {
    if (!Usable(reader)) return 0;
    if (const char* v = ReadText(reader, "Title")) notice.Title = v;
    if (const char* v = ReadText(reader, "Message")) {
        notice.Message = v;
        ExpandLineFeeds(AnsiLeadBytes(), notice.Message);
    }
    if (const char* v = ReadText(reader, "CommandText")) notice.CommandText = v;
    if (const char* v = ReadText(reader, "DownloadURL")) notice.DownloadURL = v;
    const char* detail = ReadText(reader, "Detail");
    notice.Detail = detail != nullptr ? detail : "";
    notice.Level = ReadInt(reader, "Level", 3);
    notice.CommandAction = ReadInt(reader, "CommandAction", 2);
    const char* id = ReadText(reader, "ID");
    notice.ID = id != nullptr ? id : "";
    notice.ShowCheckBox = ReadInt(reader, "ShowCheckBox", 1) != 0 ? 1 : 0;
    notice.SuportX64 = ReadInt(reader, "SuportX64", 1) != 0 ? 1 : 0;
    return 1;
}

int CampaignConfig::LoadNoAvNotice(const char* iniPath) {
    if (iniPath == nullptr) return 0;
    std::vector<char> buffer(kValueCapacity, '\0');
    const SectionReader reader{iniPath, "NoAntiVirus", "", buffer.data(), kValueCapacity};
    ReadNoticeRecord(reader, noAvNotice_);
    return 1;
}

int CampaignConfig::LoadGameScan(const char* iniPath) {
    gameScanNotice_.FeaturedNames.clear();
    gameScanNotice_.ScanPatterns.clear();
    if (iniPath == nullptr) return 0;
    {
        std::vector<char> buffer(kValueCapacity, '\0');
        const SectionReader reader{iniPath, "NoAntiVirus", "", buffer.data(), kValueCapacity};
        ReadNoticeRecord(reader, gameScanNotice_);
    }
    std::vector<char> names(kGameScanCapacity, '\0');
    GetPrivateProfileStringA("GameScan", nullptr, "", names.data(), kGameScanCapacity, iniPath);
    const char* const end = names.data() + kGameScanCapacity;
    for (const char* name = names.data(); name < end && *name != '\0';) {
        if (AddGameScanEntry(name, iniPath) == 0) return 0;
        name += strnlen(name, static_cast<std::size_t>(end - name)) + 1;
    }
    return 1;
}

int CampaignConfig::AddGameScanEntry(const char* keyName, const char* iniPath) {
    // Without a file the profile functions would read win.ini instead.
    if (keyName == nullptr || *keyName == '\0' || iniPath == nullptr) return 0;
    std::vector<char> value(kGameScanCapacity, '\0');
    GetPrivateProfileStringA("GameScan", keyName, "", value.data(), kGameScanCapacity, iniPath);
    if (value[0] == '\0') return 0;
    // The last byte of the name as the file spells it, case-sensitively.
    const char last = keyName[std::strlen(keyName) - 1];
    if (last == 'm') {
        gameScanNotice_.FeaturedNames.emplace_back(value.data());
        gameScanNotice_.ScanPatterns.emplace_back(value.data());
        return 1;
    }
    if (last == 'o') {
        gameScanNotice_.ScanPatterns.emplace_back(value.data());
        return 1;
    }
    return 0;
}
