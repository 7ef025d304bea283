// The records of one campaign. Plain field lists, in the order the campaign
// format defines them; the defaults are those a new instance starts with.
#pragma once
#include <cstdint>
#include <vector>

#include "common/text.h"

struct AvEntry {
    std::int32_t values[3] = {0, 0, 0};
};

struct CommonSettings {
    std::int32_t DelayMinute = 30;
    std::int32_t MaxPopupTimes = 3;
    std::int32_t PopupFrequency = 7;  // weekday mask, bit 0 = Sunday
    TextString Purpose;
    // Not given a value by the format until the first load; the load's own
    // default is used so that it is never indeterminate.
    std::int32_t DisableAvExamine = 1;
    std::vector<AvEntry> AntiVirus;
};

struct NoticeRecord {
    explicit NoticeRecord(const char* message);
    std::int32_t Level = 3;
    TextString ID;
    TextString Title;
    TextString Message;
    TextString CommandText;
    TextString DownloadURL;
    std::int32_t CommandAction = 2;
    TextString Detail;
    std::int32_t ShowCheckBox = 1;  // the load's default until a load sets it
    std::int32_t SuportX64 = 1;     // likewise
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
