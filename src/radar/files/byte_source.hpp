// The bytes of one input file, plain or gzip (told by its first two bytes),
// read in pieces into the caller's buffer.
//
// Reads give way to an interruption (interrupt.hpp): a read from a pipe,
// FIFO, terminal or device waits on the interruption descriptor as well as
// on its input, and a read from a regular file looks at it first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace radar {

class ByteSource {
public:
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // "-" is standard input. Null with `error` set when the file can't be
    // opened, or kInterrupted when an interruption ended the wait for a
    // FIFO's writer. Never waits for input: on anything but a regular file
    // the first read tells gzip.
    // `regular_size`: the size of a regular file the caller has just looked
    // at, which spares a look of its own.
    static std::unique_ptr<ByteSource> open(const std::string& path, std::string& error,
                                            std::optional<uint64_t> regular_size = std::nullopt);

    // Up to `cap` bytes of the (decompressed) content; 0 at the end. False
    // with `error` set on a read or decompression failure, or on an
    // interruption: then `error` is kInterrupted and interrupted() is true,
    // nothing was consumed, and a later read goes on from where this one
    // stopped (once the interruption descriptor no longer reads as set).
    bool read(char* out, size_t cap, size_t& got, std::string& error);
    // The last read stopped for an interruption, not for an error.
    bool interrupted() const { return interrupted_; }

    // A gzip file inflated ahead on a thread of its own, a few megabytes at
    // most, while the caller parses: for a core that would idle otherwise.
    // False, reading on here, for anything but a regular gzip file, or when
    // no thread starts.
    bool read_ahead();

    // Only for plain files: read [begin, end) of the file instead of all of it.
    bool restrict_to(uint64_t begin, uint64_t end, std::string& error);

    bool gzip() const { return gzip_; }
    // The file's size on disk, 0 when unknown (standard input, pipes).
    uint64_t size() const { return size_; }
    // Bytes of the file consumed so far (compressed bytes for gzip); from
    // the reading thread, or any thread once reading ahead.
    uint64_t consumed() const;

private:
    ByteSource() = default;
    bool read_here(char* out, size_t cap, size_t& got, std::string& error);
    bool peek(std::string& error);  // tells gzip from the first two bytes
    // read(2) of up to `want` bytes, -1 with `error` set; first the interruption.
    long long pull(char* out, size_t want, std::string& error);
    // A regular file that gave less than asked, having given all its size:
    // its end, without a read that returns nothing (a system call per file
    // saved, with thousands of small ones).
    bool at_known_end(size_t got, size_t want) const { return own_fd_ && !waits_ && got < want && offset_ >= size_; }
    bool fill_raw(std::string& error);
    bool inflate_some(char* out, size_t cap, size_t& got, std::string& error);

    int fd_ = -1;
    bool own_fd_ = false;
    bool gzip_ = false;
    bool peeked_ = false;
    bool waits_ = false;         // input may be long in coming: not a regular file
    bool checks_ = false;        // reads look for an interruption (not the open, nor a thread reading ahead)
    bool interrupted_ = false;
    bool raw_eof_ = false;
    bool member_done_ = false;  // the last gzip member ended; another may follow
    uint64_t size_ = 0;
    uint64_t consumed_ = 0;
    uint64_t limit_ = UINT64_MAX;  // file offset to stop at (plain files)
    uint64_t offset_ = 0;          // file offset read so far
    std::string raw_;              // compressed input not yet inflated
    size_t raw_pos_ = 0;
    struct Inflater;
    std::unique_ptr<Inflater> inflater_;
    struct Ahead;
    std::unique_ptr<Ahead> ahead_;
};

}  // namespace radar
