// check: the rows of the format's key table, [Common]'s AntiVirus list, and
// the report that holds them.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "actions/url.h"
#include "checker.h"
#include "common/text.h"
#include "decision/gate_rules.h"
#include "output.h"

namespace {

// Large enough to read whole what the plug-in would cut.
constexpr DWORD kWideCapacity = 256 * 1024;

std::vector<std::string> SplitNames(const char* data, std::size_t size) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < size && data[i] != '\0';) {
        const std::size_t n = strnlen(data + i, size - i);
        names.emplace_back(data + i, n);
        i += n + 1;
    }
    return names;
}

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

// A whole decimal number, or 0x and hexadecimal digits, blanks around it.
bool IsNumberText(const std::string& text) {
    std::size_t p = text.find_first_not_of(" \t");
    const std::size_t end = text.find_last_not_of(" \t") + 1;
    if (p == std::string::npos) return false;
    const char* digits = "0123456789";
    if (text.compare(p, 2, "0x") == 0 || text.compare(p, 2, "0X") == 0) {
        p += 2;
        digits = "0123456789abcdefABCDEF";
    } else if (text[p] == '+' || text[p] == '-') {
        ++p;
    }
    return p < end && text.find_first_not_of(digits, p) >= end;
}

}  // namespace

std::vector<std::string> Profile::List(const char* section) const {
    std::vector<char> buffer(kWideCapacity, '\0');
    if (section == nullptr) {
        GetPrivateProfileSectionNamesA(buffer.data(), kWideCapacity, path.c_str());
    } else {
        GetPrivateProfileStringA(section, nullptr, "", buffer.data(), kWideCapacity, path.c_str());
    }
    return SplitNames(buffer.data(), buffer.size());
}

std::vector<std::string> Profile::GameScanNames() const {
    std::vector<char> buffer(kGameScanCapacity, '\0');
    GetPrivateProfileStringA(kGameScanSection, nullptr, "", buffer.data(), kGameScanCapacity, path.c_str());
    return SplitNames(buffer.data(), buffer.size());
}

std::string Profile::Value(const char* section, const std::string& key) const {
    std::vector<char> buffer(kWideCapacity, '\0');
    GetPrivateProfileStringA(section, key.c_str(), "", buffer.data(), kWideCapacity, path.c_str());
    return buffer.data();
}

std::int32_t Profile::Int(const char* section, const char* key, std::int32_t fallback) const {
    return static_cast<std::int32_t>(GetPrivateProfileIntA(section, key, fallback, path.c_str()));
}

void Checker::Line(const char* name, const std::string& value, const std::string& remark) {
    char padded[64];
    std::snprintf(padded, sizeof padded, "  %-17s ", name);
    report_ += padded + value + (remark.empty() ? std::string() : "  (" + remark + ")") + "\n";
}

void Checker::CheckText(const char* section, const char* key, const std::string& value) {
    bool valid = true;
    Utf8(value, &valid);
    if (!valid) {
        Warn("[" + std::string(section) + "] " + key +
             " is not valid code page 936 text: the balloon would show it garbled; save the file as GBK");
    }
}

const std::vector<std::string>& Checker::KeysOf(const char* section) const {
    return std::strcmp(section, kCommonSection) == 0 ? common_ : std::strcmp(section, kNoticeSection) == 0 ? notice_
                                                                                                     : gameScan_;
}

