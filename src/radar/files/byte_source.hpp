// The bytes of one input file, plain or gzip (told by its first two bytes),
// read in pieces into the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace radar {

class ByteSource {
public:
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // "-" is standard input. False with `error` set when the file can't be opened.
    static std::unique_ptr<ByteSource> open(const std::string& path, std::string& error);

    // Up to `cap` bytes of the (decompressed) content; 0 at the end. False
    // with `error` set on a read or decompression failure.
    bool read(char* out, size_t cap, size_t& got, std::string& error);

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
    bool fill_raw(std::string& error);
    bool inflate_some(char* out, size_t cap, size_t& got, std::string& error);

    int fd_ = -1;
    bool own_fd_ = false;
    bool gzip_ = false;
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
