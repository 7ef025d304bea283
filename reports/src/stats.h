// Intervals for conversions: Wilson's score interval for one proportion, and
// Newcombe's hybrid score interval (his method 10) for the difference of two
// independent ones. Pure: no I/O.
#pragma once
#include <cstdint>
#include <optional>

namespace reports {

// The normal quantile of a two-sided 95 % interval.
constexpr double kZ95 = 1.959963984540054;

// Below this many machines shown in either campaign a comparison says
// nothing: its "significant" is null.
constexpr std::int64_t kFewestToCompare = 100;

struct Interval {
    double low = 0;
    double high = 0;
};

// `hits` of `trials` (0 <= hits <= trials), at 95 %; nullopt for no trials.
std::optional<Interval> Wilson(std::int64_t hits, std::int64_t trials);

// b - a of two conversions: the difference and its 95 % interval; nullopt
// when either has no trials.
struct Difference {
    double difference = 0;
    Interval interval;
};
std::optional<Difference> Newcombe(std::int64_t hitsA, std::int64_t trialsA, std::int64_t hitsB, std::int64_t trialsB);

// True when the interval excludes 0, false when it holds it; nullopt when
// either campaign has fewer than kFewestToCompare trials.
std::optional<bool> Significant(std::int64_t trialsA, std::int64_t trialsB, const std::optional<Difference>& d);

}  // namespace reports