void Checker::Key(const CampaignKey& key) {
    const bool present = Contains(KeysOf(key.section), key.name);
    const std::string text = present ? ini_.Value(key.section, key.name) : std::string();
    const std::string name = key.name;
    if (text.size() > kValueCapacity - 1) {
        Warn("[" + std::string(key.section) + "] " + name + " is " + std::to_string(text.size()) +
             " bytes: the plug-in reads the first " + std::to_string(kValueCapacity - 1) + " and drops the rest");
    }
    // [NoAntiVirus] as the notice the balloon shows holds it.
    const CommonSettings& common = config_.Common();
    const NoticeRecord& notice = config_.GameScanNotice();
    if (key.type == KeyType::Text) {
        const TextString& value = key.commonText != nullptr ? common.*key.commonText : notice.*key.noticeText;
        std::string remark;
        if (key.absent == WhenAbsent::Keep && text.empty()) {
            remark = "absent or empty: the built-in value at a first load";
            const CampaignConfig fresh;
            const TextString& builtIn = key.commonText != nullptr ? fresh.Common().*key.commonText
                                                                  : fresh.GameScanNotice().*key.noticeText;
            Warn(name + " is absent or empty: a first load gives " +
                 (builtIn.empty() ? std::string(name == "Message" ? "an empty message, a balloon with no text"
                                                                  : "the empty text")
                                  : "the built-in " + Quoted(builtIn)) +
                 ", and a host that loaded an earlier campaign keeps that campaign's " + name + "; give it");
        } else if (!present) {
            remark = "absent: empty";
        }
        Line(key.name, Quoted(value), remark);
        CheckText(key.section, key.name, value);
    } else {
        const std::int32_t loaded = key.commonNumber != nullptr ? common.*key.commonNumber : notice.*key.noticeNumber;
        const std::int32_t raw = ini_.Int(key.section, key.name, key.defaultValue);
        std::string remark = present ? std::string() : "absent: the default";
        const std::string range = key.type == KeyType::Flag ? "0 or 1"
                                  : key.bounded ? "a whole number from " + std::to_string(key.low) + " to " +
                                                      std::to_string(key.high)
                                                : "a whole number";
        if (!text.empty() && !IsNumberText(text)) {
            Warn(name + " " + Quoted(text) + " is not a number: the plug-in reads it as " + std::to_string(raw) +
                 "; write " + range + " (absent, it is " + std::to_string(key.defaultValue) + ")");
        }
        if (present && StoredNumber(key, raw) != raw) {
            remark = "the file says " + std::to_string(raw);
            Warn(name + " " + std::to_string(raw) +
                 (key.type == KeyType::Flag ? " is neither 0 nor 1: the plug-in stores 1"
                                            : " is outside " + std::to_string(key.low) + ".." +
                                                  std::to_string(key.high) + ": the plug-in uses " +
                                                  std::to_string(StoredNumber(key, raw))));
        }
        Line(key.name, std::to_string(loaded), name == "CommandAction"
                                                   ? (present ? "held, never used" : remark + "; held, never used")
                                                   : remark);
    }
    Meaning(key, text);
}

