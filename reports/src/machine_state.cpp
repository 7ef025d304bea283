#include "machine_state.h"

#include <algorithm>

#include "days.h"

namespace reports {

void Apply(MachineState& state, ReportKind kind, std::int64_t at) {
    if (kind == ReportKind::Installed) {
        if (!state.installed || at < *state.installed) state.installed = at;
        return;
    }
    ++state.shown;
    state.times.insert(std::upper_bound(state.times.begin(), state.times.end(), at), at);
    if (state.times.size() > kKeptShowingTimes) state.times.pop_back();
}

std::string SerializeTimes(const std::vector<std::int64_t>& times) {
    std::string out;
    out.reserve(times.size() * 8);
    for (const std::int64_t t : times) {
        const std::uint64_t u = static_cast<std::uint64_t>(t);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
    return out;
}

bool ParseTimes(std::string_view bytes, std::vector<std::int64_t>& times) {
    times.clear();
    if (bytes.size() % 8 != 0 || bytes.size() / 8 > kKeptShowingTimes) return false;
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
        std::uint64_t u = 0;
        for (int i = 7; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
        const std::int64_t t = static_cast<std::int64_t>(u);
        if (!times.empty() && t < times.back()) return false;
        times.push_back(t);
    }
    return true;
}

void AddMachine(Counts& counts, const MachineState& state, int utcOffsetHours, int sign) {
    if (state.shown > 0) counts[{Count::ShownTimes, state.shown}] += sign;
    // A showing in the same second as the install came before it: the
    // balloon is shown before anyone can take it.
    const std::int64_t before =
        state.installed ? std::upper_bound(state.times.begin(), state.times.end(), *state.installed) - state.times.begin()
                        : 0;
    if (state.installed) {
        if (before == 0) {
            counts[{Count::InstallsWithoutShowing, 0}] += sign;
        } else {
            counts[{Count::InstalledAfter, before}] += sign;
            const std::int64_t waited = *state.installed - state.times[static_cast<std::size_t>(before - 1)];
            counts[{Count::TimeToInstall, TimeBucket(waited)}] += sign;
        }
    }
    const std::int64_t reach = state.installed ? before : state.shown;
    if (reach > 0) counts[{Count::Reach, reach}] += sign;
    for (std::size_t i = 1; i < state.times.size(); ++i) {
        if (DayIn(state.times[i - 1], utcOffsetHours) == DayIn(state.times[i], utcOffsetHours)) {
            counts[{Count::ShownTwiceADay, 0}] += sign;
            break;
        }
    }
}

void AddReport(Counts& counts, ReportKind kind, bool emptyIdentifier) {
    counts[{kind == ReportKind::Installed ? Count::Installs : Count::Showings, 0}] += 1;
    if (emptyIdentifier) counts[{Count::EmptyIdentifierReports, 0}] += 1;
}

void DropZeros(Counts& counts) {
    for (auto it = counts.begin(); it != counts.end();) it = it->second == 0 ? counts.erase(it) : std::next(it);
}

std::int64_t TimeBucket(std::int64_t seconds) {
    if (seconds < 128) return std::max<std::int64_t>(seconds, 0);
    int exponent = 7;
    while (exponent < 62 && (seconds >> (exponent + 1)) != 0) ++exponent;
    const std::int64_t sub = (seconds >> (exponent - 6)) & 63;
    return 128 + (exponent - 7) * 64 + sub;
}

std::int64_t BucketValue(std::int64_t bucket) {
    if (bucket < 128) return bucket;
    const std::int64_t exponent = (bucket - 128) / 64 + 7, sub = (bucket - 128) % 64;
    const std::int64_t low = (64 + sub) << (exponent - 6), width = std::int64_t{1} << (exponent - 6);
    return low + width / 2;
}

}  // namespace reports
