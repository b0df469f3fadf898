// The W most recent values of one observed quantity, oldest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace radar {

// A ring buffer that grows on demand: the storage doubles as values arrive
// (capped at W), so a window sized by a huge look-back costs nothing until
// it is actually filled. Once W values are held, a push overwrites the
// oldest in place and allocates nothing.
class BoundedSeries {
public:
    explicit BoundedSeries(uint64_t capacity) : capacity_(capacity) {}

    void push(double v) {
        if (len_ == buf_.size()) {
            if (len_ < capacity_) {
                grow();
            } else {
                if (len_ == 0) return;  // a zero window keeps nothing
                buf_[head_] = v;
                head_ = wrap(head_ + 1);
                return;
            }
        }
        buf_[wrap(head_ + len_)] = v;
        ++len_;
    }

    size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }
    uint64_t capacity() const { return capacity_; }

    // Position 0 is the oldest retained value, size() - 1 the newest.
    double operator[](size_t i) const { return buf_[wrap(head_ + i)]; }
    double back() const { return (*this)[len_ - 1]; }

private:
    // head_ + i never reaches twice the buffer size, so one subtraction wraps.
    size_t wrap(size_t i) const { return i >= buf_.size() ? i - buf_.size() : i; }

    // Growth happens only while nothing has been evicted yet, so head_ is
    // still 0 and a plain resize keeps the order.
    void grow() {
        constexpr uint64_t kFirst = 4;
        uint64_t old = buf_.size();
        uint64_t target = old == 0 ? kFirst : (old > capacity_ / 2 ? capacity_ : 2 * old);
        size_t size = static_cast<size_t>(target < capacity_ ? target : capacity_);
        buf_.reserve(size);  // exactly: resize alone may round the allocation up past W
        buf_.resize(size);
    }

    std::vector<double> buf_;
    size_t head_ = 0;
    size_t len_ = 0;
    uint64_t capacity_;
};

}  // namespace radar
