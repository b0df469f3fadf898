// The W most recent values of observed quantities, oldest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace radar {

// A ring buffer of rows of N values, for quantities that always arrive
// together (a derivatives snapshot brings three): a row sits in one place,
// so a push touches one stretch of memory, not N. The storage doubles as rows
// arrive (capped at W), so a window sized by a huge look-back costs nothing
// until it is actually filled. Once W rows are held, a push overwrites the
// oldest in place and allocates nothing.
template <size_t N>
class BoundedRows {
public:
    explicit BoundedRows(uint64_t capacity) : capacity_(capacity) {}

    void push(const double (&row)[N]) {
        if (len_ == rows()) {
            if (len_ < capacity_) {
                grow();
            } else {
                if (len_ == 0) return;  // a zero window keeps nothing
                store(head_, row);
                head_ = wrap(head_ + 1);
                return;
            }
        }
        store(wrap(head_ + len_), row);
        ++len_;
    }

    size_t size() const { return len_; }
    uint64_t capacity() const { return capacity_; }
    // Where the next push writes, or null when it allocates first.
    const double* next_row() const {
        if (len_ == rows()) return len_ < capacity_ || len_ == 0 ? nullptr : &buf_[N * head_];
        return &buf_[N * wrap(head_ + len_)];
    }

    // Value k of row i; row 0 is the oldest retained, size() - 1 the newest.
    double at(size_t i, size_t k) const { return buf_[N * wrap(head_ + i) + k]; }

private:
    size_t rows() const { return rows_; }
    // head_ + i never reaches twice the row count, so one subtraction wraps.
    size_t wrap(size_t i) const { return i >= rows() ? i - rows() : i; }
    void store(size_t slot, const double (&row)[N]) {
        for (size_t k = 0; k < N; ++k) buf_[N * slot + k] = row[k];
    }

    // Growth happens only while nothing has been evicted yet, so head_ is
    // still 0 and a plain resize keeps the order.
    void grow() {
        constexpr uint64_t kFirst = 4;
        uint64_t old = rows();
        uint64_t target = old == 0 ? kFirst : (old > capacity_ / 2 ? capacity_ : 2 * old);
        size_t size = static_cast<size_t>(target < capacity_ ? target : capacity_);
        buf_.reserve(N * size);  // exactly: resize alone may round the allocation up past W
        buf_.resize(N * size);
        rows_ = size;
    }

    std::vector<double> buf_;
    size_t rows_ = 0;  // buf_.size() / N
    size_t head_ = 0;
    size_t len_ = 0;
    uint64_t capacity_;
};

// One quantity of a BoundedRows, read as a series of its own.
template <size_t N>
class SeriesView {
public:
    SeriesView(const BoundedRows<N>& rows, size_t k) : rows_(rows), k_(k) {}

    size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.size() == 0; }
    // Position 0 is the oldest retained value, size() - 1 the newest.
    double operator[](size_t i) const { return rows_.at(i, k_); }
    double back() const { return (*this)[size() - 1]; }

private:
    const BoundedRows<N>& rows_;
    size_t k_;
};

}  // namespace radar
