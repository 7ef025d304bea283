#include "writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <string>

namespace reports {

namespace {

// Upkeep that fails leaves the WAL longer until it succeeds; no report is
// lost, so it is said and tried again at the next turn.
template <typename Work>
void TryUpkeep(Work work) {
    try {
        work();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports: upkeep failed, tried again shortly: %s\n", e.what());
    }
}

}  // namespace

// What a waiting report holds besides its text: the entry, its answer's
// closure and its connection's state.
constexpr std::size_t kReportOverhead = 1024;

ReportWriter::ReportWriter(Store& store, std::unique_ptr<Store> upkeep, std::size_t maxWaitingBytes)
    : store_(store), maxWaitingBytes_(maxWaitingBytes), upkeep_(std::move(upkeep)) {
    if (upkeep_) {
        store_.HandOverUpkeep();
        upkeepThread_ = std::thread([this] { RunUpkeep(); });
    }
    answerThread_ = std::thread([this] { RunAnswers(); });
    thread_ = std::thread([this] { Run(); });
}

ReportWriter::~ReportWriter() { Stop(); }

bool ReportWriter::StuckLocked(Clock::time_point now) const {
    return queue_.size() + committing_ > 0 && now - progressAt_ >= kStuckAfter;
}

ReportWriter::Outcome ReportWriter::Submit(Report report, std::function<void(bool stored)> done) {
    const std::size_t bytes = kReportOverhead + report.machine.size() + report.client.size();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return Outcome::Stopped;
        const auto now = Clock::now();
        if (StuckLocked(now)) return Outcome::Stuck;
        if (waitingBytes_ + bytes > maxWaitingBytes_) return Outcome::Full;
        if (queue_.empty() && committing_ == 0) progressAt_ = now;  // an idle writer is not stuck
        waitingBytes_ += bytes;
        queue_.push_back({std::move(report), std::move(done), bytes});
    }
    work_.notify_one();
    return Outcome::Queued;
}

std::size_t ReportWriter::Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + committing_;
}

bool ReportWriter::CanCommit(std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* what = stopping_                            ? "the receiver is stopping"
                       : StuckLocked(Clock::now())          ? "reports have waited a second or more for a commit"
                       : waitingBytes_ + kReportOverhead > maxWaitingBytes_
                           ? "the reports waiting for the disk fill their memory"
                       : !lastOk_ ? "the database refused the last commit or check"
                                  : nullptr;
    if (what != nullptr && why != nullptr) *why = lastOk_ ? what : std::string(what) + ": " + lastError_;
    return what == nullptr;
}

void ReportWriter::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    upkeepWake_.notify_one();
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writerDone_ = true;
    }
    answer_.notify_one();
    if (answerThread_.joinable()) answerThread_.join();
    if (upkeepThread_.joinable()) upkeepThread_.join();
}

std::string ReportWriter::LastError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

void ReportWriter::RunUpkeep() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool stopping = upkeepWake_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stopping_; });
        lock.unlock();
        TryUpkeep([&] { upkeep_->Upkeep(stopping); });
        if (stopping) return;
        lock.lock();
    }
}

void ReportWriter::Run() {
    std::vector<Pending> batch;
    auto lastRestart = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!work_.wait_for(lock, kProbeEvery, [&] { return stopping_ || !queue_.empty(); })) {
                // Idle: check the store, so that CanCommit follows it.
                lock.unlock();
                std::string error;
                bool ok = true;
                try {
                    store_.Probe();
                } catch (const std::exception& e) {
                    ok = false;
                    error = e.what();
                }
                lock.lock();
                lastOk_ = ok;
                if (!ok) lastError_ = error;
                continue;
            }
            if (queue_.empty()) return;  // stopping, and nothing left to store
            const std::size_t n = std::min(queue_.size(), kMaxBatch);
            batch.assign(std::make_move_iterator(queue_.begin()),
                         std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(n)));
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            committing_ = n;
        }
        std::string error;
        const bool stored = Commit(batch, error);
        const auto end = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            committing_ = 0;
            progressAt_ = end;
            lastOk_ = stored;
            if (!stored) lastError_ = error;
            for (const Pending& p : batch) waitingBytes_ -= p.bytes;
            answers_.push_back({std::move(batch), stored});
        }
        answer_.notify_one();
        batch.clear();
        // After the answers are on their way: they need not wait for it.
        if (upkeep_ && end - lastRestart >= kRestartEvery) {
            lastRestart = end;
            TryUpkeep([&] { store_.RestartLog(); });
        }
    }
}

bool ReportWriter::Commit(std::vector<Pending>& batch, std::string& error) {
    std::vector<Report> rows;
    rows.reserve(batch.size());
    for (Pending& p : batch) rows.push_back(std::move(p.report));
    bool stored = true;
    const auto start = Clock::now();
    try {
        store_.Insert(rows);
    } catch (const std::exception& e) {
        stored = false;
        error = e.what();
    }
    if (observer_) observer_(std::chrono::duration<double>(Clock::now() - start).count());
    return stored;
}

void ReportWriter::RunAnswers() {
    std::vector<Answers> answers;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            answer_.wait(lock, [&] { return writerDone_ || !answers_.empty(); });
            if (answers_.empty()) return;  // the writer has ended, and every batch is answered
            answers.swap(answers_);
        }
        // Outside the lock: `done` may ask for LastError.
        for (Answers& a : answers) {
            for (Pending& p : a.batch) p.done(a.stored);
        }
        answers.clear();
    }
}

}  // namespace reports
