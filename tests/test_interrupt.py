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


@pytest.mark.parametrize("source", ["fifo", "fifo without a writer", "quiet stdin", "/dev/zero"])
def test_ctrl_c_ends_a_scan_whose_read_waits_or_never_ends(tmp_path, source):
    fifo = tmp_path / "feed"
    os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR) if source == "fifo" else None  # a writer that never writes
    path = {"quiet stdin": "-", "/dev/zero": "/dev/zero"}.get(source, str(fifo))
    proc = subprocess.Popen([sys.executable, "-m", "zolvar_radar", "scan", "--json", path],
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
