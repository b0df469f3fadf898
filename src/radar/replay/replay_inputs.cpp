#include "replay/replay_inputs.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "files/byte_source.hpp"
#include "files/file_lines.hpp"
#include "files/interrupt.hpp"
#include "files/line_reader.hpp"

namespace radar {

namespace {

// Files read one after another keep this many open from the start; the rest
// are opened in their turn, so a long list holds few descriptors.
constexpr size_t kOpenAhead = 64;

std::string shown(const std::string& path) { return path == "-" ? std::string("<stdin>") : path; }

}  // namespace

struct ReplayInputs::Input {
    std::unique_ptr<ByteSource> source;
    std::unique_ptr<LineReader> reader;
    std::unique_ptr<FileLines> lines;
    std::string symbol;  // the head's, copied: the line buffer moves on
    Event head;
    uint64_t size = 0;
    int64_t max_ts = 0;
    bool any = false;  // max_ts holds a timestamp read
    bool done = false;
};

ReplayInputs::ReplayInputs(std::vector<std::string> paths, FileReadOptions options, bool merged, int64_t step)
    : paths_(std::move(paths)), options_(options), merged_(merged), step_(step < 0 ? 0 : step) {}

ReplayInputs::~ReplayInputs() = default;

bool ReplayInputs::open(std::string& error) {
    skipped_.assign(paths_.size(), {});
    inputs_.clear();
    for (size_t i = 0; i < paths_.size(); ++i) {
        std::string why;
        auto source = ByteSource::open(paths_[i], why);
        if (!source) {
            interrupted_ = why == kInterrupted;
            error = shown(paths_[i]) + ": " + why;
            return false;
        }
        auto input = std::make_unique<Input>();
        input->size = source->size();
        total_ += input->size;
        // a pipe or standard input can't be opened twice: keep it
        if (merged_ || i < kOpenAhead || input->size == 0) input->source = std::move(source);
        inputs_.push_back(std::move(input));
    }
    if (!merged_) return true;
    // Every file's first event before any is handed out: a refused header
    // or first line shows before the others are read.
    for (size_t i = 0; i < inputs_.size() && !stopped_; ++i) {
        const bool head = start(i) && pull(i);
        if (interrupted_) {
            // priming is not resumed: an interruption here ends the replay before it began
            error = shown(paths_[i]) + ": " + std::string(kInterrupted);
            return false;
        }
        if (head) {
            heap_.push_back(i);
            for (size_t at = heap_.size() - 1; at > 0 && before(heap_[at], heap_[(at - 1) / 2]); at = (at - 1) / 2)
                std::swap(heap_[at], heap_[(at - 1) / 2]);
        }
    }
    if (!fatal_.empty()) {
        error = fatal_;
        return false;
    }
    return true;
}

bool ReplayInputs::start(size_t i) {
    Input& in = *inputs_[i];
    if (!in.source) {
        std::string why;
        in.source = ByteSource::open(paths_[i], why);
        if (!in.source) {
            if (why == kInterrupted) {
                interrupted_ = true;
                return false;
            }
            return fail(i, why);
        }
    }
    // one thread parses: another can inflate ahead of it, for a few files
    if (std::thread::hardware_concurrency() > 1 && (!merged_ || inputs_.size() <= 4)) in.source->read_ahead();
    const size_t chunk = merged_ && inputs_.size() > 8 ? size_t{1} << 16 : size_t{1} << 20;
    in.reader = std::make_unique<LineReader>(*in.source, 0, chunk);
    in.lines = std::make_unique<FileLines>(options_.format, paths_[i], options_.notional);
    return true;
}

bool ReplayInputs::fail(size_t i, const std::string& why) {
    fatal_ = shown(paths_[i]) + ": " + why;
    stopped_ = true;
    return false;
}

void ReplayInputs::finish(size_t i) {
    Input& in = *inputs_[i];
    done_bytes_ += in.size;
    in.reader.reset();
    in.lines.reset();
    in.source.reset();
    in.done = true;
}

bool ReplayInputs::pull(size_t i) {
    Input& in = *inputs_[i];
    std::string message, error;
    std::string_view symbol;
    Line line;
    for (;;) {
        const int r = in.reader->next(line, error);
        if (r < 0) {
            if (error == kInterrupted) {
                interrupted_ = true;  // nothing was consumed: the next pull reads on
                return false;
            }
            return fail(i, error);
        }
        if (r == 0) {
            finish(i);
            return false;
        }
        switch (in.lines->line(line, symbol, in.head, message)) {
            case FileLines::What::Nothing: break;
            case FileLines::What::Skipped: skipped_[i].add(message); break;
            case FileLines::What::Bad:
                if (!bad_.empty() && bad_.back().file > i) bad_sorted_ = false;
                bad_.push_back(BadLine{i, line.number, std::move(message)});
                message.clear();
                if (!options_.skip_bad) {
                    stopped_ = true;
                    return false;
                }
                break;
            case FileLines::What::Event: {
                const int64_t ts = in.head.ts;
                if (in.any && ts < in.max_ts) {
                    // unsigned: the gap may not fit in a signed difference
                    const uint64_t back = static_cast<uint64_t>(in.max_ts) - static_cast<uint64_t>(ts);
                    if (merged_ && !disorder_ && back > static_cast<uint64_t>(step_))
                        disorder_ = Disorder{i, line.number, in.max_ts, ts};
                } else {
                    in.max_ts = ts;
                    in.any = true;
                }
                in.symbol.assign(symbol);
                return true;
            }
        }
    }
}

bool ReplayInputs::before(size_t a, size_t b) const {
    const int64_t ta = inputs_[a]->head.ts, tb = inputs_[b]->head.ts;
    return ta < tb || (ta == tb && a < b);
}

void ReplayInputs::sift_down(size_t at) {
    const size_t n = heap_.size();
    for (;;) {
        size_t least = at;
        const size_t l = 2 * at + 1, r = l + 1;
        if (l < n && before(heap_[l], heap_[least])) least = l;
        if (r < n && before(heap_[r], heap_[least])) least = r;
        if (least == at) return;
        std::swap(heap_[at], heap_[least]);
        at = least;
    }
}

bool ReplayInputs::next(std::string_view& symbol, Event& event) {
    if (stopped_) return false;
    interrupted_ = false;
    if (merged_) {
        if (served_) {
            if (pull(heap_[0])) {
                served_.reset();
                sift_down(0);
            } else {
                if (interrupted_) return false;  // still served: pulled again next time
                served_.reset();
                if (stopped_) return false;
                heap_[0] = heap_.back();
                heap_.pop_back();
                if (!heap_.empty()) sift_down(0);
            }
        }
        if (heap_.empty()) return false;
        const Input& in = *inputs_[heap_[0]];
        served_ = heap_[0];
        symbol = in.symbol;
        event = in.head;
        return true;
    }
    while (current_ < inputs_.size()) {
        Input& in = *inputs_[current_];
        if (!in.reader && !start(current_)) return false;
        if (pull(current_)) {
            symbol = in.symbol;
            event = in.head;
            return true;
        }
        if (stopped_ || interrupted_) return false;
        ++current_;
    }
    return false;
}

const std::vector<BadLine>& ReplayInputs::bad() const {
    if (!bad_sorted_) {
        std::stable_sort(bad_.begin(), bad_.end(), [](const BadLine& a, const BadLine& b) { return a.file < b.file; });
        bad_sorted_ = true;
    }
    return bad_;
}

uint64_t ReplayInputs::bytes_done() const {
    uint64_t done = done_bytes_;
    for (const auto& in : inputs_)
        if (!in->done && in->source) done += in->source->consumed();
    return done;
}

}  // namespace radar
