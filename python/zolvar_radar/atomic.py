"""Files written whole or not at all: a state, a picture or a report never ends half-written.

The data goes to a temporary file beside the target (same directory, so the
rename cannot cross filesystems), is flushed and fsynced, renamed over the
target, and the directory is fsynced so the rename itself survives a crash.
If anything fails on the way (a full disk, an interrupt), the temporary is
removed and the previous file stays as it was.

Temporaries are named `.NAME.zolvar-tmp-PID-RANDOM`. A process killed with
SIGKILL mid-write cannot remove its own, so each write first removes those
of the same target whose process no longer exists. (On a directory shared
between machines another host's PID may look dead here; its write then fails
at the rename with a clear error, and no target is ever damaged.)

A pipe, a terminal or a device (`/dev/stdout`) is written into as it is.

    write_atomic("out.png", data)
    with atomic_file("state.bin") as out:
        out.write(chunk)
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import secrets
import stat
from typing import BinaryIO, Iterator

MARK = ".zolvar-tmp-"
_NAME_ROOM = 200  # of a file name's 255 bytes: the rest holds the mark, the PID and the random part


def _target(path: str | os.PathLike) -> str:
    """The file to replace: a symbolic link is followed, so the link stays and its file changes."""
    path = os.fspath(path)
    return os.path.realpath(path) if os.path.islink(path) else os.path.abspath(path)


def _stem(name: str) -> str:
    return name[:_NAME_ROOM]


def temp_name(path: str | os.PathLike, pid: int | None = None) -> str:
    """A fresh temporary's path for the target."""
    folder, name = os.path.split(_target(path))
    pid = os.getpid() if pid is None else pid
    return os.path.join(folder, f".{_stem(name)}{MARK}{pid}-{secrets.token_hex(4)}")


def _alive(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # EPERM: it exists, under another user
        return True
    return True


def remove_stale(path: str | os.PathLike) -> list[str]:
    """Removes the temporaries of the target whose writing process is gone; returns their paths."""
    folder, name = os.path.split(_target(path))
    pattern = re.compile(re.escape(f".{_stem(name)}{MARK}") + r"(\d+)-[0-9a-f]+")
    removed = []
    try:
        entries = os.listdir(folder)
    except OSError:
        return removed  # the write itself will say what is wrong with the directory
    for entry in entries:
        found = pattern.fullmatch(entry)
        if found and not _alive(int(found.group(1))):
            stale = os.path.join(folder, entry)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(stale)
                removed.append(stale)
    return removed


def _create(target: str) -> tuple[str, int]:
    remove_stale(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)  # a replaced file keeps its permissions
    except OSError:
        mode = None
    while True:
        temp = temp_name(target)
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
            break
        except FileExistsError:
            continue
    if mode is not None:
        try:
            os.fchmod(fd, mode)
        except OSError:
            pass  # e.g. a filesystem without modes: the default is fine
    return temp, fd


def _sync_directory(folder: str) -> None:
    flags = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
    try:
        fd = os.open(folder, flags)
    except OSError:
        return  # no directory handles here (not POSIX): the rename is as durable as it gets
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


def _discard(temp: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(temp)


def _stream(path: str | os.PathLike) -> bool:
    """A pipe, a terminal or a device (`/dev/stdout`, a FIFO): written into as it is, since
    a rename over it would put a plain file in its place."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


@contextlib.contextmanager
def atomic_file(path: str | os.PathLike) -> Iterator[BinaryIO]:
    """A binary file that replaces `path` when the block ends without an exception, and vanishes otherwise."""
    if _stream(path):
        with open(path, "wb") as out:
            yield out
        return
    target = _target(path)
    temp, fd = _create(target)
    try:
        with os.fdopen(fd, "wb") as out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        os.replace(temp, target)
    except BaseException:
        _discard(temp)
        raise
    _sync_directory(os.path.dirname(target))


def write_atomic(path: str | os.PathLike, data: bytes | str) -> None:
    """Replaces `path` with `data` (text is written as UTF-8), or leaves it as it was and raises OSError."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    if _stream(path):
        with open(path, "wb") as out:
            out.write(data)
        return
    target = _target(path)
    temp, fd = _create(target)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp, target)
    except BaseException:
        _discard(temp)
        raise
    _sync_directory(os.path.dirname(target))
