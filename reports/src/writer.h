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
    // The writer thread owns `store` from here on until destruction. With
    // `upkeep` (a second store on the same database) upkeep runs on a thread
    // of its own; without, the store does it inside commits.
    explicit ReportWriter(Store& store, std::unique_ptr<Store> upkeep = nullptr);
    ~ReportWriter();  // stores what is queued, then stops the thread
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    enum class Outcome { Queued, Full, Stopped };
    // Answers at once. Queued: `done` runs later on the answering thread, with
    // true once the report is committed and false when the database refused
    // its batch (locked, full, read-only, failing). Full when kMaxWaiting
    // reports already wait (a stuck disk then holds no more connections,
    // and the plug-in's next report comes as usual), Stopped after Stop;
    // `done` never runs for these two.
    Outcome Submit(Report report, std::function<void(bool stored)> done);
    // Reports waiting: queued, and in the batch being committed.
    std::size_t Waiting();
    // Called on the writer thread after each batch with the seconds it took;
    // set it before the first Submit.
    void ObserveCommits(std::function<void(double seconds)> observer) { observer_ = std::move(observer); }

    // Past this many waiting reports a request is refused at once: the
    // bound a stuck disk meets, each waiting report holding its connection.
    static constexpr std::size_t kMaxWaiting = 48;
    // Refuses new reports, stores and answers the queued ones and joins the threads.
    void Stop();
    // The database error of the last batch that failed (for the log).
    std::string LastError();

private:
    struct Pending {
        Report report;
        std::function<void(bool stored)> done;
    };
    struct Answers {
        std::vector<Pending> batch;
        bool stored;
    };
    void Run();
    void RunAnswers();
    void RunUpkeep();

    static constexpr std::size_t kMaxBatch = kMaxWaiting;
    static constexpr std::chrono::milliseconds kRestartEvery{250};

    Store& store_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::vector<Pending> queue_;
    std::size_t committing_ = 0;  // reports in the batch being committed
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
