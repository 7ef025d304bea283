#include "stats.h"

#include <algorithm>
#include <cmath>

namespace reports {

std::optional<Interval> Wilson(std::int64_t hits, std::int64_t trials) {
    if (trials <= 0) return std::nullopt;
    const double n = static_cast<double>(trials), p = static_cast<double>(hits) / n, z2 = kZ95 * kZ95;
    const double centre = (p + z2 / (2 * n)) / (1 + z2 / n);
    const double half = kZ95 / (1 + z2 / n) * std::sqrt(p * (1 - p) / n + z2 / (4 * n * n));
    // At p = 0 or 1 the bound is the proportion itself; rounding must not
    // put it a hair outside.
    return Interval{std::max(0.0, hits == 0 ? 0.0 : centre - half), std::min(1.0, hits == trials ? 1.0 : centre + half)};
}

std::optional<Difference> Newcombe(std::int64_t hitsA, std::int64_t trialsA, std::int64_t hitsB, std::int64_t trialsB) {
    const std::optional<Interval> a = Wilson(hitsA, trialsA), b = Wilson(hitsB, trialsB);
    if (!a || !b) return std::nullopt;
    const double pa = static_cast<double>(hitsA) / static_cast<double>(trialsA);
    const double pb = static_cast<double>(hitsB) / static_cast<double>(trialsB);
    const double d = pb - pa;
    return Difference{d, {d - std::hypot(pb - b->low, a->high - pa), d + std::hypot(b->high - pb, pa - a->low)}};
}

std::optional<bool> Significant(std::int64_t trialsA, std::int64_t trialsB, const std::optional<Difference>& d) {
    if (!d || trialsA < kFewestToCompare || trialsB < kFewestToCompare) return std::nullopt;
    return d->interval.low > 0 || d->interval.high < 0;
}

}  // namespace reports
