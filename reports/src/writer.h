// Group commit. Request threads hand their report to Submit with what to do
// once it is committed, and go on to the next request. One writer thread
// takes everything queued, stores it in one transaction and one sync, and
// hands the batch to an answering thread, which runs each report's `done`
// (the server's sends its answer) while the writer commits the next batch:
// a sync per batch instead of a sync per report, still no answer before the
// row is on disk, and no thread woken per report.
//
// Given a second store on the same database, a second thread runs its upkeep
// (SQLite: copying the WAL into the database) ten times a second, so that
// the writer never stops committing to do it: about a seventh of the
// throughput on a 2-core machine. The writer itself then only restarts the
// log between batches, every kRestartEvery, which copies the little left.
//
// What waits is bounded by memory and by time, not by a count: a burst of
// thousands of reports waits for a few commits and is stored whole, and
// reports are refused only when the store is really stuck (no commit for
// kStuckAfter while work waits) or their memory reaches its bound.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store.h"

namespace reports {

class ReportWriter {
public:
    // Reports waiting for the disk may hold this much memory, their
    // connections' share included, before one more is refused.
    static constexpr std::size_t kMaxWaitingBytes = std::size_t{64} << 20;
    // Work waiting this long without a commit ending means the store is stuck.
    static constexpr std::chrono::seconds kStuckAfter{1};
    // An idle writer checks the store this often (Store::Probe), so that
    // CanCommit tells the truth without traffic: a database that went away,
    // or came back.
    static constexpr std::chrono::seconds kProbeEvery{1};

    // The writer thread owns `store` from here on until destruction. With
    // `upkeep` (a second store on the same database) upkeep runs on a thread
    // of its own; without, the store does it inside commits.
    explicit ReportWriter(Store& store, std::unique_ptr<Store> upkeep = nullptr,
                          std::size_t maxWaitingBytes = kMaxWaitingBytes);
    ~ReportWriter();  // stores what is queued, then stops the thread
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    enum class Outcome { Queued, Full, Stuck, Stopped };
    // Answers at once. Queued: `done` runs later on the answering thread, with
    // true once the report is committed and false when the database refused
    // its batch (down, locked, full, read-only, failing). Full when the
    // waiting reports hold maxWaitingBytes; Stuck when work has waited
    // kStuckAfter with no commit ending (a stuck disk then holds no more
    // connections, and the plug-in's next report comes as usual); Stopped
    // after Stop. `done` never runs for these three.
    Outcome Submit(Report report, std::function<void(bool stored)> done);
    // Reports waiting: queued, and in the batch being committed.
    std::size_t Waiting();
    // Whether a report submitted now would be committed: not stuck, not
    // full, and the last batch or check of the store went through. When not,
    // `why` says what holds it.
    bool CanCommit(std::string* why = nullptr);
    // Called on the writer thread after each batch with the seconds it took;
    // set it before the first Submit.
    void ObserveCommits(std::function<void(double seconds)> observer) { observer_ = std::move(observer); }

    // Refuses new reports, stores and answers the queued ones and joins the threads.
    void Stop();
    // The database error of the last batch or check that failed (for the log).
    std::string LastError();

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Report report;
        std::function<void(bool stored)> done;
        std::size_t bytes;
    };
    struct Answers {
        std::vector<Pending> batch;
        bool stored;
    };
    void Run();
    void RunAnswers();
    void RunUpkeep();
    // Stores `batch`'s reports in one transaction; answers whether it did.
    bool Commit(std::vector<Pending>& batch, std::string& error);
    bool StuckLocked(Clock::time_point now) const;

    // One transaction's most: a sync serves all of them.
    static constexpr std::size_t kMaxBatch = 1024;
    static constexpr std::chrono::milliseconds kRestartEvery{250};

    Store& store_;
    const std::size_t maxWaitingBytes_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::vector<Pending> queue_;
    std::size_t committing_ = 0;  // reports in the batch being committed
    std::size_t waitingBytes_ = 0;
    // When a commit last ended, or work began to wait on an idle writer.
    Clock::time_point progressAt_ = Clock::now();
    bool lastOk_ = true;  // the last batch or check went through
    std::function<void(double)> observer_;
    bool stopping_ = false;
    std::string lastError_;
    std::condition_variable upkeepWake_;
    std::unique_ptr<Store> upkeep_;
    std::vector<Answers> answers_;  // committed or failed batches, for the answering thread
    std::condition_variable answer_;
    bool writerDone_ = false;
    std::thread thread_;
    std::thread answerThread_;
    std::thread upkeepThread_;
};

}  // namespace reports
