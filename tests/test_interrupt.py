"""Ctrl-C stops a scan whatever its reads wait on: a quiet FIFO or pipe, or
input that never ends."""

import os
import signal
import subprocess
import sys
import time

import pytest
from zolvar_radar.files import scan_files

pytestmark = pytest.mark.skipif(os.name != "posix", reason="signals and FIFOs")

SPEC = '{"signals":[{"kind":"book_imbalance","params":[0.5]}],"threshold":0}'


@pytest.mark.parametrize("command", [["scan", "--json"], ["replay"], ["evaluate"]])
@pytest.mark.parametrize("source", ["fifo", "fifo without a writer", "quiet stdin", "/dev/zero"])
def test_ctrl_c_ends_a_read_that_waits_or_never_ends(tmp_path, source, command):
    fifo = tmp_path / "feed"
    os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR) if source == "fifo" else None  # a writer that never writes
    path = {"quiet stdin": "-", "/dev/zero": "/dev/zero"}.get(source, str(fifo))
    proc = subprocess.Popen([sys.executable, "-m", "zolvar_radar", *command, path],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        time.sleep(1.5)  # started and reading
        assert proc.poll() is None
        proc.send_signal(signal.SIGINT)
        start = time.monotonic()
        _, err = proc.communicate(timeout=10)
        assert time.monotonic() - start < 1
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if held is not None:
            os.close(held)
    assert proc.returncode == 130
    assert err.decode().splitlines() == ["interrupted"]


def test_a_scan_leaves_the_wakeup_descriptor_as_it_found_it(tmp_path):
    path = tmp_path / "a.jsonl"
    path.write_text('{"symbol":"A","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}\n')
    r, w = os.pipe()
    os.set_blocking(w, False)
    before = signal.set_wakeup_fd(w)
    try:
        assert scan_files([str(path)], SPEC).events == 1
        assert signal.set_wakeup_fd(before) == w
    finally:
        os.close(r)
        os.close(w)


@pytest.mark.parametrize("command", [["replay", "--every", "1"], ["evaluate", "--every", "1", "--horizons", "5"]])
def test_ctrl_c_during_a_stalled_feed_reports_what_was_read(tmp_path, command):
    fifo = tmp_path / "feed"
    os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR)  # the feed: three events, then silence
    for ts in (1, 2, 3):
        os.write(held, b'{"symbol":"A","kind":"orderbook","ts":%d,"bid_volume":1,"ask_volume":%d,'
                       b'"best_bid":1,"best_ask":2}\n' % (ts, ts))
    proc = subprocess.Popen([sys.executable, "-m", "zolvar_radar", *command, str(fifo)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        time.sleep(1.5)
        assert proc.poll() is None
        proc.send_signal(signal.SIGINT)
        start = time.monotonic()
        out, err = proc.communicate(timeout=10)
        assert time.monotonic() - start < 1
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(held)
    assert proc.returncode == 130
    assert err.decode().splitlines()[-1].startswith("interrupted after 3 events")
    assert out  # what was read is reported
