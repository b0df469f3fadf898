#include "files/file_read.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "files/byte_source.hpp"
#include "files/file_io.hpp"
#include "files/file_lines.hpp"
#include "files/ingest_pipeline.hpp"
#include "files/interrupt.hpp"
#include "files/line_reader.hpp"

namespace radar {

namespace {

// Plain files are cut into ranges of about this size that threads read apart.
constexpr uint64_t kRangeBytes = uint64_t{16} << 20;
// The line buffer of a part: its size when smaller, within these bounds.
constexpr size_t kLineChunk = size_t{1} << 20;
constexpr size_t kSmallestChunk = size_t{1} << 12;
// Symbols from which a reader pipelines its events (their states outgrow the caches).
constexpr size_t kBatchFrom = 4096;
// Consecutive small files are read as one part, up to these bounds: a part
// costs a plan entry and a report, which would outweigh a file of a few lines.
constexpr uint64_t kGroupFileBytes = uint64_t{64} << 10;
constexpr uint64_t kGroupBytes = uint64_t{1} << 20;
constexpr size_t kGroupFiles = 1024;

size_t thread_count(size_t wanted) {
    if (wanted > 0) return wanted;
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

struct Look {
    io::FileKind kind = io::FileKind::Other;  // standard input is no file to look at
    uint64_t size = 0;
    int code = 0;
};

// What each path is. Many are looked at on several threads: for a small
// file, looking costs about what reading it does.
std::vector<Look> look_at(const std::vector<std::string>& paths, size_t threads) {
    std::vector<Look> looks(paths.size());
    auto some = [&](size_t from, size_t to) {
        for (size_t f = from; f < to; ++f)
            if (paths[f] != "-") looks[f].kind = io::check_path(paths[f].c_str(), looks[f].size, looks[f].code);
    };
    const size_t n = paths.size();
    threads = std::min(threads, n / 512 + 1);
    std::vector<std::thread> helpers;
    size_t untaken = threads;  // the first slice no helper took
    for (size_t t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(some, n * t / threads, n * (t + 1) / threads);
        } catch (const std::system_error&) {
            untaken = t;
            break;
        }
    }
    some(0, n / threads);
    if (untaken < threads) some(n * untaken / threads, n);
    for (std::thread& t : helpers) t.join();
    return looks;
}

}  // namespace

struct FileRead::Part {
    size_t file = 0;
    uint64_t begin = 0;  // byte range of a plain file; [0, max) for a whole file
    uint64_t end = UINT64_MAX;
    bool first = true;   // starts at the file's beginning
    size_t files = 1;    // whole files from `file` on: small ones go together
    uint64_t bytes = 0;  // the bytes of a group of small files
    bool small = false;  // whole small files: a group that the next may join
};

struct FileRead::Plan {
    std::vector<uint64_t> sizes;                       // of regular files, else 0
    std::vector<std::string> first_lines;              // for files read in ranges
    std::vector<uint64_t> first_line_at;               // where each of them starts
    std::vector<Part> parts;
};

namespace {

struct PartResult {
    std::vector<BadLine> bad;  // line numbers within the part
    std::vector<ReasonCounts> skipped;  // per file of the part
    std::vector<uint64_t> file_lines;   // per file of the part
    uint64_t events = 0;
    uint64_t lines = 0;
    std::string fatal;
    bool interrupted = false;
    bool stopped = false;  // ended at a bad line, a fatal error or an interruption
};

// One thread's run of consecutive parts, read into one set of states: a
// symbol's state is built once per thread, not once per part, and only the
// threads' states are merged at the end. Each on cache lines of its own:
// a thread writes its pipeline's counters on every event, and the next
// thread's stretch reads its index on every event.
struct alignas(64) Stretch {
    size_t first = 0, last = 0;  // parts [first, last)
    Dataset dataset;
    std::optional<BarFilter> bars;
    IngestPipeline pipeline;  // with many symbols, events on their way into `dataset`
};

}  // namespace

FileRead::FileRead(std::vector<std::string> paths, FileReadOptions options, std::vector<ByteRange> ranges)
    : paths_(std::move(paths)), options_(options), ranges_(std::move(ranges)), plan_(std::make_unique<Plan>()) {
    ranges_.resize(paths_.size());
}

FileRead::~FileRead() = default;

bool FileRead::open(std::string& error) {
    // Files are only looked at here: each is opened when its turn comes, so
    // open descriptors and buffers go with the reading threads, not the files.
    Plan& plan = *plan_;
    plan.parts.clear();
    plan.sizes.assign(paths_.size(), 0);
    plan.first_lines.assign(paths_.size(), std::string());
    plan.first_line_at.assign(paths_.size(), UINT64_MAX);
    const uint64_t range = options_.range_bytes > 0 ? options_.range_bytes : kRangeBytes;
    const std::vector<Look> looks = look_at(paths_, thread_count(options_.threads));
    for (size_t f = 0; f < paths_.size(); ++f) {
        const std::string& path = paths_[f];
        std::string why;
        uint64_t size = looks[f].size;
        const bool regular = looks[f].kind == io::FileKind::Regular;
        if (looks[f].kind == io::FileKind::Directory) {
            error = path + ": Is a directory";
            return false;
        }
        if (looks[f].kind == io::FileKind::Error) {
            error = path + ": " + std::strerror(looks[f].code);
            return false;
        }
        const ByteRange given = ranges_[f];
        const bool whole = given.begin == 0 && given.end == UINT64_MAX;
        // Only a file large enough to be cut, or given in ranges, is opened
        // now: its first bytes tell whether it is gzip, which is read whole.
        bool gzip = false;
        if (regular && (!whole || size > 2 * range)) {
            auto source = ByteSource::open(path, why);
            if (!source) {
                error = path + ": " + why;
                return false;
            }
            gzip = source->gzip();
            size = source->size();
        }
        if (!whole && (gzip || !regular || size == 0)) {
            error = path + ": only a plain file can be read in ranges";
            return false;
        }
        const uint64_t begin = std::min(given.begin, size);
        const uint64_t end = whole ? size : std::min(std::max(given.end, begin), size);
        total_ += whole ? size : end - begin;
        if (!whole || (regular && !gzip && size > 2 * range)) {
            const uint64_t pieces = std::max<uint64_t>(1, (end - begin + range - 1) / range);
            // Every part but one from the file's start needs the line that tells the format.
            if (begin > 0 || pieces > 1) {
                if (!first_content_line(path, plan.first_lines[f], plan.first_line_at[f], why)) {
                    error = path + ": " + why;
                    return false;
                }
            }
            for (uint64_t r = 0; r < pieces; ++r) {
                const uint64_t a = begin + (end - begin) * r / pieces;
                const uint64_t b = begin + (end - begin) * (r + 1) / pieces;
                plan.parts.push_back(Part{f, a, b, a == 0});
            }
            continue;
        }
        if (regular) plan.sizes[f] = size;
        const bool small = regular && size <= kGroupFileBytes;
        if (small && !plan.parts.empty()) {
            Part& last = plan.parts.back();
            if (last.small && last.file + last.files == f && last.bytes + size <= kGroupBytes && last.files < kGroupFiles) {
                ++last.files;
                last.bytes += size;
                continue;
            }
        }
        plan.parts.push_back(Part{f, 0, UINT64_MAX, true, 1, size, small});
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
    std::atomic<bool> interrupted{false};
    bool ahead = false;  // cores to spare: gzip files inflate on threads of their own

    std::mutex mutex;
    std::atomic<bool> failed{false};
    std::vector<std::unique_ptr<PartResult>> results;  // each written by its stretch's thread alone
    std::vector<uint64_t> file_lines;
    FileReadResult total;
    std::exception_ptr failure;

    std::string name_of(size_t file) const { return paths[file] == "-" ? std::string("<stdin>") : paths[file]; }

    // A fatal error of the part; an interruption stops every part.
    void fail(PartResult& out, size_t file, const std::string& error) {
        if (error == kInterrupted) {
            out.interrupted = true;
            interrupted.store(true, std::memory_order_relaxed);
        } else {
            out.fatal = name_of(file) + ": " + error;
        }
        out.stopped = true;
    }

    void read_part(const FileRead::Part& part, PartResult& out, size_t index, Stretch& into) {
        out.skipped.resize(part.files);
        out.file_lines.assign(part.files, 0);
        for (size_t k = 0; k < part.files; ++k)
            if (!read_file(part, k, out, index, into)) return;
    }

    // The part's k-th file (its range of it); false when the part stops here.
    bool read_file(const FileRead::Part& part, size_t k, PartResult& out, size_t index, Stretch& into) {
        const size_t file = part.file + k;
        std::string error;
        // a small file was looked at a moment ago; a larger one is worth a fresh look
        std::optional<uint64_t> known;
        if (part.small) known = plan.sizes[file];
        auto source = ByteSource::open(paths[file], error, known);
        if (!source || (part.begin > 0 && !source->restrict_to(part.begin - 1, UINT64_MAX, error))) {
            fail(out, file, error);
            return false;
        }
        if (ahead && part.files == 1) source->read_ahead();
        const uint64_t bytes = part.end != UINT64_MAX ? part.end - part.begin : plan.sizes[file];
        size_t chunk = kLineChunk;
        if (bytes > 0 && bytes < chunk) chunk = std::max<size_t>(kSmallestChunk, bytes + 2);
        LineReader reader(*source, part.begin > 0 ? part.begin - 1 : 0, chunk);
        FileLines lines(options.format, paths[file], options.notional);
        if (!part.first) {
            // The part holding that line judges it itself, as a whole read
            // would (a refused header is a bad line, an accepted one no row).
            const bool before = plan.first_line_at[file] < part.begin;
            lines.take_first_line(before ? std::string_view(plan.first_lines[file]) : std::string_view());
            if (reader.skip_partial(error) < 0) {
                fail(out, file, error);
                return false;
            }
        }
        Dataset& dataset = into.dataset;
        auto feed = [&dataset, this](std::string_view s, const Event& e) { dataset.ingest(spec, s, e); };
        // With many symbols, events go through a pipeline that asks for their
        // states' memory ahead of use. With few, the states stay in cache and
        // the pipeline would only cost.
        const bool piped = !into.bars;
        IngestPipeline& pipeline = into.pipeline;
        auto flush = [&] { pipeline.flush(dataset, spec); };
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
                if (index > stop_after.load(std::memory_order_relaxed) || interrupted.load(std::memory_order_relaxed)) {
                    // its result can't count
                    pipeline.clear();
                    out.stopped = interrupted.load(std::memory_order_relaxed);
                    return false;
                }
            }
            const int r = reader.next(line, error);
            if (r < 0) {
                flush();
                fail(out, file, error);
                return false;
            }
            if (r == 0 || line.start >= part.end) break;
            ++out.lines;
            ++out.file_lines[k];
            switch (lines.line(line, symbol, event, message)) {
                case FileLines::What::Nothing: break;
                case FileLines::What::Event:
                    if (piped && (!pipeline.empty() || dataset.size() >= kBatchFrom)) {
                        pipeline.push(dataset, spec, symbol, event);
                    } else if (into.bars) {
                        into.bars->take(symbol, event, feed);
                    } else {
                        dataset.ingest(spec, symbol, event);
                    }
                    ++out.events;
                    break;
                case FileLines::What::Skipped: out.skipped[k].add(message); break;
                case FileLines::What::Bad:
                    flush();
                    out.bad.push_back(BadLine{file, line.number, std::move(message)});
                    message.clear();
                    if (!options.skip_bad) {
                        out.stopped = true;
                        return false;
                    }
                    break;
            }
        }
        flush();
        done.fetch_add(source->consumed() - reported, std::memory_order_relaxed);
        return true;
    }

