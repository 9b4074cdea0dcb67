#pragma once
// A growing column of values whose buffer a reader may hold on to (share) past later changes.
//
// A share sees the rows there were when it was taken, in a buffer it keeps alive. Those rows never
// change under it, except the newest one, which follows its bar until a row is appended after it:
// appending writes past every share (or into a new buffer), and any other change to a shared
// buffer is made in a copy. Unshared buffers change in place, as a vector's would.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace vkb {

template <class T>
class SharedColumn {
public:
    SharedColumn() = default;
    SharedColumn(const SharedColumn& other) { *this = other; }
    SharedColumn& operator=(const SharedColumn& other) {
        if (this != &other) {
            SharedColumn copy;
            copy.reallocate(0, other.size_);
            std::copy(other.begin(), other.end(), copy.buffer_.get());
            copy.size_ = other.size_;
            *this = std::move(copy);
        }
        return *this;
    }
    SharedColumn(SharedColumn&& other) noexcept { *this = std::move(other); }
    SharedColumn& operator=(SharedColumn&& other) noexcept {
        if (this != &other) {
            buffer_ = std::move(other.buffer_);
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* data() const { return buffer_.get(); }
    const T* begin() const { return buffer_.get(); }
    const T* end() const { return buffer_.get() + size_; }
    const T& operator[](std::size_t i) const { return buffer_[i]; }
    const T& back() const { return buffer_[size_ - 1]; }

    // The buffer, kept alive by the returned pointer; its first size() rows are this column's now.
    std::shared_ptr<const T[]> share() const { return buffer_; }

    // Row i for writing: in place for the newest row or an unshared buffer, else in a copy.
    T& at(std::size_t i) {
        if (i + 1 < size_ && shared()) reallocate(size_, capacity_);
        return buffer_[i];
    }

    void push_back(const T& value) {
        if (size_ == capacity_) reallocate(size_, grown());
        buffer_[size_++] = value;
    }

    void insert(std::size_t i, const T& value) {
        if (i == size_) {
            push_back(value);
            return;
        }
        if (size_ == capacity_ || shared()) reallocate(size_, size_ == capacity_ ? grown() : capacity_);
        std::copy_backward(buffer_.get() + i, buffer_.get() + size_, buffer_.get() + size_ + 1);
        buffer_[i] = value;
        ++size_;
    }

    friend bool operator==(const SharedColumn& a, const SharedColumn& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    friend bool operator==(const SharedColumn& a, const std::vector<T>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    bool shared() const { return buffer_.use_count() > 1; }
    std::size_t grown() const { return capacity_ < 8 ? 8 : capacity_ * 2; }

    // A fresh buffer of `capacity` holding the first `rows` rows; the old one stays with its shares.
    void reallocate(std::size_t rows, std::size_t capacity) {
        std::shared_ptr<T[]> fresh(new T[capacity]);
        std::copy(buffer_.get(), buffer_.get() + rows, fresh.get());
        buffer_ = std::move(fresh);
        capacity_ = capacity;
    }

    std::shared_ptr<T[]> buffer_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vkb
