"""Ctrl-C stops a scan, a replay or an evaluation whatever its reads wait on:
a quiet FIFO or pipe, or input that never ends."""

import os
import signal
import subprocess
import sys
import time

import pytest
from zolvar_radar.files import scan_files

pytestmark = pytest.mark.skipif(os.name != "posix", reason="signals and FIFOs")

SPEC = '{"signals":[{"kind":"book_imbalance","params":[0.5]}],"threshold":0}'


SOURCES = ["fifo", "fifo without a writer", "quiet stdin", "/dev/zero"]
COMMANDS = [["scan", "--json"], ["replay"], ["evaluate"]]
FEED = b"".join(b'{"symbol":"A","kind":"orderbook","ts":%d,"bid_volume":1,"ask_volume":%d,"best_bid":1,"best_ask":2}\n'
                % (ts, ts) for ts in (1, 2, 3))


def interrupted(tmp_path, cases):
    """Starts every case at once, lets each reach its waiting read, sends each SIGINT:
    [(status, stdout, stderr, seconds to end)]. One wait for the whole table keeps it quick."""
    procs, held = [], []
    try:
        for i, (command, source) in enumerate(cases):
            fifo = tmp_path / f"feed{i}"
            os.mkfifo(fifo)
            if source in ("fifo", "stalled feed"):
                held.append(os.open(fifo, os.O_RDWR))  # a writer that never writes (more)
                if source == "stalled feed":
                    os.write(held[-1], FEED)
            path = {"quiet stdin": "-", "/dev/zero": "/dev/zero"}.get(source, str(fifo))
            procs.append(subprocess.Popen([sys.executable, "-m", "zolvar_radar", *command, path],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        time.sleep(2)  # all started and reading
        assert all(p.poll() is None for p in procs)
        for p in procs:
            p.send_signal(signal.SIGINT)
        start = time.monotonic()
        results = []
        for p in procs:
            out, err = p.communicate(timeout=10)
            results.append((p.returncode, out.decode(), err.decode(), time.monotonic() - start))
        return results
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        for fd in held:
            os.close(fd)


def test_ctrl_c_ends_a_read_that_waits_or_never_ends(tmp_path):
    waiting = [(command, source) for command in COMMANDS for source in SOURCES]
    # a feed that gave three events and went quiet: what was read is reported
    stalled = [(["replay", "--every", "1"], "stalled feed"), (["evaluate", "--every", "1", "--horizons", "5"], "stalled feed")]
    results = interrupted(tmp_path, waiting + stalled)
    for (command, source), (status, _, err, took) in zip(waiting, results):
        assert (status, err.splitlines(), took < 1.5) == (130, ["interrupted"], True), (command, source)
    for (command, _), (status, out, err, took) in zip(stalled, results[len(waiting):]):
        assert status == 130 and took < 1.5, command
        assert err.splitlines()[-1].startswith("interrupted after 3 events"), (command, err)
        assert out, command


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
