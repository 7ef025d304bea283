#include "page_pool.h"

namespace reports {

PagePool::PagePool(std::size_t threads) : size_(threads) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
}

PagePool::~PagePool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

bool PagePool::TryRun(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || busy_ >= size_) return false;
        ++busy_;
        work_.push_back(std::move(work));
    }
    wake_.notify_one();
    return true;
}

void PagePool::Loop() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !work_.empty(); });
            if (work_.empty()) return;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
        work = nullptr;  // what it holds (a connection) goes before the thread counts as free
        std::lock_guard<std::mutex> lock(mutex_);
        --busy_;
    }
}

}  // namespace reports
