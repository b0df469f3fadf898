#include "files/interrupt.hpp"

#include <atomic>

#include "files/file_io.hpp"

namespace radar {

namespace {
std::atomic<int> g_fd{-1};
}

void set_interrupt_fd(int fd) { g_fd.store(fd, std::memory_order_release); }

int interrupt_fd() { return g_fd.load(std::memory_order_acquire); }

bool interrupt_pending() {
    const int fd = interrupt_fd();
    return fd >= 0 && io::readable_now(fd);
}

}  // namespace radar
