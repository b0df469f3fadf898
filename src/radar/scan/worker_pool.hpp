// The process-wide pool that rebuilds "scan" states in parallel.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

namespace radar {

// Runs body(i) for every i in [0, n) on the pool's threads and the calling
// one, and returns once all are done. Each index is run exactly
// once, in no particular order and on no particular thread, so body must
// touch only what belongs to index i. body must not call into Python.
// The pool is created by the first call that needs it and lives as long as
// the process; one job runs at a time.
template <class Body>
void parallel_for(size_t n, Body&& body);

namespace detail {

using RangeFn = void (*)(void* ctx, size_t begin, size_t end);
void run_on_pool(size_t n, RangeFn fn, void* ctx);

}  // namespace detail

template <class Body>
void parallel_for(size_t n, Body&& body) {
    if (n == 0) return;
    if (n == 1) {
        // Not worth a hand-off.
        body(size_t{0});
        return;
    }
    // An exception must not leave a pool thread (that ends the process):
    // the first one is carried back and rethrown here.
    struct Context {
        explicit Context(std::remove_reference_t<Body>* b) : body(b) {}
        std::remove_reference_t<Body>* body;
        std::atomic<bool> failed{false};
        std::exception_ptr error;
    } ctx(&body);
    detail::run_on_pool(
        n,
        [](void* c, size_t begin, size_t end) {
            auto& context = *static_cast<Context*>(c);
            try {
                for (size_t i = begin; i < end; ++i) (*context.body)(i);
            } catch (...) {
                if (!context.failed.exchange(true)) context.error = std::current_exception();
            }
        },
        &ctx);
    if (ctx.error) std::rethrow_exception(ctx.error);
}

// Number of worker threads (creates the pool if needed); at least 1 unless
// no thread could be started, in which case jobs run on the calling thread.
size_t worker_pool_size();

}  // namespace radar
