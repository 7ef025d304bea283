// What the receiver counts while it runs: reports stored, refused by cause,
// answered 503 by cause, answers by status, heads cut and timed out, the
// last report's time and the commit latency. Lock-free counters that any
// thread bumps; read by GET /metrics (the Prometheus text format, with the
// build and the process's own figures) and the dashboard's health strip.
// Kept since the process started, never stored.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "query.h"

namespace reports {

// Why a request was answered 503.
enum class Busy {
    Queue,     // the reports waiting for the disk fill their memory
    Stuck,     // reports have waited a second or more with no commit
    Database,  // the database refused the batch
    Pages,     // the cap on pages being made at once
};
constexpr int kBusyCount = static_cast<int>(Busy::Pages) + 1;
const char* BusyName(Busy why);

// Why a connection was closed before its head had come, to make room or
// because it came too slowly (the deadline's are HeadTimeout).
enum class HeadCut { Address, Network, Total, Slow };
constexpr int kHeadCutCount = static_cast<int>(HeadCut::Slow) + 1;
const char* HeadCutName(HeadCut why);

// The statuses answers are counted by; any other is counted as "other".
constexpr std::array<int, 11> kCountedStatuses = {200, 400, 403, 404, 405, 408, 414, 431, 500, 503, 505};

// Commit latency buckets, upper bounds in seconds.
constexpr std::array<double, 12> kCommitBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                   0.1,   0.25,   0.5,   1.0,  2.5,   5.0};

class Metrics {
public:
    Metrics();
    void Stored(std::int64_t at);  // a report answered 200; `at` its time
    void Refused(QueryError why) { refused_[static_cast<int>(why)]++; }
    void Unavailable(Busy why) { busy_[static_cast<int>(why)]++; }
    void HeadTimeout() { headTimeouts_++; }
    void CutHead(HeadCut why) { cuts_[static_cast<int>(why)]++; }
    void Answered(int status);
    void Commit(double seconds);

    std::int64_t stored() const { return stored_; }
    std::int64_t lastReportAt() const { return lastReportAt_; }  // 0: none since start
    std::int64_t refused(QueryError why) const { return refused_[static_cast<int>(why)]; }
    std::int64_t unavailable(Busy why) const { return busy_[static_cast<int>(why)]; }
    std::int64_t unavailableTotal() const;
    std::int64_t startedAt() const { return startedAt_; }
    std::int64_t answered(int status) const;

    // The Prometheus text exposition (version 0.0.4) of everything above,
    // with the writer's queue depth and the connections open, the build's
    // version and the process's figures (process_*).
    std::string Prometheus(std::size_t queueDepth, std::size_t connections) const;

private:
    std::int64_t startedAt_;  // seconds since 1970
    std::atomic<std::int64_t> stored_{0}, lastReportAt_{0}, headTimeouts_{0};
    std::array<std::atomic<std::int64_t>, kQueryErrorCount> refused_{};
    std::array<std::atomic<std::int64_t>, kBusyCount> busy_{};
    std::array<std::atomic<std::int64_t>, kHeadCutCount> cuts_{};
    std::array<std::atomic<std::int64_t>, kCountedStatuses.size() + 1> statuses_{};  // the last: other
    std::array<std::atomic<std::int64_t>, kCommitBuckets.size() + 1> buckets_{};  // the last: above 5 s
    std::atomic<std::int64_t> commitMicros_{0};
};

// The dashboard's health strip: the last report received, the reports
// refused by cause and the 503s since the receiver started, as one line of
// HTML (numbers and fixed words only: nothing to escape).
std::string HealthStrip(const Metrics& metrics, std::int64_t now);

}  // namespace reports
