// The few file calls the readers need, over the platform's own API.
#pragma once

#include <cstddef>
#include <cstdint>

namespace radar::io {

enum class FileKind { Regular, Directory, Other, Error };

int stdin_fd();
// A descriptor, or -1 with `code` set to the errno value.
int open_read(const char* path, int& code);
void close_file(int fd);
FileKind regular_size(int fd, uint64_t& size, int& code);
// What `path` is, without opening it: Error with `code` when it is missing
// or can't be read, as opening it would say; `size` for a regular file.
FileKind check_path(const char* path, uint64_t& size, int& code);
// Whether `fd` has something to read now. Never waits.
bool readable_now(int fd);
// Waits until `fd` has something to read (or is at its end or in error) or
// `wake` is readable: false for `wake`. True too when waiting fails: the
// read then says why.
bool wait_readable(int fd, int wake);
bool seek(int fd, uint64_t offset, int& code);
// Bytes read, 0 at the end, -1 with `code` set; retried on EINTR.
long long read_some(int fd, char* out, size_t cap, int& code);

}  // namespace radar::io