    // Folds the parts' reports into the total, in input order, up to the first that stopped it.
    void merge_parts() {
        for (size_t i = 0; i < results.size() && results[i]; ++i) {
            PartResult& r = *results[i];
            const FileRead::Part& part = plan.parts[i];
            if (!total.fatal.empty() || (!total.bad.empty() && !options.skip_bad)) break;
            for (BadLine& b : r.bad) {
                b.line += file_lines[b.file];  // the lines of its file in earlier parts
                total.bad.push_back(std::move(b));
            }
            for (size_t k = 0; k < r.file_lines.size(); ++k) {
                for (const auto& [reason, n] : r.skipped[k]) total.skipped[part.file + k].add(reason, n);
                file_lines[part.file + k] += r.file_lines[k];
            }
            total.events += r.events;
            total.lines += r.lines;
            if (!r.fatal.empty()) total.fatal = std::move(r.fatal);
            if (r.interrupted) total.interrupted = true;
        }
    }

    // One thread's stretch, part after part, until one stops the reading.
    void work(Stretch& stretch) {
        try {
            if (options.bar > 0) stretch.bars.emplace(options.bar);
            for (size_t i = stretch.first; i < stretch.last; ++i) {
                if (i > stop_after.load() || interrupted.load() || failed.load()) return;
                auto result = std::make_unique<PartResult>();
                read_part(plan.parts[i], *result, i, stretch);
                const bool stopped = result->stopped;
                results[i] = std::move(result);
                if (stopped) {
                    size_t seen = stop_after.load();
                    while (i < seen && !stop_after.compare_exchange_weak(seen, i)) {
                    }
                    return;
                }
            }
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!failure) failure = std::current_exception();
            failed.store(true);
        }
    }
};

}  // namespace