// What a value means beyond its row: the texts and numbers an author most
// often gets wrong.
void Checker::Meaning(const CampaignKey& key, const std::string& text) {
    const std::string name = key.name;
    const CommonSettings& c = config_.Common();
    const GameScanNoticeRecord& n = config_.GameScanNotice();
    if (name == "Purpose" && text.empty()) {
        Warn("Purpose is absent or empty: the popup count and the day of the last showing are kept per Purpose, so "
             "this campaign shares them with every campaign without one and may never show; give it a name of its "
             "own, e.g. Purpose=vault-2025-spring");
    } else if (name == "MaxPopupTimes" && CountGateNeverPasses(c.MaxPopupTimes)) {
        Warn("MaxPopupTimes is " + std::to_string(c.MaxPopupTimes) +
             ": the notification never shows; give it 1 or more (absent, it is 3)");
    } else if (name == "PopupFrequency") {
        report_ += "                    shows on " + Weekdays(c.PopupFrequency) + "\n";
        // A value up to 7 reads like a number of days, but it is a set of
        // weekday bits; larger values are taken for deliberate sets.
        const bool given = !text.empty();
        if (WeekdayGateNeverPasses(c.PopupFrequency)) {
            Warn("PopupFrequency " + std::to_string(c.PopupFrequency) +
                 " allows no weekday: the notification never shows (127 allows every day)");
        } else if (!given || c.PopupFrequency <= 7) {
            Warn(std::string("PopupFrequency ") + (given ? "" : "is absent; its default ") +
                 std::to_string(c.PopupFrequency) + " is a set of weekday bits (1 Sunday, 2 Monday, 4 Tuesday, ... " +
                 "64 Saturday), not a count: it allows " + Weekdays(c.PopupFrequency) + " (127 allows every day)");
        }
        if ((c.PopupFrequency & ~0x7F) != 0) {
            Warn("PopupFrequency " + std::to_string(c.PopupFrequency) +
                 " has bits above 64 (Saturday); they mean nothing");
        }
    } else if (name == "DownloadURL") {
        TextString argument;
        if (!InstallerArgument(Cp936LeadBytes(), n.DownloadURL.c_str(), argument)) {
            Warn("DownloadURL " + Quoted(n.DownloadURL) +
                 " holds a control character: the check stops at \"download address passable\" and the "
                 "notification never shows; remove it");
        } else if (argument != n.DownloadURL) {
            Warn("DownloadURL " + Quoted(n.DownloadURL) + " holds a blank or a quote: the installer receives " +
                 Quoted(argument) + " (%20 for a blank, %22 for a quote), the same address to a web client; "
                 "write it so to be sure");
        }
    } else if (name == "ID" && n.ID.empty()) {
        Warn("ID is empty: the host's [NoNotify] opt-out cannot name this campaign; give each campaign an ID");
    } else if (name == "SuportX64" && n.SuportX64 == 0) {
        Warn("SuportX64 is 0: the notification never shows on 64-bit Windows");
    }
}

void Checker::AntiVirus() {
    const CommonSettings& c = config_.Common();
    std::string list;
    for (const AvEntry& e : c.AntiVirus) {
        list += (list.empty() ? "" : ", ") + std::string("(") + std::to_string(e.values[0]) + ", " +
                std::to_string(e.values[1]) + ", " + std::to_string(e.values[2]) + ")";
    }
    Line(kAntiVirusKeyPrefix, list.empty() ? "none" : list, "held, never used by the plug-in");
    const std::size_t read = c.AntiVirus.size();
    const bool full = read >= static_cast<std::size_t>(kMaxAntiVirusEntries);
    const std::string stop = std::string(kAntiVirusKeyPrefix) + std::to_string(read + 1);
    if (!full) {
        const std::string value = ini_.Value(kCommonSection, stop);
        if (!value.empty()) {
            Warn(stop + " " + Quoted(value) + " is not three numbers separated by commas: the list ends there");
        }
    }
    for (const std::string& key : common_) {
        if (_strnicmp(key.c_str(), kAntiVirusKeyPrefix, sizeof kAntiVirusKeyPrefix - 1) != 0) continue;
        bool used = false;
        for (std::size_t i = 1; i <= read && !used; ++i) used = SameName(key, std::string(kAntiVirusKeyPrefix) + std::to_string(i));
        if (!used && !(!full && SameName(key, stop))) {
            Warn("[Common] " + Utf8(key) + " is never read: the AntiVirus list ended at " + stop +
                 " (numbered 1, 2, 3, ... without gaps, leading zeros or more than " +
                 std::to_string(kMaxAntiVirusEntries) + ")");
        }
    }
}

std::string Checker::Report(const std::string& header) {
    common_ = ini_.List(kCommonSection);
    notice_ = ini_.List(kNoticeSection);
    gameScan_ = ini_.List(kGameScanSection);
    report_ = header + "\n";
    for (const char* section : {kCommonSection, kNoticeSection}) {
        report_ += std::strcmp(section, kCommonSection) == 0
                       ? "[Common]\n"
                       : "\n[NoAntiVirus]: the notice's texts (both notices of the plug-in receive them)\n";
        for (const CampaignKey& key : kCampaignKeys) {
            if (std::strcmp(key.section, section) == 0) Key(key);
        }
        if (std::strcmp(section, kCommonSection) == 0) AntiVirus();
    }
    Template();
    Balloon();
    GameScan();
    Structure();
    return report_;
}
