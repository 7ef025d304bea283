#include "writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>

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

ReportWriter::ReportWriter(Store& store, std::unique_ptr<Store> upkeep) : store_(store), upkeep_(std::move(upkeep)) {
    if (upkeep_) {
        store_.HandOverUpkeep();
        upkeepThread_ = std::thread([this] { RunUpkeep(); });
    }
    answerThread_ = std::thread([this] { RunAnswers(); });
    thread_ = std::thread([this] { Run(); });
}

ReportWriter::~ReportWriter() { Stop(); }

ReportWriter::Outcome ReportWriter::Submit(Report report, std::function<void(bool stored)> done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return Outcome::Stopped;
        if (queue_.size() + committing_ >= kMaxWaiting) return Outcome::Full;
        queue_.push_back({std::move(report), std::move(done)});
    }
    work_.notify_one();
    return Outcome::Queued;
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
    std::vector<Report> rows;
    auto lastRestart = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and nothing left to store
            const std::size_t n = std::min(queue_.size(), kMaxBatch);
            batch.assign(std::make_move_iterator(queue_.begin()),
                         std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(n)));
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            committing_ = n;
        }
        rows.clear();
        for (Pending& p : batch) rows.push_back(std::move(p.report));
        bool stored = true;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        try {
            store_.Insert(rows);
        } catch (const std::exception& e) {
            stored = false;
            error = e.what();
        }
        const auto end = std::chrono::steady_clock::now();
        if (observer_) observer_(std::chrono::duration<double>(end - start).count());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            committing_ = 0;
            if (!stored) lastError_ = error;
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
