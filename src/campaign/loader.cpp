// The campaign loader: fills a CampaignConfig from the decoded INI text, one
// row of the format's key table at a time.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "campaign/config.h"
#include "campaign/decode.h"
#include "campaign/format.h"
#include "campaign/rules.h"
#include "campaign/sections.h"
#include "common/ansi.h"

namespace {

// The key's value in `buffer`, or null when it is absent or empty.
const char* ReadText(const char* iniPath, const char* section, const char* key, std::vector<char>& buffer) {
    std::memset(buffer.data(), 0, buffer.size());
    GetPrivateProfileStringA(section, key, "", buffer.data(), static_cast<DWORD>(buffer.size()), iniPath);
    return buffer[0] != '\0' ? buffer.data() : nullptr;
}

// Every row of `section` in the key table, into the record that holds it.
void ReadKeys(const char* iniPath, const char* section, CommonSettings* common, NoticeRecord* notice) {
    std::vector<char> buffer(kValueCapacity, '\0');
    for (const CampaignKey& key : kCampaignKeys) {
        if (std::strcmp(key.section, section) != 0) continue;
        if (key.type == KeyType::Text) {
            TextString& field = common != nullptr ? common->*key.commonText : notice->*key.noticeText;
            if (const char* value = ReadText(iniPath, section, key.name, buffer)) {
                field = value;
                if (key.expandsLineFeeds) ExpandLineFeeds(AnsiLeadBytes(), field);
            } else if (key.absent == WhenAbsent::Empty) {
                field.clear();
            }
        } else {
            std::int32_t& field = common != nullptr ? common->*key.commonNumber : notice->*key.noticeNumber;
            field = StoredNumber(
                key, static_cast<std::int32_t>(GetPrivateProfileIntA(section, key.name, key.defaultValue, iniPath)));
        }
    }
}

}  // namespace

CampaignConfig::CampaignConfig(std::int32_t is64Bit) : noAvNotice_(kDefaultNoAvMessage), is64Bit_(is64Bit) {
    SetNumberDefaults(common_);
    SetNumberDefaults(noAvNotice_);
    SetNumberDefaults(gameScanNotice_);
}

bool CampaignConfig::LoadCampaignFile(const char* campaignPath) {
    if (campaignPath == nullptr || *campaignPath == '\0') return false;
    // The decoded copy is ours alone until the last value has been read.
    DecodedCampaignCopy copy;
    return copy.Create(campaignPath) && LoadPlainFile(copy.Path());
}

bool CampaignConfig::LoadPlainFile(const char* iniPath) {
    if (iniPath == nullptr || *iniPath == '\0') return false;
    LoadCommonSection(iniPath, common_);
    LoadNoticeSection(iniPath, noAvNotice_);
    LoadGameScan(iniPath, gameScanNotice_);
    return true;
}

bool LoadCommonSection(const char* iniPath, CommonSettings& common) {
    if (iniPath == nullptr) return false;
    ReadKeys(iniPath, kCommonSection, &common, nullptr);
    common.AntiVirus.clear();
    std::vector<char> buffer(kValueCapacity, '\0');
    for (int n = 1; n <= kMaxAntiVirusEntries; ++n) {
        char key[32];
        std::snprintf(key, sizeof key, "%s%d", kAntiVirusKeyPrefix, n);
        char* value = const_cast<char*>(ReadText(iniPath, kCommonSection, key, buffer));
        if (value == nullptr) break;
        AvEntry entry;
        if (!ParseAvEntry(value, static_cast<std::int32_t>(std::strlen(value)), entry)) break;
        common.AntiVirus.push_back(entry);
    }
    return true;
}

bool LoadNoticeSection(const char* iniPath, NoticeRecord& notice) {
    if (iniPath == nullptr) return false;
    ReadKeys(iniPath, kNoticeSection, nullptr, &notice);
    return true;
}

bool LoadGameScan(const char* iniPath, GameScanNoticeRecord& notice) {
    notice.FeaturedNames.clear();
    notice.ScanPatterns.clear();
    if (iniPath == nullptr) return false;
    LoadNoticeSection(iniPath, notice);
    std::vector<char> names(kGameScanCapacity, '\0');
    GetPrivateProfileStringA(kGameScanSection, nullptr, "", names.data(), kGameScanCapacity, iniPath);
    const char* const end = names.data() + kGameScanCapacity;
    for (const char* name = names.data(); name < end && *name != '\0';) {
        if (!AddGameScanEntry(name, iniPath, notice)) return false;
        name += strnlen(name, static_cast<std::size_t>(end - name)) + 1;
    }
    return true;
}

bool AddGameScanEntry(const char* keyName, const char* iniPath, GameScanNoticeRecord& notice) {
    if (keyName == nullptr || *keyName == '\0' || iniPath == nullptr) return false;
    const GameScanKeyKind kind = ClassifyGameScanKey(keyName);
    if (kind == GameScanKeyKind::Stop) return false;
    std::vector<char> value(kGameScanCapacity, '\0');
    GetPrivateProfileStringA(kGameScanSection, keyName, "", value.data(), kGameScanCapacity, iniPath);
    if (value[0] == '\0') return false;
    if (kind == GameScanKeyKind::Featured) notice.FeaturedNames.emplace_back(value.data());
    notice.ScanPatterns.emplace_back(value.data());
    return true;
}
