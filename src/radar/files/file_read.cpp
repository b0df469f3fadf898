#include "files/file_read.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "files/byte_source.hpp"
#include "files/file_lines.hpp"
#include "files/line_reader.hpp"

namespace radar {

namespace {

// Plain files are cut into ranges of about this size that threads read apart.
constexpr uint64_t kRangeBytes = uint64_t{16} << 20;
// How many parts may wait, read, for an earlier one still being read.
constexpr size_t kAhead = 4;

size_t thread_count(size_t wanted) {
    if (wanted > 0) return wanted;
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace

struct FileRead::Part {
    size_t file = 0;
    uint64_t begin = 0;  // byte range of a plain file; [0, max) for a whole file
    uint64_t end = UINT64_MAX;
    bool first = true;   // starts at the file's beginning
};

struct FileRead::Plan {
    std::vector<std::unique_ptr<ByteSource>> sources;  // opened up front; taken by the part reading a whole file
    std::vector<std::string> first_lines;              // for files read in ranges
    std::vector<uint64_t> first_line_at;               // where each of them starts
    std::vector<Part> parts;
};

namespace {

struct PartResult {
    Dataset dataset;
    std::optional<BarFilter> bars;
    std::vector<BadLine> bad;  // line numbers within the part
    ReasonCounts skipped;
    uint64_t events = 0;
    uint64_t lines = 0;
    std::string fatal;
    bool stopped = false;  // ended at a bad line or a fatal error
};

}  // namespace

FileRead::FileRead(std::vector<std::string> paths, FileReadOptions options, std::vector<ByteRange> ranges)
    : paths_(std::move(paths)), options_(options), ranges_(std::move(ranges)), plan_(std::make_unique<Plan>()) {
    ranges_.resize(paths_.size());
}

FileRead::~FileRead() = default;

bool FileRead::open(std::string& error) {
    Plan& plan = *plan_;
    plan.sources.clear();
    plan.parts.clear();
    plan.first_lines.assign(paths_.size(), std::string());
    plan.first_line_at.assign(paths_.size(), UINT64_MAX);
    for (size_t f = 0; f < paths_.size(); ++f) {
        std::string why;
        auto source = ByteSource::open(paths_[f], why);
        if (!source) {
            error = (paths_[f] == "-" ? std::string("<stdin>") : paths_[f]) + ": " + why;
            return false;
        }
        const uint64_t size = source->size();
        const ByteRange given = ranges_[f];
        const bool whole = given.begin == 0 && given.end == UINT64_MAX;
        if (!whole && (source->gzip() || paths_[f] == "-" || size == 0)) {
            error = paths_[f] + ": only a plain file can be read in ranges";
            return false;
        }
        const uint64_t begin = std::min(given.begin, size);
        const uint64_t end = whole ? size : std::min(std::max(given.end, begin), size);
        total_ += whole ? size : end - begin;
        const uint64_t range = options_.range_bytes > 0 ? options_.range_bytes : kRangeBytes;
        if (!whole || (!source->gzip() && paths_[f] != "-" && size > 2 * range)) {
            const uint64_t pieces = std::max<uint64_t>(1, (end - begin + range - 1) / range);
            // Every part but one from the file's start needs the line that tells the format.
            if (begin > 0 || pieces > 1) {
                if (!first_content_line(paths_[f], plan.first_lines[f], plan.first_line_at[f], why)) {
                    error = paths_[f] + ": " + why;
                    return false;
                }
            }
            for (uint64_t r = 0; r < pieces; ++r) {
                const uint64_t a = begin + (end - begin) * r / pieces;
                const uint64_t b = begin + (end - begin) * (r + 1) / pieces;
                plan.parts.push_back(Part{f, a, b, a == 0});
            }
            plan.sources.push_back(nullptr);  // each range opens its own
            continue;
        }
        plan.parts.push_back(Part{f, 0, UINT64_MAX, true});
        plan.sources.push_back(std::move(source));
    }
    return true;
}

namespace {

struct Reading {
    const RadarSpec& spec;
    const std::vector<std::string>& paths;
    const FileReadOptions& options;
    FileRead::Plan& plan;
    std::atomic<uint64_t>& done;
    std::atomic<size_t> next{0};
    std::atomic<size_t> stop_after{SIZE_MAX};  // the earliest part that stopped
    bool ahead = false;  // cores to spare: gzip files inflate on threads of their own

    std::mutex mutex;
    std::condition_variable merged_cv;
    std::vector<std::unique_ptr<PartResult>> results;
    size_t merged = 0;  // parts [0, merged) are in `total`
    std::vector<uint64_t> file_lines;
    FileReadResult total;
    std::exception_ptr failure;

    std::string name_of(size_t file) const { return paths[file] == "-" ? std::string("<stdin>") : paths[file]; }

    void read_part(const FileRead::Part& part, std::unique_ptr<ByteSource> source, PartResult& out, size_t index) {
        std::string error;
        if (!source) {
            source = ByteSource::open(paths[part.file], error);
            if (!source || (part.begin > 0 && !source->restrict_to(part.begin - 1, UINT64_MAX, error))) {
                out.fatal = name_of(part.file) + ": " + error;
                out.stopped = true;
                return;
            }
        }
        if (ahead) source->read_ahead();
        LineReader reader(*source, part.begin > 0 ? part.begin - 1 : 0);
        FileLines lines(options.format, paths[part.file], options.notional);
        if (!part.first) {
            // The part holding that line judges it itself, as a whole read
            // would (a refused header is a bad line, an accepted one no row).
            const bool before = plan.first_line_at[part.file] < part.begin;
            lines.take_first_line(before ? std::string_view(plan.first_lines[part.file]) : std::string_view());
            if (reader.skip_partial(error) < 0) {
                out.fatal = name_of(part.file) + ": " + error;
                out.stopped = true;
                return;
            }
        }
        if (options.bar > 0) out.bars.emplace(options.bar);
        auto feed = [&out, this](std::string_view s, const Event& e) { out.dataset.ingest(spec, s, e); };
        uint64_t reported = source->consumed();
        Line line;
        std::string_view symbol;
        Event event;
        std::string message;
        for (uint64_t count = 0;; ++count) {
            if ((count & 4095) == 0) {
                const uint64_t now = source->consumed();
                done.fetch_add(now - reported, std::memory_order_relaxed);
                reported = now;
                if (index > stop_after.load(std::memory_order_relaxed)) return;  // its result can't count
            }
            const int r = reader.next(line, error);
            if (r < 0) {
                out.fatal = name_of(part.file) + ": " + error;
                out.stopped = true;
                return;
            }
            if (r == 0 || line.start >= part.end) break;
            ++out.lines;
            switch (lines.line(line, symbol, event, message)) {
                case FileLines::What::Nothing: break;
                case FileLines::What::Event:
                    if (out.bars)
                        out.bars->take(symbol, event, feed);
                    else
                        out.dataset.ingest(spec, symbol, event);
                    ++out.events;
                    break;
                case FileLines::What::Skipped: out.skipped.add(message); break;
                case FileLines::What::Bad:
                    out.bad.push_back(BadLine{part.file, line.number, std::move(message)});
                    message.clear();
                    if (!options.skip_bad) {
                        out.stopped = true;
                        return;
                    }
                    break;
            }
        }
        done.fetch_add(source->consumed() - reported, std::memory_order_relaxed);
    }

    // Folds finished parts into the total, in input order, as far as they go.
    void merge_ready() {
        while (merged < results.size() && results[merged]) {
            PartResult& r = *results[merged];
            const FileRead::Part& part = plan.parts[merged];
            if (total.fatal.empty() && (total.bad.empty() || options.skip_bad)) {
                if (r.bars) {
                    // a snapshot held at the end of the earlier stretch goes before the later's rows
                    auto feed = [this](std::string_view s, const Event& e) { total.dataset.ingest(spec, s, e); };
                    if (total.bars)
                        total.bars->merge_later(std::move(*r.bars), feed);
                    else
                        total.bars = std::move(r.bars);
                }
                total.dataset.merge_later(std::move(r.dataset));
                for (BadLine& b : r.bad) {
                    b.line += file_lines[part.file];
                    total.bad.push_back(std::move(b));
                }
                for (const auto& [reason, n] : r.skipped) total.skipped[part.file].add(reason, n);
                total.events += r.events;
                total.lines += r.lines;
                file_lines[part.file] += r.lines;
                if (!r.fatal.empty()) total.fatal = std::move(r.fatal);
            }
            results[merged].reset();
            ++merged;
        }
        merged_cv.notify_all();
    }

    void work() {
        try {
            for (;;) {
                const size_t i = next.fetch_add(1);
                if (i >= plan.parts.size()) return;
                {
                    std::unique_lock lock(mutex);
                    merged_cv.wait(lock, [&] { return i < merged + kAhead || failure; });
                    if (failure) return;
                }
                auto result = std::make_unique<PartResult>();
                if (i <= stop_after.load()) {
                    read_part(plan.parts[i], std::move(plan.sources[i]), *result, i);
                }
                if (result->stopped) {
                    size_t seen = stop_after.load();
                    while (i < seen && !stop_after.compare_exchange_weak(seen, i)) {
                    }
                }
                std::lock_guard lock(mutex);
                results[i] = std::move(result);
                merge_ready();
            }
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!failure) failure = std::current_exception();
            merged_cv.notify_all();
        }
    }
};

}  // namespace

FileReadResult FileRead::run(const RadarSpec& spec) {
    Plan& plan = *plan_;
    // Sources were opened in file order; parts index them by part.
    std::vector<std::unique_ptr<ByteSource>> by_part(plan.parts.size());
    for (size_t i = 0; i < plan.parts.size(); ++i) {
        const size_t f = plan.parts[i].file;
        if (plan.parts[i].first && plan.sources[f]) by_part[i] = std::move(plan.sources[f]);
    }
    plan.sources = std::move(by_part);

    Reading reading{spec, paths_, options_, plan, done_};
    reading.results.resize(plan.parts.size());
    reading.file_lines.assign(paths_.size(), 0);
    reading.total.skipped.resize(paths_.size());
    reading.ahead = plan.parts.size() < thread_count(options_.threads);
    if (options_.bar > 0) reading.total.bars.emplace(options_.bar);
    const size_t helpers = std::min(thread_count(options_.threads), plan.parts.size()) - (plan.parts.empty() ? 0 : 1);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < helpers; ++t) {
        try {
            threads.emplace_back([&reading] { reading.work(); });
        } catch (const std::system_error&) {
            break;  // fewer threads: the work still gets done
        }
    }
    reading.work();
    for (std::thread& t : threads) t.join();
    if (reading.failure) std::rethrow_exception(reading.failure);
    if (!options_.skip_bad && reading.total.bad.size() > 1) reading.total.bad.resize(1);
    reading.total.file_lines = std::move(reading.file_lines);
    return std::move(reading.total);
}

}  // namespace radar
