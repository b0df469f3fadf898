#include "files/byte_source.hpp"

#include <chrono>

#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "files/file_io.hpp"
#include "files/interrupt.hpp"

namespace radar {

namespace {

constexpr size_t kRawChunk = size_t{1} << 18;
constexpr size_t kPeekBytes = size_t{1} << 12;
// Inflated bytes waiting for the reader: kAheadChunks pieces of kAheadChunk.
constexpr size_t kAheadChunk = size_t{1} << 20;
constexpr size_t kAheadChunks = 4;

std::string system_error(int code) { return std::strerror(code); }

}  // namespace

struct ByteSource::Inflater {
    z_stream z{};
    bool live = false;
    ~Inflater() {
        if (live) inflateEnd(&z);
    }
};

// The inflating thread hands over whole pieces; the reader copies out of
// the oldest one. Only the thread touches the source's own state.
struct ByteSource::Ahead {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> ready;  // inflated pieces, in order
    std::vector<std::string> spare;
    bool done = false;  // no piece will follow those in `ready`
    bool stop = false;  // the reader is gone
    std::string error;  // why it is done early; empty at the end of the content
    std::string current;
    size_t pos = 0;
    std::atomic<uint64_t> consumed{0};
    std::thread thread;

    ~Ahead() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (thread.joinable()) thread.join();
    }
};

ByteSource::~ByteSource() {
    ahead_.reset();  // the thread reads through the members below
    if (own_fd_ && fd_ >= 0) io::close_file(fd_);
}

uint64_t ByteSource::consumed() const {
    return ahead_ ? ahead_->consumed.load(std::memory_order_relaxed) : consumed_;
}

bool ByteSource::read_ahead() {
    // Not from a pipe: a thread blocked on a quiet one would hold up closing.
    if (!gzip_ || ahead_ || size_ == 0) return false;
    auto ahead = std::make_unique<Ahead>();
    Ahead& a = *ahead;
    // The thread reads a regular file, which never keeps it waiting long: the
    // reader looks for an interruption before it waits on the thread.
    checks_ = false;
    a.consumed.store(consumed_, std::memory_order_relaxed);
    try {
        a.thread = std::thread([this, &a] {
            for (;;) {
                std::string piece;
                {
                    std::unique_lock lock(a.mutex);
                    a.changed.wait(lock, [&] { return a.stop || a.ready.size() < kAheadChunks; });
                    if (a.stop) return;
                    if (!a.spare.empty()) {
                        piece = std::move(a.spare.back());
                        a.spare.pop_back();
                    }
                }
                std::string error;
                size_t got = 0;
                bool ok = true;
                try {
                    piece.resize(kAheadChunk);
                    ok = read_here(piece.data(), piece.size(), got, error);
                } catch (const std::bad_alloc&) {
                    ok = false;
                    error = "out of memory";
                }
                a.consumed.store(consumed_, std::memory_order_relaxed);
                std::lock_guard lock(a.mutex);
                if (!ok || got == 0) {
                    a.error = std::move(error);
                    a.done = true;
                    a.changed.notify_all();
                    return;
                }
                piece.resize(got);
                a.ready.push_back(std::move(piece));
                a.changed.notify_all();
            }
        });
    } catch (const std::system_error&) {
        checks_ = true;
        return false;
    }
    ahead_ = std::move(ahead);
    return true;
}

std::unique_ptr<ByteSource> ByteSource::open(const std::string& path, std::string& error,
                                             std::optional<uint64_t> regular_size) {
    std::unique_ptr<ByteSource> src(new ByteSource());
    if (path == "-") {
        src->fd_ = io::stdin_fd();
        src->waits_ = true;
    } else {
        int code = 0;
        // Opening a FIFO waits for a writer; a signal breaks that wait.
        while ((src->fd_ = io::open_read(path.c_str(), code)) < 0 && code == EINTR) {
            if (interrupt_pending()) {
                error = kInterrupted;
                return nullptr;
            }
        }
        if (src->fd_ < 0) {
            error = system_error(code);
            return nullptr;
        }
        src->own_fd_ = true;
        uint64_t size = regular_size.value_or(0);
        int kind_code = 0;
        switch (regular_size ? io::FileKind::Regular : io::regular_size(src->fd_, size, kind_code)) {
            case io::FileKind::Regular: src->size_ = size; break;
            case io::FileKind::Directory: error = "Is a directory"; return nullptr;
            case io::FileKind::Other: src->waits_ = true; break;
            case io::FileKind::Error: error = system_error(kind_code); return nullptr;
        }
    }
    if (!src->waits_ && !src->peek(error)) return nullptr;
    src->checks_ = true;
    return src;
}

