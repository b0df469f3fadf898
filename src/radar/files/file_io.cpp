#include "files/file_io.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace radar::io {

#ifdef _WIN32

int stdin_fd() {
    _setmode(0, _O_BINARY);
    return 0;
}
int open_read(const char* path, int& code) {
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) code = errno;
    return fd;
}
void close_file(int fd) { _close(fd); }
FileKind regular_size(int fd, uint64_t& size, int& code) {
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0) {
        code = errno;
        return FileKind::Error;
    }
    if (st.st_mode & _S_IFDIR) return FileKind::Directory;
    if (!(st.st_mode & _S_IFREG)) return FileKind::Other;
    size = static_cast<uint64_t>(st.st_size);
    return FileKind::Regular;
}
bool seek(int fd, uint64_t offset, int& code) {
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
        code = errno;
        return false;
    }
    return true;
}
long long read_some(int fd, char* out, size_t cap, int& code) {
    const unsigned want = cap > (1u << 30) ? (1u << 30) : static_cast<unsigned>(cap);
    int n = _read(fd, out, want);
    if (n < 0) code = errno;
    return n;
}

#else

int stdin_fd() { return 0; }
int open_read(const char* path, int& code) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) code = errno;
    return fd;
}
void close_file(int fd) { ::close(fd); }
FileKind regular_size(int fd, uint64_t& size, int& code) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        code = errno;
        return FileKind::Error;
    }
    if (S_ISDIR(st.st_mode)) return FileKind::Directory;
    if (!S_ISREG(st.st_mode)) return FileKind::Other;
    size = static_cast<uint64_t>(st.st_size);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return FileKind::Regular;
}
bool seek(int fd, uint64_t offset, int& code) {
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        code = errno;
        return false;
    }
    return true;
}
long long read_some(int fd, char* out, size_t cap, int& code) {
    for (;;) {
        ssize_t n = ::read(fd, out, cap);
        if (n >= 0) return n;
        if (errno != EINTR) {
            code = errno;
            return -1;
        }
    }
}

#endif

}  // namespace radar::io