namespace {

uint64_t part_work(const FileRead::Part& part, const FileRead::Plan& plan, const std::vector<std::string>& paths) {
    uint64_t bytes = part.end != UINT64_MAX ? part.end - part.begin : part.files > 1 ? part.bytes : plan.sizes[part.file];
    const std::string& name = paths[part.file];
    if (part.end == UINT64_MAX && name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) bytes *= 5;
    return bytes + 1;  // standard input and the like count for something
}

// Stretches [0, used) into the first, in input order. Without bars the
// merges pair up on threads, being associative; bars merge in order.
void merge_stretches(const RadarSpec& spec, std::vector<Stretch>& stretches, size_t used) {
    if (stretches.empty() || stretches[0].bars) {
        for (size_t t = 1; t < used; ++t) {
            Stretch& into = stretches[0];
            auto feed = [&into, &spec](std::string_view s, const Event& e) { into.dataset.ingest(spec, s, e); };
            into.bars->merge_later(std::move(*stretches[t].bars), feed);
            into.dataset.merge_later(std::move(stretches[t].dataset));
        }
        return;
    }
    for (size_t step = 1; step < used; step *= 2) {
        std::vector<std::thread> pairs;
        for (size_t t = 0; t + step < used; t += 2 * step) {
            auto merge = [&stretches, t, step] { stretches[t].dataset.merge_later(std::move(stretches[t + step].dataset)); };
            if (t == 0) continue;
            try {
                pairs.emplace_back(merge);
            } catch (const std::system_error&) {
                merge();
            }
        }
        stretches[0].dataset.merge_later(std::move(stretches[step].dataset));
        for (std::thread& p : pairs) p.join();
    }
}

// Consecutive parts of about equal work for each thread: bytes, a gzip
// file's counted five times for its inflating.
std::vector<Stretch> stretches_of(const FileRead::Plan& plan, const std::vector<std::string>& paths, size_t threads) {
    const size_t n = plan.parts.size();
    threads = std::max<size_t>(1, std::min(threads, n));
    uint64_t all = 0;
    std::vector<uint64_t> work(n);
    for (size_t i = 0; i < n; ++i) all += work[i] = part_work(plan.parts[i], plan, paths);
    std::vector<Stretch> out(threads);
    size_t i = 0;
    uint64_t sum = 0;
    for (size_t t = 0; t < threads; ++t) {
        out[t].first = i;
        // up to its share of the work, leaving a part for each stretch after it
        const uint64_t until = all / threads * (t + 1) + all % threads * (t + 1) / threads;
        while (i < n - (threads - 1 - t) && (t + 1 == threads || sum + work[i] / 2 < until || i == out[t].first))
            sum += work[i++];
        out[t].last = i;
    }
    return out;
}

}  // namespace

