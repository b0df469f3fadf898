"""Files replaced whole or not at all, and temporaries of killed writers cleaned up."""

import errno
import os
import signal
import subprocess
import sys

import pytest
from zolvar_radar import atomic
from zolvar_radar.atomic import atomic_file, write_atomic


def leftovers(folder):
    return [p.name for p in folder.iterdir() if atomic.MARK in p.name]


def test_replaces_the_file_keeping_its_mode_and_follows_a_link(tmp_path):
    target = tmp_path / "state.bin"
    target.write_bytes(b"old")
    target.chmod(0o600)
    write_atomic(target, b"new")
    assert (target.read_bytes(), target.stat().st_mode & 0o777) == (b"new", 0o600)
    link = tmp_path / "link.html"
    link.symlink_to(target)
    with atomic_file(link) as out:
        out.write(b"via ")
        out.write(b"link")
    assert link.is_symlink() and target.read_bytes() == b"via link"
    assert leftovers(tmp_path) == []


def disk_full(*_):
    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


def write_then_fail(path):
    with atomic_file(path) as out:
        out.write(b"half")
        raise KeyboardInterrupt


@pytest.mark.parametrize("patch, write, raised", [
    ("write", lambda p: write_atomic(p, b"x" * 100_000), OSError),
    ("fsync", lambda p: write_atomic(p, b"new"), OSError),
    (None, write_then_fail, KeyboardInterrupt),
    ("replace", lambda p: write_atomic(p, b"new"), OSError),
])
def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, patch, write, raised):
    target = tmp_path / "out.png"
    target.write_bytes(b"old")
    if patch:
        monkeypatch.setattr(atomic.os, patch, disk_full)
    with pytest.raises(raised):
        write(target)
    monkeypatch.undo()
    assert target.read_bytes() == b"old" and leftovers(tmp_path) == []


def test_a_real_full_disk(tmp_path):
    folder = tmp_path / "tiny"
    folder.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)],
                                           capture_output=True).returncode != 0:
        pytest.skip("mounting a small tmpfs needs root and the mount command")
    try:
        target = folder / "state.bin"
        write_atomic(target, b"old")
        with pytest.raises(OSError) as caught:
            write_atomic(target, b"x" * 200_000)
        assert caught.value.errno == errno.ENOSPC
        assert target.read_bytes() == b"old" and leftovers(folder) == []
    finally:
        subprocess.run(["umount", str(folder)], check=False)


KILLED_WRITER = """
import sys, time
from zolvar_radar.atomic import atomic_file
with atomic_file(sys.argv[1]) as out:
    out.write(b"partial"); out.flush()
    print("writing", flush=True)
    time.sleep(60)
"""


def test_the_next_write_removes_what_a_killed_writer_left(tmp_path):
    target = tmp_path / "report.html"
    target.write_bytes(b"old")
    writer = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(target)], stdout=subprocess.PIPE)
    assert writer.stdout.readline() == b"writing\n"
    os.kill(writer.pid, signal.SIGKILL)
    writer.wait()
    writer.stdout.close()
    assert len(leftovers(tmp_path)) == 1 and target.read_bytes() == b"old"

    live = tmp_path / os.path.basename(atomic.temp_name(target))  # ours, as if another thread were writing
    other = tmp_path / os.path.basename(atomic.temp_name(tmp_path / "other.html", pid=writer.pid))
    live.touch()
    other.touch()
    write_atomic(target, b"new")
    assert target.read_bytes() == b"new"
    assert sorted(leftovers(tmp_path)) == sorted([live.name, other.name])


@pytest.mark.parametrize("whole", [True, False])
def test_a_pipe_or_a_device_is_written_into_not_replaced(tmp_path, whole):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen([sys.executable, "-c", f"import sys; sys.stdout.write(open({str(fifo)!r}).read())"],
                              stdout=subprocess.PIPE, text=True)
    if whole:
        write_atomic(fifo, b"through the pipe")
    else:
        with atomic_file(fifo) as out:
            out.write(b"through the pipe")
    assert reader.communicate(timeout=30)[0] == "through the pipe"
    assert fifo.is_fifo() and leftovers(tmp_path) == []
    if os.path.exists("/dev/full"):
        with pytest.raises(OSError) as full:
            write_atomic("/dev/full", b"x")
        assert full.value.errno == errno.ENOSPC and not os.path.isfile("/dev/full")
