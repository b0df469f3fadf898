#include "files/file_io.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <poll.h>
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
FileKind check_path(const char* path, uint64_t& size, int& code) {
    struct _stat64 st;
    if (_access(path, 4) != 0 || _stat64(path, &st) != 0) {
        code = errno;
        return FileKind::Error;
    }
    if (st.st_mode & _S_IFDIR) return FileKind::Directory;
    if (!(st.st_mode & _S_IFREG)) return FileKind::Other;
    size = static_cast<uint64_t>(st.st_size);
    return FileKind::Regular;
}
// No interruption descriptor here: reads just read.
bool readable_now(int) { return false; }
bool wait_readable(int, int) { return true; }
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
    // a wider read-ahead pays only on a file of many reads
    if (size > (uint64_t{4} << 20)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
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
namespace {

// Whether the mode bits alone let this process read: then the kernel need
// not be asked (a second walk of the path). Wrong only where an ACL or a
// security module says otherwise, and then the open says so in the same words.
// The ids are asked once: a process that changes them later gets, at worst,
// the open's own refusal instead of this one, in the same words.
bool mode_lets_read(const struct stat& st) {
    static const uid_t euid = ::geteuid();
    static const gid_t egid = ::getegid();
    if (st.st_uid == euid) return (st.st_mode & S_IRUSR) != 0;
    const bool group = (st.st_mode & S_IRGRP) != 0, other = (st.st_mode & S_IROTH) != 0;
    if (st.st_gid == egid) return group;
    return group && other;  // in a supplementary group or not, either way
}

}  // namespace

FileKind check_path(const char* path, uint64_t& size, int& code) {
    struct stat st;
    if (::stat(path, &st) != 0) {
        code = errno;
        return FileKind::Error;
    }
    // an unreadable directory is "Permission denied", as opening it says
    if ((S_ISDIR(st.st_mode) || !mode_lets_read(st)) && ::faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) != 0) {
        code = errno;
        return FileKind::Error;
    }
    if (S_ISDIR(st.st_mode)) return FileKind::Directory;
    if (!S_ISREG(st.st_mode)) return FileKind::Other;
    size = static_cast<uint64_t>(st.st_size);
    return FileKind::Regular;
}
bool readable_now(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}
bool wait_readable(int fd, int wake) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(p, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return true;
        }
        if ((p[1].revents & POLLIN) != 0) return false;
        if (p[0].revents != 0) return true;  // data, its end or an error: the read tells which
        p[1].fd = -1;  // a wake descriptor gone bad is left out rather than spun on
    }
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
