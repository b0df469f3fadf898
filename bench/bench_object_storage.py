"""Reading from object storage: `zolvar-radar scan` of the same files from a local S3 server and from disk.

    python bench/bench_object_storage.py                 # the 1M set, plain and gzip, 3 repetitions

The S3 server is moto's, started here on 127.0.0.1 (`pip install ".[test]"`
has it); the set's files are put in a bucket, and each scan is a whole
process of its own, told where the server is the fsspec way
(FSSPEC_S3_ENDPOINT_URL and friends). Runs interleaved, medians; both must
print the same bytes. Target: from S3 at most 1.5x from disk.

The server's own ceiling is timed beside them: a process that only downloads
the same objects, one GET of each presigned URL, all at once (what the
scan's reading amounts to), and discards them.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from _scan_text import radar_command  # noqa: E402
from bench_evaluate import files_of  # noqa: E402


# The objects downloaded and dropped, as the scan reads them: one GET of each object's presigned
# URL, all at once, read 1 MiB at a time into a buffer; process start, s3fs's import and session
# (to sign), the transfer.
RAW = """
import http.client, sys
from concurrent.futures import ThreadPoolExecutor
from urllib.parse import urlsplit
import fsspec
fs = fsspec.core.url_to_fs(sys.argv[1])[0]
def drain(url):
    where = urlsplit(fs.url(fs._strip_protocol(url)))
    conn = http.client.HTTPConnection(where.hostname, where.port)
    conn.request("GET", where.path + "?" + where.query)
    response, buffer = conn.getresponse(), memoryview(bytearray(1 << 20))
    while response.readinto(buffer):
        pass
    conn.close()
with ThreadPoolExecutor(len(sys.argv) - 1) as pool:
    list(pool.map(drain, sys.argv[1:]))
"""


def timed(cmd: list[str], env: dict) -> tuple[float, bytes]:
    t0 = time.perf_counter()
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, env=env).stdout
    return time.perf_counter() - t0, out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="1m")
    p.add_argument("--reps", type=int, default=3)
    a = p.parse_args(argv)
    import s3fs
    from moto.server import ThreadedMotoServer

    import logging

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # a line per request otherwise
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        env = dict(os.environ, AWS_DEFAULT_REGION="us-east-1", FSSPEC_S3_ENDPOINT_URL=f"http://{host}:{port}",
                   FSSPEC_S3_KEY="testing", FSSPEC_S3_SECRET="testing")
        fs = s3fs.S3FileSystem(endpoint_url=f"http://{host}:{port}", key="testing", secret="testing")
        fs.mkdir("bench")
        radar = radar_command()
        print(f"moto S3 server at {host}:{port}; {a.size} set, {a.reps} repetitions", flush=True)
        for form in ("plain", "gzip"):
            info, files = files_of(a.size, form, None)
            urls = []
            for path in files:
                url = f"bench/{form}/{os.path.basename(path)}"
                fs.put(path, url)
                urls.append("s3://" + url)
            cmds = {"disk": radar + ["scan", "--json"] + files, "s3": radar + ["scan", "--json"] + urls,
                    "download": [sys.executable, "-c", RAW] + urls}
            times: dict[str, list[float]] = {k: [] for k in cmds}
            outs = {}
            for rep in range(a.reps):
                for name in (list(cmds) if rep % 2 == 0 else list(cmds)[::-1]):
                    t, out = timed(cmds[name], env)
                    times[name].append(t)
                    if name != "download":
                        outs[name] = out
            if outs["disk"] != outs["s3"]:
                raise SystemExit(f"{form}: the scan from S3 differs from the one from disk")
            disk, s3 = statistics.median(times["disk"]), statistics.median(times["s3"])
            raw = statistics.median(times["download"])
            ratio = s3 / disk
            print(f"{form:<6} {sum(os.path.getsize(f) for f in files) / 1e6:8.1f} MB  disk {disk:6.2f} s  "
                  f"S3 {s3:6.2f} s  {ratio:5.2f}x  {'PASS' if ratio <= 1.5 else 'MISS'} (<= 1.5x)  "
                  f"download alone {raw:6.2f} s ({raw / disk:4.2f}x disk)", flush=True)
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
