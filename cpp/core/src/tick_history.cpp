#include "vkb/tick_history.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vkb {

namespace {

constexpr std::size_t kFirstCapacity = 1024;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on a buffer is mapped on its own.
constexpr std::size_t kMappedBytes = 2 * kHugePage;

#if defined(__linux__)
void* map_bytes(std::size_t bytes) {
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    // Only advice: without transparent huge pages the mapping keeps ordinary pages.
    madvise(data, bytes, MADV_HUGEPAGE);
    return data;
}
#endif

}  // namespace

TickHistory::TickHistory(TickHistory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)), dropped_(std::exchange(other.dropped_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

TickHistory& TickHistory::operator=(TickHistory&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(dropped_, other.dropped_);
    std::swap(mapped_, other.mapped_);
    return *this;
}

TickHistory::~TickHistory() { release(); }

void TickHistory::release() noexcept {
#if defined(__linux__)
    if (mapped_) {
        munmap(data_, capacity_ * sizeof(QuoteTick));
        return;
    }
#endif
    std::free(data_);
}

void TickHistory::drop_front(std::size_t count) {
    if (count > size_) count = size_;
    if (count == 0) return;
    std::memmove(data_, data_ + count, (size_ - count) * sizeof(QuoteTick));
    size_ -= count;
    dropped_ += count;
#if defined(__linux__)
    // The pages past the held ticks are zeroed and no longer resident until the buffer grows into them.
    if (mapped_) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t used = (size_ * sizeof(QuoteTick) + page - 1) / page * page;
        const std::size_t mapped = capacity_ * sizeof(QuoteTick);
        if (used < mapped) madvise(reinterpret_cast<char*>(data_) + used, mapped - used, MADV_DONTNEED);
    }
#endif
}

void TickHistory::grow() {
    const std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
    const std::size_t bytes = capacity * sizeof(QuoteTick);
#if defined(__linux__)
    if (mapped_) {
        void* data = mremap(data_, capacity_ * sizeof(QuoteTick), bytes, MREMAP_MAYMOVE);
        if (data == MAP_FAILED) throw std::bad_alloc();
        madvise(data, bytes, MADV_HUGEPAGE);
        data_ = static_cast<QuoteTick*>(data);
        capacity_ = capacity;
        return;
    }
    if (bytes >= kMappedBytes) {
        void* data = map_bytes(bytes);
        if (size_ != 0) std::memcpy(data, data_, size_ * sizeof(QuoteTick));
        std::free(data_);
        data_ = static_cast<QuoteTick*>(data);
        capacity_ = capacity;
        mapped_ = true;
        return;
    }
#endif
    void* data = std::realloc(data_, bytes);
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<QuoteTick*>(data);
    capacity_ = capacity;
}

}  // namespace vkb