bool ByteSource::peek(std::string& error) {
    // The first two bytes tell gzip; they stay in raw_ for whichever reader
    // follows. A small file comes in whole with them.
    while (raw_.size() < 2 && !raw_eof_) {
        const size_t old = raw_.size();
        raw_.resize(kPeekBytes);
        const long long got = pull(raw_.data() + old, kPeekBytes - old, error);
        raw_.resize(old + static_cast<size_t>(got < 0 ? 0 : got));
        if (got < 0) return false;
        offset_ += static_cast<uint64_t>(got);
        if (got == 0 || at_known_end(static_cast<size_t>(got), kPeekBytes - old)) raw_eof_ = true;
    }
    peeked_ = true;
    gzip_ = raw_.size() >= 2 && static_cast<unsigned char>(raw_[0]) == 0x1f &&
            static_cast<unsigned char>(raw_[1]) == 0x8b;
    if (gzip_) {
        inflater_ = std::make_unique<Inflater>();
        // 16 + 15: a gzip wrapper, the largest window
        if (inflateInit2(&inflater_->z, 16 + MAX_WBITS) != Z_OK) {
            error = "cannot start gzip decompression";
            return false;
        }
        inflater_->live = true;
    }
    return true;
}

namespace {

// A read of a regular file never waits, so the interruption is looked for
// once a millisecond rather than before every read: with thousands of small
// files, one look each was a system call per file.
bool time_to_look() {
    thread_local std::chrono::steady_clock::time_point next{};
    const auto now = std::chrono::steady_clock::now();
    if (now < next) return false;
    next = now + std::chrono::milliseconds(1);
    return true;
}

}  // namespace

long long ByteSource::pull(char* out, size_t want, std::string& error) {
    const int wake = checks_ ? interrupt_fd() : -1;
    if (wake >= 0 && !(waits_ ? io::wait_readable(fd_, wake) : !(time_to_look() && io::readable_now(wake)))) {
        interrupted_ = true;
        error = kInterrupted;
        return -1;
    }
    int code = 0;
    const long long got = io::read_some(fd_, out, want, code);
    if (got < 0) error = system_error(code);
    return got;
}

bool ByteSource::restrict_to(uint64_t begin, uint64_t end, std::string& error) {
    if (gzip_) {
        error = "a gzip file can only be read whole";
        return false;
    }
    int code = 0;
    if (!io::seek(fd_, begin, code)) {
        error = system_error(code);
        return false;
    }
    raw_.clear();
    raw_pos_ = 0;
    raw_eof_ = false;
    offset_ = begin;
    consumed_ = begin;
    limit_ = end;
    return true;
}

bool ByteSource::fill_raw(std::string& error) {
    if (raw_pos_ > 0 && raw_pos_ == raw_.size()) {
        raw_.clear();
        raw_pos_ = 0;
    }
    const size_t old = raw_.size();
    size_t want = kRawChunk;
    if (limit_ - offset_ < want) want = static_cast<size_t>(limit_ - offset_);
    if (want == 0) {
        raw_eof_ = true;
        return true;
    }
    raw_.resize(old + want);
    const long long got = pull(raw_.data() + old, want, error);
    if (got < 0) {
        raw_.resize(old);
        return false;
    }
    raw_.resize(old + static_cast<size_t>(got));
    offset_ += static_cast<uint64_t>(got);
    if (got == 0 || at_known_end(static_cast<size_t>(got), want)) raw_eof_ = true;
    return true;
}

