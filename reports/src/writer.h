// Group commit. Request threads hand their report to Submit, which returns
// only once the report is committed (true) or cannot be (false). One writer
// thread takes everything queued, stores it in one transaction and one sync,
// then wakes the submitters: a sync per batch instead of a sync per report,
// and still no answer before the row is on disk. Each submitter waits on its
// own promise, so a commit wakes only the reports it stored, not the ones
// queued behind it, and they do not queue on one lock to return.
//
// Given a second store on the same database, a second thread runs its upkeep
// (SQLite: copying the WAL into the database) twice a second, so that the
// writer never stops committing to do it: about a seventh of the throughput
// on a 2-core machine.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
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

    enum class Outcome { Stored, Full, Failed };
    // Stored once the report is committed; Full at once when kMaxWaiting
    // reports already wait (a stuck disk then costs no more threads, and the
    // plug-in's next report comes as usual); Failed when the database
    // refused the batch (locked, full, read-only, failing) or after Stop.
    Outcome Submit(Report report);
    // Reports waiting: queued, and in the batch being committed.
    std::size_t Waiting();
    // Called on the writer thread after each batch with the seconds it took;
    // set it before the first Submit.
    void ObserveCommits(std::function<void(double seconds)> observer) { observer_ = std::move(observer); }

    // Past this many waiting reports a request is refused at once. Below the
    // server's request threads, so that the bound is what a stuck disk
    // meets, and threads stay free for the pages and the refusals.
    static constexpr std::size_t kMaxWaiting = 48;
    // Refuses new reports, stores the queued ones and joins the thread.
    void Stop();
    // The database error of the last batch that failed (for the log).
    std::string LastError();

private:
    struct Pending {
        Report report;
        std::promise<bool> stored;  // set by the writer once the batch is committed or failed
    };
    void Run();
    void RunUpkeep();

    static constexpr std::size_t kMaxBatch = kMaxWaiting;

    Store& store_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::vector<Pending*> queue_;
    std::size_t committing_ = 0;  // reports in the batch being committed
    std::function<void(double)> observer_;
    bool stopping_ = false;
    std::string lastError_;
    std::condition_variable upkeepWake_;
    std::unique_ptr<Store> upkeep_;
    std::thread thread_;
    std::thread upkeepThread_;
};

}  // namespace reports