FileReadResult FileRead::run(const RadarSpec& spec) {
    Plan& plan = *plan_;
    Reading reading{spec, paths_, options_, plan, done_};
    reading.results.resize(plan.parts.size());
    reading.file_lines.assign(paths_.size(), 0);
    reading.total.skipped.resize(paths_.size());
    reading.ahead = plan.parts.size() < thread_count(options_.threads);
    std::vector<Stretch> stretches = stretches_of(plan, paths_, thread_count(options_.threads));
    std::vector<std::thread> threads;
    size_t started = 1;
    for (; started < stretches.size(); ++started) {
        try {
            threads.emplace_back([&reading, &stretches, started] { reading.work(stretches[started]); });
        } catch (const std::system_error&) {
            break;  // fewer threads: this one reads the rest after its own
        }
    }
    reading.work(stretches[0]);
    for (size_t t = started; t < stretches.size(); ++t) reading.work(stretches[t]);
    for (std::thread& t : threads) t.join();
    if (reading.failure) std::rethrow_exception(reading.failure);
    if (reading.interrupted.load()) {
        FileReadResult stopped;
        stopped.interrupted = true;
        return stopped;
    }
    reading.merge_parts();
    // the states of the stretches up to the one that stopped, in order
    const size_t stop = reading.stop_after.load();
    FileReadResult& total = reading.total;
    if (total.fatal.empty()) {
        size_t used = 0;
        while (used < stretches.size() && stretches[used].first <= stop && stretches[used].first < stretches[used].last)
            ++used;
        if (used == 0 && !stretches.empty()) used = 1;
        merge_stretches(spec, stretches, used);
        if (!stretches.empty()) {
            total.dataset = std::move(stretches[0].dataset);
            if (options_.bar > 0) total.bars = std::move(stretches[0].bars);
        }
    }
    if (!options_.skip_bad && total.bad.size() > 1) total.bad.resize(1);
    total.file_lines = std::move(reading.file_lines);
    return std::move(total);
}

}  // namespace radar