bool ByteSource::read(char* out, size_t cap, size_t& got, std::string& error) {
    interrupted_ = false;
    if (!ahead_) return read_here(out, cap, got, error);
    Ahead& a = *ahead_;
    got = 0;
    if (a.pos == a.current.size()) {
        if (interrupt_pending()) {
            interrupted_ = true;
            error = kInterrupted;
            return false;
        }
        std::unique_lock lock(a.mutex);
        a.changed.wait(lock, [&] { return !a.ready.empty() || a.done; });
        if (a.ready.empty()) {
            if (a.error.empty()) return true;
            error = a.error;
            return false;
        }
        a.spare.push_back(std::move(a.current));
        a.current = std::move(a.ready.front());
        a.ready.pop_front();
        a.pos = 0;
        a.changed.notify_all();
    }
    got = std::min(cap, a.current.size() - a.pos);
    std::memcpy(out, a.current.data() + a.pos, got);
    a.pos += got;
    return true;
}

bool ByteSource::read_here(char* out, size_t cap, size_t& got, std::string& error) {
    got = 0;
    if (!peeked_ && !peek(error)) return false;
    if (gzip_) return inflate_some(out, cap, got, error);
    // Bytes already taken in for the gzip check go first.
    if (raw_pos_ < raw_.size()) {
        got = std::min(cap, raw_.size() - raw_pos_);
        std::memcpy(out, raw_.data() + raw_pos_, got);
        raw_pos_ += got;
        consumed_ += got;
        return true;
    }
    if (raw_eof_) return true;
    size_t want = cap;
    if (limit_ - offset_ < want) want = static_cast<size_t>(limit_ - offset_);
    if (want == 0) {
        raw_eof_ = true;
        return true;
    }
    const long long n = pull(out, want, error);
    if (n < 0) return false;
    if (n == 0) raw_eof_ = true;
    got = static_cast<size_t>(n);
    offset_ += got;
    consumed_ += got;
    return true;
}

bool ByteSource::inflate_some(char* out, size_t cap, size_t& got, std::string& error) {
    z_stream& z = inflater_->z;
    while (got == 0) {
        if (raw_pos_ == raw_.size()) {
            if (raw_eof_) {
                if (!member_done_) {
                    error = "Compressed file ended before the end-of-stream marker was reached";
                    return false;
                }
                return true;
            }
            if (!fill_raw(error)) return false;
            continue;
        }
        if (member_done_) {
            // Another member follows (concatenated gzip files are one stream).
            if (inflateReset(&z) != Z_OK) {
                error = "cannot restart gzip decompression";
                return false;
            }
            member_done_ = false;
        }
        const size_t avail = raw_.size() - raw_pos_;
        z.next_in = reinterpret_cast<Bytef*>(raw_.data() + raw_pos_);
        z.avail_in = static_cast<uInt>(avail > UINT32_MAX ? UINT32_MAX : avail);
        z.next_out = reinterpret_cast<Bytef*>(out);
        z.avail_out = static_cast<uInt>(cap > UINT32_MAX ? UINT32_MAX : cap);
        const int rc = ::inflate(&z, Z_NO_FLUSH);
        const size_t used = avail - z.avail_in;
        raw_pos_ += used;
        consumed_ += used;
        got = cap - z.avail_out;
        if (rc == Z_STREAM_END) {
            member_done_ = true;
        } else if (rc == Z_BUF_ERROR) {
            // no progress possible without more input: loop to fetch it
            if (used == 0 && got == 0 && raw_eof_) {
                error = "Compressed file ended before the end-of-stream marker was reached";
                return false;
            }
            if (used == 0 && got == 0 && !fill_raw(error)) return false;
        } else if (rc != Z_OK) {
            error = std::string("gzip data is corrupt (") + (z.msg != nullptr ? z.msg : "inflate failed") + ")";
            return false;
        }
    }
    return true;
}

}  // namespace radar
