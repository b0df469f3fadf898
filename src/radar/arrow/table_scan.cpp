#include "arrow/table_scan.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "files/interrupt.hpp"

namespace radar::arrow {

namespace {

// A part costs a dataset and a merge: large enough that those are noise,
// small enough that a batch keeps every core busy.
constexpr int64_t kPartRows = int64_t{1} << 16;
// Parts read or being read ahead of the merge, per thread: bounds the
// batches held while a slow part is still read.
constexpr size_t kAheadPerThread = 2;

size_t thread_count(size_t wanted) {
    if (wanted > 0) return wanted;
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// One batch of the stream, held until every part of it is merged; its
// release is called on the thread that pulled it.
struct Batch {
    ArrowArray array{};
    BatchColumns columns;
    size_t last_part = 0;

    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() {
        if (array.release != nullptr) array.release(&array);
    }
};

struct Part {
    const Batch* batch = nullptr;
    int64_t begin = 0;
    int64_t end = 0;
    uint64_t first_row = 0;  // 0-based row number of `begin` in the stream
};

struct PartResult {
    Dataset dataset;
    std::optional<BarFilter> bars;
    std::vector<BadRow> bad;
    uint64_t events = 0;
    uint64_t rows = 0;
    LayoutError missing;
    bool interrupted = false;
    bool stopped = false;  // ended at a refused row, a missing column or an interruption
};

struct Reading {
    const RadarSpec& spec;
    const TableScanOptions& options;
    const TableLayout& layout;
    std::atomic<uint64_t>& rows_done;

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Part> parts;        // every part cut so far, by index
    size_t queued = 0;             // parts [queued, parts.size()) wait for a thread
    bool produced = false;         // the stream is read to its end (or stopped)
    std::vector<std::unique_ptr<PartResult>> results;
    size_t merged = 0;
    std::atomic<size_t> stop_after{SIZE_MAX};
    std::atomic<bool> interrupted{false};
    TableScanResult total;
    std::exception_ptr failure;

    void read_part(const Part& part, PartResult& out) {
        if (options.bar > 0) out.bars.emplace(options.bar);
        RowReader reader(layout);
        auto feed = [&out, this](std::string_view s, const Event& e) { out.dataset.ingest(spec, s, e); };
        std::string_view symbol;
        Event event;
        std::string error;
        Field missing = kFieldCount;
        const BatchColumns& columns = part.batch->columns;
        for (int64_t row = part.begin; row < part.end; ++row) {
            ++out.rows;
            switch (reader.read(columns, row, symbol, event, error, missing)) {
                case RowReader::What::Event:
                    if (out.bars)
                        out.bars->take(symbol, event, feed);
                    else
                        out.dataset.ingest(spec, symbol, event);
                    ++out.events;
                    break;
                case RowReader::What::Bad:
                    out.bad.push_back(BadRow{part.first_row + static_cast<uint64_t>(row - part.begin) + 1,
                                             std::move(error)});
                    error.clear();
                    if (!options.skip_bad) {
                        out.stopped = true;
                        return;
                    }
                    break;
                case RowReader::What::Missing: {
                    out.missing.missing = options.names[missing];
                    // each field but ts belongs to one kind: the row's
                    for (const KindFields& kf : kKindFields)
                        for (size_t j = 0; j < kf.count; ++j)
                            if (kf.fields[j] == missing && out.missing.needed_by.empty())
                                out.missing.needed_by = kf.name;
                    out.stopped = true;
                    return;
                }
            }
        }
    }

    void merge_ready() {
        while (merged < results.size() && results[merged]) {
            PartResult& r = *results[merged];
            const bool open = total.missing.missing.empty() && !total.interrupted &&
                              (total.bad.empty() || options.skip_bad);
            if (open) {
                if (r.bars) {
                    auto feed = [this](std::string_view s, const Event& e) { total.dataset.ingest(spec, s, e); };
                    if (total.bars)
                        total.bars->merge_later(std::move(*r.bars), feed);
                    else
                        total.bars = std::move(r.bars);
                }
                total.dataset.merge_later(std::move(r.dataset));
                for (BadRow& b : r.bad) total.bad.push_back(std::move(b));
                total.events += r.events;
                total.rows += r.rows;
                if (!r.missing.missing.empty()) total.missing = std::move(r.missing);
                if (r.interrupted) total.interrupted = true;
            }
            results[merged].reset();
            ++merged;
        }
        cv.notify_all();
    }

    // Takes one waiting part and reads it; the lock is held on entry and on return.
    void work_one(std::unique_lock<std::mutex>& lock) {
        const size_t i = queued++;
        const Part part = parts[i];
        lock.unlock();
        auto result = std::make_unique<PartResult>();
        if (i <= stop_after.load() && !interrupted.load()) {
            if (interrupt_pending()) {
                interrupted.store(true);
                result->interrupted = true;
                result->stopped = true;
            } else {
                read_part(part, *result);
            }
        }
        rows_done.fetch_add(static_cast<uint64_t>(part.end - part.begin), std::memory_order_relaxed);
        if (result->stopped) {
            size_t seen = stop_after.load();
            while (i < seen && !stop_after.compare_exchange_weak(seen, i)) {
            }
        }
        lock.lock();
        results[i] = std::move(result);
        merge_ready();
    }

    void helper() {
        try {
            std::unique_lock lock(mutex);
            for (;;) {
                cv.wait(lock, [&] { return queued < parts.size() || produced || failure; });
                if (failure) return;
                if (queued < parts.size()) {
                    work_one(lock);
                } else if (produced) {
                    return;
                }
            }
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!failure) failure = std::current_exception();
            cv.notify_all();
        }
    }
};

}  // namespace

TableScan::TableScan(ArrowArrayStream stream, TableScanOptions options)
    : stream_(stream), options_(std::move(options)) {}

TableScan::~TableScan() {
    if (stream_.release != nullptr) stream_.release(&stream_);
}

bool TableScan::open(LayoutError& error) {
    ArrowSchema schema{};
    if (stream_.get_schema(&stream_, &schema) != 0) {
        error.message = "the table's schema could not be read: " + stream_error(stream_, "no reason given");
        return false;
    }
    const bool ok = bind_layout(schema, options_.names, options_.kind, layout_, error);
    if (schema.release != nullptr) schema.release(&schema);
    return ok;
}

TableScanResult TableScan::run(const RadarSpec& spec) {
    Reading reading{spec, options_, layout_, rows_done_};
    if (options_.bar > 0) reading.total.bars.emplace(options_.bar);
    const size_t threads = thread_count(options_.threads);
    const size_t ahead = kAheadPerThread * threads;
    const int64_t part_rows = options_.part_rows > 0 ? options_.part_rows : kPartRows;
    std::deque<std::unique_ptr<Batch>> batches;  // held, oldest first
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back([&reading] { reading.helper(); });
        } catch (const std::system_error&) {
            break;  // fewer threads: the work still gets done
        }
    }
    std::string fatal;
    uint64_t rows = 0;
    try {
        for (;;) {
            std::vector<std::unique_ptr<Batch>> done;  // let go of outside the lock
            {
                std::unique_lock lock(reading.mutex);
                // Read parts (this thread too) until few enough are ahead of the merge.
                while (reading.parts.size() - reading.merged >= ahead && !reading.failure) {
                    if (reading.queued < reading.parts.size())
                        reading.work_one(lock);
                    else
                        reading.cv.wait(lock);
                }
                if (reading.failure) break;
                while (!batches.empty() && batches.front()->last_part < reading.merged) {
                    done.push_back(std::move(batches.front()));
                    batches.pop_front();
                }
            }
            done.clear();
            if (reading.stop_after.load() != SIZE_MAX || reading.interrupted.load()) break;
            if (interrupt_pending()) {
                reading.interrupted.store(true);
                break;
            }
            auto batch = std::make_unique<Batch>();
            if (stream_.get_next(&stream_, &batch->array) != 0) {
                fatal = stream_error(stream_, "the table's stream failed");
                break;
            }
            if (batch->array.release == nullptr) break;  // the end
            std::string error;
            if (batch->array.n_children != static_cast<int64_t>(layout_.names.size()) ||
                !batch->columns.bind(layout_, batch->array, error)) {
                fatal = error.empty() ? "a batch does not match the table's schema" : error;
                break;
            }
            const int64_t length = batch->array.length;
            if (length == 0) continue;
            std::lock_guard lock(reading.mutex);
            for (int64_t begin = 0; begin < length; begin += part_rows) {
                reading.parts.push_back(Part{batch.get(), begin, std::min(length, begin + part_rows), rows});
                reading.results.emplace_back();
                rows += static_cast<uint64_t>(std::min(length, begin + part_rows) - begin);
            }
            batch->last_part = reading.parts.size() - 1;
            batches.push_back(std::move(batch));
            reading.cv.notify_all();
        }
    } catch (...) {
        std::lock_guard lock(reading.mutex);
        if (!reading.failure) reading.failure = std::current_exception();
    }
    {
        std::unique_lock lock(reading.mutex);
        reading.produced = true;
        reading.cv.notify_all();
    }
    reading.helper();
    for (std::thread& t : helpers) t.join();
    batches.clear();
    if (reading.failure) std::rethrow_exception(reading.failure);
    if (reading.interrupted.load()) {
        TableScanResult stopped;
        stopped.interrupted = true;
        return stopped;
    }
    TableScanResult total = std::move(reading.total);
    if (!fatal.empty() && total.missing.missing.empty() && (total.bad.empty() || options_.skip_bad))
        total.fatal = std::move(fatal);
    if (!options_.skip_bad && total.bad.size() > 1) total.bad.resize(1);
    return total;
}

}  // namespace radar::arrow
