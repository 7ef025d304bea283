#include "ledger.h"

#include <algorithm>

#include "days.h"

namespace reports {

namespace {

// Two digits at `at` into `value`; false when they are not digits.
bool TwoDigits(std::string_view text, std::size_t at, int& value) {
    if (at + 2 > text.size() || text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9') {
        return false;
    }
    value = (text[at] - '0') * 10 + (text[at + 1] - '0');
    return true;
}

std::string Describe(const Campaign& c) {
    return c.id + " (" + FormatWindowEnd(c.from) + " to " + FormatWindowEnd(c.to) + ")";
}

}  // namespace

std::optional<std::int64_t> ParseTime(std::string_view text, std::optional<int> utcOffsetHours, std::string& why) {
    why = "a time is YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, ending in Z for UTC, e.g. 2026-03-01T08:00 or "
          "2026-03-01T00:00Z";
    const bool utc = !text.empty() && text.back() == 'Z';
    if (utc) text.remove_suffix(1);
    int hour = 0, minute = 0, second = 0;
    if ((text.size() != 16 && text.size() != 19) || text[10] != 'T' || text[13] != ':' ||
        !TwoDigits(text, 11, hour) || !TwoDigits(text, 14, minute) ||
        (text.size() == 19 && (text[16] != ':' || !TwoDigits(text, 17, second)))) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> day = ParseDay(text.substr(0, 10));
    if (!day || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    if (!utc && !utcOffsetHours) {
        why = "the time " + std::string(text) + " needs a zone: give --tz (e.g. --tz 8) or end it in Z for UTC";
        return std::nullopt;
    }
    why.clear();
    const int zone = utc ? 0 : *utcOffsetHours;
    return *day * 86400 + hour * 3600 + minute * 60 + second - zone * 3600;
}

bool Holds(const Campaign& campaign, std::int64_t at) {
    return at >= campaign.from && (!campaign.to || at < *campaign.to);
}

const Campaign* CampaignAt(const Ledger& ledger, std::int64_t at) {
    for (const Campaign& c : ledger) {
        if (Holds(c, at)) return &c;
    }
    return nullptr;
}

bool Overlap(std::int64_t fromA, std::optional<std::int64_t> toA, std::int64_t fromB, std::optional<std::int64_t> toB) {
    return (!toB || fromA < *toB) && (!toA || fromB < *toA);
}

std::string CheckCampaignId(std::string_view id) {
    if (id.empty()) return "a campaign's id may not be empty";
    if (id.size() > kMaxCampaignId) return "a campaign's id is at most " + std::to_string(kMaxCampaignId) + " bytes";
    for (const char c : id) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return "a campaign's id may not hold control characters";
    }
    return {};
}

std::string CheckTexts(const Campaign& campaign) {
    std::string why = CheckCampaignId(campaign.id);
    if (!why.empty()) return why;
    std::vector<std::pair<const char*, const std::string*>> texts{{"the id", &campaign.id},
                                                                  {"the purpose", &campaign.purpose},
                                                                  {"the title", &campaign.title}};
    for (const std::string& p : campaign.patterns) texts.push_back({"a pattern", &p});
    for (const auto& [name, text] : texts) {
        if (!ValidUtf8(*text)) return std::string(name) + " is not UTF-8 text";
        for (const char c : *text) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::string(name) + " holds a control character";
        }
    }
    return {};
}

bool ValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t >> 6) != 2) return false;
            code = (code << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and what lies past U+10FFFF.
        static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        i += length;
    }
    return true;
}

std::string CheckNewCampaign(const Ledger& ledger, const Campaign& campaign) {
    std::string why = CheckTexts(campaign);
    if (!why.empty()) return why;
    if (campaign.to && *campaign.to <= campaign.from) return "--to must come after --from";
    for (const Campaign& c : ledger) {
        if (c.id == campaign.id) return "the ledger has a campaign " + Describe(c) + " already; pick another id";
    }
    for (const Campaign& c : ledger) {
        if (Overlap(c.from, c.to, campaign.from, campaign.to)) {
            return "the window " + FormatWindowEnd(campaign.from) + " to " + FormatWindowEnd(campaign.to) +
                   " overlaps campaign " + Describe(c) + "; end that one first, or start this one later";
        }
    }
    return {};
}

std::string CheckEnd(const Ledger& ledger, std::string_view id, std::int64_t at) {
    const Campaign* ended = nullptr;
    for (const Campaign& c : ledger) {
        if (c.id == id) ended = &c;
    }
    if (ended == nullptr) return "the ledger has no campaign " + std::string(id) + " (see campaign list)";
    if (at <= ended->from) return "the end must come after the campaign's start, " + FormatWindowEnd(ended->from);
    for (const Campaign& c : ledger) {
        if (&c != ended && Overlap(c.from, c.to, ended->from, at)) {
            return "ending at " + FormatWindowEnd(at) + " would overlap campaign " + Describe(c);
        }
    }
    return {};
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; !text.empty() && start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string FormatWindowEnd(std::optional<std::int64_t> at) { return at ? FormatTime(*at) : "open"; }

}  // namespace reports
