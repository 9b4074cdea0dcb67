#pragma once
// The growing tick buffer of one code. Small buffers live on the heap; from a few megabytes on the
// buffer is its own memory mapping, grown by remapping its pages rather than copying them and
// backed by huge pages where the system allows, so a replay of millions of ticks touches each
// page once and takes few page faults.
//
// The oldest ticks may be dropped: the buffer then holds the ticks from `first()` on (counted over
// every tick ever pushed), and indexing and the span cover the held ones only.
#include <cstddef>
#include <span>
#include <type_traits>

#include "vkb/quote_tick.hpp"

namespace vkb {

class TickHistory {
    static_assert(std::is_trivially_copyable_v<QuoteTick>);

public:
    TickHistory() = default;
    TickHistory(const TickHistory&) = delete;
    TickHistory& operator=(const TickHistory&) = delete;
    TickHistory(TickHistory&& other) noexcept;
    TickHistory& operator=(TickHistory&& other) noexcept;
    ~TickHistory();

    void push_back(const QuoteTick& tick) {
        if (size_ == capacity_) grow();
        data_[size_++] = tick;
    }

    // Ticks held; first() of every tick ever pushed were dropped, total() were pushed.
    std::size_t size() const { return size_; }
    std::size_t first() const { return dropped_; }
    std::size_t total() const { return dropped_ + size_; }
    bool empty() const { return size_ == 0; }
    const QuoteTick& operator[](std::size_t i) const { return data_[i]; }
    const QuoteTick& back() const { return data_[size_ - 1]; }
    const QuoteTick* begin() const { return data_; }
    const QuoteTick* end() const { return data_ + size_; }
    operator std::span<const QuoteTick>() const { return {data_, size_}; }

    // Drops the `count` oldest held ticks and gives back the memory they held past the rest.
    void drop_front(std::size_t count);

private:
    void grow();
    void release() noexcept;

    QuoteTick* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0, dropped_ = 0;
    bool mapped_ = false;
};

}  // namespace vkb
