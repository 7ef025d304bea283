// The threads the pages are made on. A page reads the database for up to
// seconds over millions of rows, and a streamed reports.csv writes for
// minutes: neither may hold the intake's thread. A few run at once; one
// more is refused rather than queued, so a burst of page requests cannot
// pile up work.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace reports {

class PagePool {
public:
    explicit PagePool(std::size_t threads);
    ~PagePool();  // finishes what runs, then joins
    PagePool(const PagePool&) = delete;
    PagePool& operator=(const PagePool&) = delete;

    // Runs `work` on a free thread; false (and `work` dropped) when every
    // thread is taken.
    bool TryRun(std::function<void()> work);

private:
    void Loop();

    const std::size_t size_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    std::size_t busy_ = 0;  // queued and running
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace reports
