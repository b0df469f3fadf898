// Interrupting the native reads. The process names a descriptor that
// becomes readable when it is interrupted (the read end of a pipe that a
// signal handler writes to); reads that could wait for input wait on it
// too, and the others look at it between pieces. Nothing here consumes
// its bytes: whoever set it drains it.
#pragma once

#include <string_view>

namespace radar {

// -1: none (the default). Process-wide; from any thread.
void set_interrupt_fd(int fd);
int interrupt_fd();
// The descriptor is readable now. Never waits.
bool interrupt_pending();

// The error text of a read or an open that stopped for an interruption.
inline constexpr std::string_view kInterrupted = "interrupted";

}  // namespace radar
