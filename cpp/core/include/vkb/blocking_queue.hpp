#pragma once
// Unbounded blocking FIFO queue. Waiters are counted so a push only signals when someone waits.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace vkb {

template <class T>
class BlockingQueue {
public:
    using Clock = std::chrono::steady_clock;

    void push(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        if (waiters_ > 0) ready_.notify_one();
    }

    bool try_pop(T& out) {
        std::lock_guard lock(mutex_);
        return take_locked(out);
    }

    // Waits until an item is there or the deadline passes (no deadline: waits for ever).
    bool wait_pop(T& out, std::optional<Clock::time_point> deadline) {
        std::unique_lock lock(mutex_);
        ++waiters_;
        auto has_item = [&] { return !items_.empty(); };
        if (deadline)
            ready_.wait_until(lock, *deadline, has_item);
        else
            ready_.wait(lock, has_item);
        --waiters_;
        return take_locked(out);
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

private:
    bool take_locked(T& out) {
        if (items_.empty()) return false;
        out = std::move(items_.front());
        items_.pop_front();
        return true;
    }

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    int waiters_ = 0;
};

}  // namespace vkb
