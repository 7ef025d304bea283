#include "writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace reports {

ReportWriter::ReportWriter(Store& store, const std::string& checkpointDb) : store_(store) {
    if (!checkpointDb.empty()) {
        checkpoints_ = std::make_unique<Store>(checkpointDb, Store::Mode::ReadWrite);
        store_.Exec("PRAGMA wal_autocheckpoint=0");
        checkpointThread_ = std::thread([this] { RunCheckpoints(*checkpoints_); });
    }
    thread_ = std::thread([this] { Run(); });
}

ReportWriter::~ReportWriter() { Stop(); }

ReportWriter::Outcome ReportWriter::Submit(Report report) {
    Pending pending;
    pending.report = std::move(report);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return Outcome::Failed;
    if (queue_.size() + committing_ >= kMaxWaiting) return Outcome::Full;
    queue_.push_back(&pending);
    work_.notify_one();
    done_.wait(lock, [&] { return pending.done; });
    return pending.stored ? Outcome::Stored : Outcome::Failed;
}

std::size_t ReportWriter::Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + committing_;
}

void ReportWriter::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    checkpointWake_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (checkpointThread_.joinable()) checkpointThread_.join();
}

std::string ReportWriter::LastError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

void ReportWriter::RunCheckpoints(Store& checkpoints) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool stopping = checkpointWake_.wait_for(lock, std::chrono::milliseconds(500), [&] { return stopping_; });
        lock.unlock();
        // PASSIVE: copies what no reader still needs and never waits for the
        // writer; a failure leaves the WAL longer, never a report lost.
        const int rc = sqlite3_wal_checkpoint_v2(checkpoints.handle(), nullptr,
                                                 stopping ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE,
                                                 nullptr, nullptr);
        if (rc != SQLITE_OK && rc != SQLITE_BUSY) {
            std::fprintf(stderr, "quentra-reports: checkpoint failed, the WAL grows until one succeeds: %s\n",
                         sqlite3_errmsg(checkpoints.handle()));
        }
        if (stopping) return;
        lock.lock();
    }
}

void ReportWriter::Run() {
    std::vector<Pending*> batch;
    std::vector<Report> rows;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and nothing left to store
            const std::size_t n = std::min(queue_.size(), kMaxBatch);
            batch.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            committing_ = n;
        }
        // The reports stay in their submitters' frames, which wait for us.
        rows.clear();
        for (Pending* p : batch) rows.push_back(std::move(p->report));
        bool stored = true;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        try {
            store_.Insert(rows);
        } catch (const std::exception& e) {
            stored = false;
            error = e.what();
        }
        if (observer_) observer_(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            committing_ = 0;
            for (Pending* p : batch) {
                p->stored = stored;
                p->done = true;
            }
            if (!stored) lastError_ = error;
        }
        done_.notify_all();
    }
}

}  // namespace reports
