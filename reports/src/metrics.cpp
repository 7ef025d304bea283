#include "metrics.h"

#include <cstdio>
#include <ctime>

#include "days.h"
#include "process_metrics.h"

namespace reports {

const char* BusyName(Busy why) {
    switch (why) {
        case Busy::Queue: return "queue";
        case Busy::Stuck: return "stuck";
        case Busy::Database: return "database";
        case Busy::Pages: return "pages";
    }
    return "other";
}

const char* HeadCutName(HeadCut why) {
    switch (why) {
        case HeadCut::Address: return "address";
        case HeadCut::Network: return "network";
        case HeadCut::Total: return "total";
        case HeadCut::Slow: return "slow";
    }
    return "other";
}

namespace {

std::size_t StatusSlot(int status) {
    std::size_t i = 0;
    while (i < kCountedStatuses.size() && kCountedStatuses[i] != status) ++i;
    return i;
}

}  // namespace

void Metrics::Answered(int status) { statuses_[StatusSlot(status)]++; }

std::int64_t Metrics::answered(int status) const { return statuses_[StatusSlot(status)]; }

Metrics::Metrics() : startedAt_(static_cast<std::int64_t>(std::time(nullptr))) {}

void Metrics::Stored(std::int64_t at) {
    stored_++;
    std::int64_t last = lastReportAt_;
    while (at > last && !lastReportAt_.compare_exchange_weak(last, at)) {
    }
}

void Metrics::Commit(double seconds) {
    std::size_t i = 0;
    while (i < kCommitBuckets.size() && seconds > kCommitBuckets[i]) ++i;
    buckets_[i]++;
    commitMicros_ += static_cast<std::int64_t>(seconds * 1e6);
}

std::int64_t Metrics::unavailableTotal() const {
    std::int64_t n = 0;
    for (const auto& b : busy_) n += b;
    return n;
}

namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, std::int64_t value) {
    out += name + " " + std::to_string(value) + "\n";
}

}  // namespace

std::string Metrics::Prometheus(std::size_t queueDepth, std::size_t connections) const {
    std::string out;
    Family(out, "quentra_reports_stored_total", "counter", "Reports stored and answered 200.");
    Sample(out, "quentra_reports_stored_total", stored_);
    Family(out, "quentra_reports_refused_total", "counter", "Reports answered 400, by the rule they broke.");
    for (int i = 1; i < kQueryErrorCount; ++i) {
        Sample(out, std::string("quentra_reports_refused_total{cause=\"") + ErrorName(static_cast<QueryError>(i)) +
                        "\"}", refused_[i]);
    }
    Family(out, "quentra_reports_unavailable_total", "counter", "Requests answered 503, by cause.");
    for (int i = 0; i < kBusyCount; ++i) {
        Sample(out, std::string("quentra_reports_unavailable_total{cause=\"") + BusyName(static_cast<Busy>(i)) + "\"}",
               busy_[i]);
    }
    Family(out, "quentra_reports_head_timeouts_total", "counter",
           "Connections closed because the request head did not arrive in time.");
    Sample(out, "quentra_reports_head_timeouts_total", headTimeouts_);
    Family(out, "quentra_reports_heads_cut_total", "counter",
           "Connections closed before their request head had come: to make room under a cap, or too slow under pressure.");
    for (int i = 0; i < kHeadCutCount; ++i) {
        Sample(out, std::string("quentra_reports_heads_cut_total{cause=\"") + HeadCutName(static_cast<HeadCut>(i)) + "\"}",
               cuts_[i]);
    }
    Family(out, "quentra_reports_answers_total", "counter", "Answers sent, by status.");
    for (std::size_t i = 0; i <= kCountedStatuses.size(); ++i) {
        const std::string code = i < kCountedStatuses.size() ? std::to_string(kCountedStatuses[i]) : "other";
        Sample(out, "quentra_reports_answers_total{code=\"" + code + "\"}", statuses_[i]);
    }
    Family(out, "quentra_reports_last_report_timestamp_seconds", "gauge",
           "When the last stored report came (0: none since start).");
    Sample(out, "quentra_reports_last_report_timestamp_seconds", lastReportAt_);
    Family(out, "quentra_reports_queue_depth", "gauge", "Reports waiting for the disk.");
    Sample(out, "quentra_reports_queue_depth", static_cast<std::int64_t>(queueDepth));
    Family(out, "quentra_reports_connections", "gauge", "Connections open.");
    Sample(out, "quentra_reports_connections", static_cast<std::int64_t>(connections));
    Family(out, "quentra_reports_commit_seconds", "histogram", "Time to store one batch of reports.");
    std::int64_t cumulative = 0;
    for (std::size_t i = 0; i <= kCommitBuckets.size(); ++i) {
        cumulative += buckets_[i];
        char le[32];
        if (i < kCommitBuckets.size()) {
            std::snprintf(le, sizeof le, "%g", kCommitBuckets[i]);
        } else {
            std::snprintf(le, sizeof le, "+Inf");
        }
        Sample(out, std::string("quentra_reports_commit_seconds_bucket{le=\"") + le + "\"}", cumulative);
    }
    char sum[64];
    std::snprintf(sum, sizeof sum, "quentra_reports_commit_seconds_sum %.6f\n",
                  static_cast<double>(commitMicros_) / 1e6);
    out += sum;
    Sample(out, "quentra_reports_commit_seconds_count", cumulative);
    Family(out, "quentra_reports_build_info", "gauge", "The receiver's version, as a label.");
    out += "quentra_reports_build_info{version=\"" QUENTRA_REPORTS_VERSION "\"} 1\n";
    return out + ProcessMetrics();
}

std::string HealthStrip(const Metrics& m, std::int64_t now) {
    const std::int64_t last = m.lastReportAt();
    std::string text = "<p id=\"health\" style=\"margin:0 0 12px;padding:6px 10px;background:#f2f4f8\">Since " +
                       FormatTime(m.startedAt()) + ": <b>last report</b> ";
    text += last == 0 ? std::string("none yet") : FormatTime(last) + " (" + std::to_string(now - last) + " s ago)";
    std::int64_t refused = 0;
    std::string causes;
    for (int i = 1; i < kQueryErrorCount; ++i) {
        const std::int64_t n = m.refused(static_cast<QueryError>(i));
        refused += n;
        if (n > 0) causes += (causes.empty() ? " (" : ", ") + std::to_string(n) + " " + Describe(static_cast<QueryError>(i));
    }
    if (!causes.empty()) causes += ")";
    text += " · <b>refused</b> " + std::to_string(refused) + causes;
    text += " · <b>503</b> " + std::to_string(m.unavailableTotal());
    std::string busy;
    for (int i = 0; i < kBusyCount; ++i) {
        const std::int64_t n = m.unavailable(static_cast<Busy>(i));
        if (n > 0) busy += (busy.empty() ? " (" : ", ") + std::to_string(n) + " " + BusyName(static_cast<Busy>(i));
    }
    if (!busy.empty()) busy += ")";
    return text + busy + "</p>\n";
}

}  // namespace reports
