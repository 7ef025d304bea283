// The records of one campaign. Plain field lists, in the order the campaign
// format defines them. The numbers' defaults are the format's (the key
// table, campaign/format.h), which CampaignConfig gives a new instance; the
// built-in texts are defined here.
#pragma once
#include <cstdint>
#include <vector>

#include "common/text.h"

struct AvEntry {
    std::int32_t values[3] = {0, 0, 0};
};

struct CommonSettings {
    std::int32_t DelayMinute = 0;
    std::int32_t MaxPopupTimes = 0;
    std::int32_t PopupFrequency = 0;  // weekday mask, bit 0 = Sunday
    TextString Purpose;
    std::int32_t DisableAvExamine = 0;
    std::vector<AvEntry> AntiVirus;
};

struct NoticeRecord {
    explicit NoticeRecord(const char* message);
    std::int32_t Level = 0;
    TextString ID;
    TextString Title;
    TextString Message;
    TextString CommandText;
    TextString DownloadURL;
    std::int32_t CommandAction = 0;
    TextString Detail;
    std::int32_t ShowCheckBox = 0;
    std::int32_t SuportX64 = 0;
};

struct GameScanNoticeRecord : NoticeRecord {
    GameScanNoticeRecord() : NoticeRecord("") {}
    std::vector<TextString> ScanPatterns;   // every accepted [GameScan] value, in key order
    std::vector<TextString> FeaturedNames;  // the values whose key name ends in 'm'
};

// The built-in texts, as code page 936 bytes.
extern const char kDefaultTitle[];
extern const char kDefaultCommandText[];
extern const char kDefaultDetail[];
extern const char kDefaultNoAvMessage[];
