// The campaign ledger's rules: which campaign was live when, the times an
// operator writes, and which changes keep the windows apart. Pure: no clock,
// no I/O.
//
// A campaign's window holds the times from `from` (included) to `to`
// (excluded; none: still running). Windows never overlap, so a report belongs
// to at most one campaign: the one whose window holds its time.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reports {

// Longest campaign identifier, in bytes.
constexpr std::size_t kMaxCampaignId = 100;

struct Campaign {
    std::string id;       // the operator's name for it, UTF-8
    std::int64_t num = 0;  // the key of its state; a new one whenever the state is built afresh
    std::string purpose;   // UTF-8
    std::int64_t from = 0;              // seconds since 1970, UTC
    std::optional<std::int64_t> to;     // none: open
    int utcOffsetHours = 0;             // the zone its days are cut in
    std::optional<std::int64_t> maxPopups;
    std::optional<std::int64_t> weekdays;  // bit 0 Sunday ... bit 6 Saturday
    std::string title;                     // UTF-8, from the campaign file
    std::vector<std::string> patterns;     // UTF-8, from the campaign file
    // The build from stored reports: reports with ids up to buildTo were
    // stored before the campaign was (re)built; those up to builtThrough are
    // in its state. Later reports are added as they are stored.
    std::int64_t builtThrough = 0;
    std::int64_t buildTo = 0;
    bool Built() const { return builtThrough >= buildTo; }
};

// Ordered by `from`.
using Ledger = std::vector<Campaign>;

// "YYYY-MM-DDTHH:MM[:SS]" in the zone `utcOffsetHours` (hours east of UTC),
// or the same ending in Z for UTC (the zone is then not needed). Seconds
// since 1970; nullopt and `why` for anything else.
std::optional<std::int64_t> ParseTime(std::string_view text, std::optional<int> utcOffsetHours, std::string& why);

bool Holds(const Campaign& campaign, std::int64_t at);
// The campaign whose window holds `at`, or null.
const Campaign* CampaignAt(const Ledger& ledger, std::int64_t at);
// Whether the windows [from, to) share a second (no `to`: open).
bool Overlap(std::int64_t fromA, std::optional<std::int64_t> toA, std::int64_t fromB, std::optional<std::int64_t> toB);

// Empty when the identifier may name a campaign: 1 to kMaxCampaignId bytes,
// no control characters; else why not.
std::string CheckCampaignId(std::string_view id);
// Empty when the campaign's texts (id, purpose, title, patterns) are UTF-8
// without control characters, and its id fits; else what is wrong.
std::string CheckTexts(const Campaign& campaign);
bool ValidUtf8(std::string_view text);
// Empty when `campaign` may join the ledger: its texts fit, a new identifier, a window that
// ends after it starts and overlaps no other (that one is named); else why not.
std::string CheckNewCampaign(const Ledger& ledger, const Campaign& campaign);
// Empty when `id` may end at `at`: it is in the ledger, `at` is after its
// start, and the window so changed overlaps no other; else why not.
std::string CheckEnd(const Ledger& ledger, std::string_view id, std::int64_t at);

// The patterns as the ledger stores them, one a line (a pattern holds no
// control character).
std::string JoinLines(const std::vector<std::string>& lines);
std::vector<std::string> SplitLines(const std::string& text);

// "2026-03-01T00:00:00Z", or "open" for no time.
std::string FormatWindowEnd(std::optional<std::int64_t> at);

}  // namespace reports
