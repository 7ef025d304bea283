// The campaign format, described once: the loader's buffer capacities, every
// key of [Common] and [NoAntiVirus] with its type, default, bounds and what a
// load does when it is absent, and the rule that sorts [GameScan] keys. The
// loader, quentra-campaign and the tests all read this table; a key is added
// or changed here and nowhere else. Pure: no I/O.
#pragma once
#include <cstdint>

#include "campaign/records.h"

// The sections the plug-in reads, as the files spell them (the profile
// functions compare names without case).
constexpr char kCommonSection[] = "Common";
constexpr char kNoticeSection[] = "NoAntiVirus";
constexpr char kGameScanSection[] = "GameScan";
// [Common] AntiVirus1, AntiVirus2, ...: a numbered list, read from 1 up to
// kMaxAntiVirusEntries or the first number that is missing or malformed.
constexpr char kAntiVirusKeyPrefix[] = "AntiVirus";

// Buffers the loader reads into, terminator included: a longer value is cut.
constexpr std::uint32_t kValueCapacity = 4096;     // [Common] and [NoAntiVirus] values
constexpr std::uint32_t kGameScanCapacity = 1024;  // [GameScan] key list, and each value
// AntiVirus1, AntiVirus2, ... are read up to this number, or the first gap.
constexpr int kMaxAntiVirusEntries = 100;

enum class KeyType {
    Text,    // read as text (GetPrivateProfileStringA)
    Number,  // read as a number (GetPrivateProfileIntA), then clamped when bounded
    Flag,    // read as a number, stored as 0 or 1
};

// What a load leaves in a text's field when the key is absent or empty.
enum class WhenAbsent { Keep, Empty };

struct CampaignKey {
    const char* section;
    const char* name;
    KeyType type;
    WhenAbsent absent;          // texts only
    std::int32_t defaultValue;  // numbers and flags: what an absent key reads as
    bool bounded;               // numbers: clamped to low..high
    std::int32_t low, high;
    bool expandsLineFeeds;      // texts: "\n" becomes a line feed
    // The field the key fills: one of these is set, by its section and type.
    TextString CommonSettings::*commonText;
    std::int32_t CommonSettings::*commonNumber;
    TextString NoticeRecord::*noticeText;
    std::int32_t NoticeRecord::*noticeNumber;
};

constexpr CampaignKey kCampaignKeys[] = {
    {kCommonSection, "Purpose", KeyType::Text, WhenAbsent::Empty, 0, false, 0, 0, false, &CommonSettings::Purpose, nullptr,
     nullptr, nullptr},
    {kCommonSection, "DelayMinute", KeyType::Number, WhenAbsent::Empty, 30, true, 1, 1000000, false, nullptr,
     &CommonSettings::DelayMinute, nullptr, nullptr},
    {kCommonSection, "MaxPopupTimes", KeyType::Number, WhenAbsent::Empty, 3, true, 0, 1000000, false, nullptr,
     &CommonSettings::MaxPopupTimes, nullptr, nullptr},
    {kCommonSection, "PopupFrequency", KeyType::Number, WhenAbsent::Empty, 7, true, 0, 1000000, false, nullptr,
     &CommonSettings::PopupFrequency, nullptr, nullptr},
    {kCommonSection, "DisableAvExamine", KeyType::Flag, WhenAbsent::Empty, 1, false, 0, 1, false, nullptr,
     &CommonSettings::DisableAvExamine, nullptr, nullptr},
    {kNoticeSection, "Title", KeyType::Text, WhenAbsent::Keep, 0, false, 0, 0, false, nullptr, nullptr,
     &NoticeRecord::Title, nullptr},
    {kNoticeSection, "Message", KeyType::Text, WhenAbsent::Keep, 0, false, 0, 0, true, nullptr, nullptr,
     &NoticeRecord::Message, nullptr},
    {kNoticeSection, "CommandText", KeyType::Text, WhenAbsent::Keep, 0, false, 0, 0, false, nullptr, nullptr,
     &NoticeRecord::CommandText, nullptr},
    {kNoticeSection, "DownloadURL", KeyType::Text, WhenAbsent::Keep, 0, false, 0, 0, false, nullptr, nullptr,
     &NoticeRecord::DownloadURL, nullptr},
    {kNoticeSection, "Detail", KeyType::Text, WhenAbsent::Empty, 0, false, 0, 0, false, nullptr, nullptr,
     &NoticeRecord::Detail, nullptr},
    {kNoticeSection, "Level", KeyType::Number, WhenAbsent::Empty, 3, false, 0, 0, false, nullptr, nullptr, nullptr,
     &NoticeRecord::Level},
    {kNoticeSection, "CommandAction", KeyType::Number, WhenAbsent::Empty, 2, false, 0, 0, false, nullptr, nullptr,
     nullptr, &NoticeRecord::CommandAction},
    {kNoticeSection, "ID", KeyType::Text, WhenAbsent::Empty, 0, false, 0, 0, false, nullptr, nullptr,
     &NoticeRecord::ID, nullptr},
    {kNoticeSection, "ShowCheckBox", KeyType::Flag, WhenAbsent::Empty, 1, false, 0, 1, false, nullptr, nullptr,
     nullptr, &NoticeRecord::ShowCheckBox},
    {kNoticeSection, "SuportX64", KeyType::Flag, WhenAbsent::Empty, 1, false, 0, 1, false, nullptr, nullptr, nullptr,
     &NoticeRecord::SuportX64},
};

// The row of `name` in `section` (ASCII letters compared without case, as
// the profile functions do), or null for a key the plug-in does not read.
// "AntiVirus<n>" has no row: it is the numbered list of kAntiVirusKeyPrefix.
const CampaignKey* FindCampaignKey(const char* section, const char* name);

// What the loader stores for a number or flag that read as `raw`.
std::int32_t StoredNumber(const CampaignKey& key, std::int32_t raw);

// Gives every number and flag of the record its key's default: what a new
// instance holds before any load.
void SetNumberDefaults(CommonSettings& common);
void SetNumberDefaults(NoticeRecord& notice);

// [GameScan]: the last byte of a key's name, case-sensitively, says what its
// value is. 'm': a featured name, which is also a pattern; 'o': a pattern;
// anything else (or an empty value) stops the section there.
enum class GameScanKeyKind { Featured, Pattern, Stop };
GameScanKeyKind ClassifyGameScanKey(const char* keyName);
