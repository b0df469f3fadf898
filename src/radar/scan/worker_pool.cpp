#include "scan/worker_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "portable.hpp"

namespace radar {

namespace detail {

namespace {

// One parallel_for call. Lives on the caller's stack; the caller does not
// return before every worker that picked it up has let go of it.
struct Job {
    RangeFn fn;
    void* ctx;
    size_t n;
    size_t piece;
    std::atomic<size_t> next{0};

    // Claims pieces until none are left.
    void drain() {
        for (;;) {
            size_t begin = next.fetch_add(piece, std::memory_order_relaxed);
            if (begin >= n) return;
            size_t end = n - begin < piece ? n : begin + piece;
            fn(ctx, begin, end);
        }
    }
};

class WorkerPool {
public:
    explicit WorkerPool(size_t threads) {
        workers_.reserve(threads);
        for (size_t i = 0; i < threads; ++i) {
            try {
                workers_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // run with the threads we could get
            }
        }
    }

    size_t size() const { return workers_.size(); }

    void run(size_t n, RangeFn fn, void* ctx) {
        // Several small pieces per worker keep them busy when tasks differ
        // in size (symbols with many events next to symbols with few).
        size_t pieces = workers_.size() * 4;
        Job job{fn, ctx, n, n / pieces == 0 ? 1 : n / pieces};
        if (workers_.empty()) {
            job.drain();
            return;
        }
        std::lock_guard serial(run_mutex_);
        std::unique_lock lock(mutex_);
        job_ = &job;
        ++generation_;
        work_cv_.notify_all();
        // The caller takes pieces too: a worker that was idle for long may
        // take a while to wake (an idle virtual CPU especially), and the
        // caller then gets on with the work instead of waiting for it.
        lock.unlock();
        job.drain();
        lock.lock();
        // Every piece a worker claimed is counted in busy_ until it has
        // finished it, so "all claimed and nobody busy" means all done.
        done_cv_.wait(lock, [&] { return job.next.load(std::memory_order_relaxed) >= n && busy_ == 0; });
        job_ = nullptr;
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        uint64_t seen = 0;
        for (;;) {
            work_cv_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            Job* job = job_;
            if (job == nullptr) continue;  // woke after the job was over
            ++busy_;
            lock.unlock();
            job->drain();
            lock.lock();
            if (--busy_ == 0) done_cv_.notify_one();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex run_mutex_;
    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    Job* job_ = nullptr;
    uint64_t generation_ = 0;
    size_t busy_ = 0;
};

std::mutex g_pool_mutex;
WorkerPool* g_pool = nullptr;
int64_t g_pool_pid = 0;

WorkerPool& pool() {
    std::lock_guard lock(g_pool_mutex);
    // A forked child inherits the pool object but not its threads: it gets a
    // pool of its own. Pools are never destroyed: their threads stay parked
    // until the process ends, and no exit-time destructor has to join them.
    const int64_t pid = portable::process_id();
    if (g_pool == nullptr || g_pool_pid != pid) {
        unsigned hw = std::thread::hardware_concurrency();
        g_pool = new WorkerPool(hw == 0 ? 1 : hw);
        g_pool_pid = pid;
    }
    return *g_pool;
}

}  // namespace

void run_on_pool(size_t n, RangeFn fn, void* ctx) { pool().run(n, fn, ctx); }

}  // namespace detail

size_t worker_pool_size() { return detail::pool().size(); }

}  // namespace radar
