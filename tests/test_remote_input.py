"""Inputs at URLs: an S3 server (moto's) and an HTTP server, both on 127.0.0.1, started here.
Every format reads as the same bytes read locally; a missing object, a denied request and a
dropped connection each end the scan with one line and status 2."""

import gzip
import json
import os
import shutil
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from zolvar_radar import cli

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

TARDIS = Path(__file__).parent / "fixtures" / "tardis"
T0 = 1_715_731_200_000


def write_inputs(where: Path) -> dict[str, str]:
    """One small input per format: name -> file."""
    rows = []
    for i in range(300):
        rows.append({"symbol": f"S{i % 7}", "kind": "derivatives", "ts": T0 + i * 1000,
                     "open_interest": 100.0 + (i * 37) % 11, "funding_rate": 0.0001 * (i % 5 - 2),
                     "mark_price": 10.0 + i % 3})
    text = "".join(json.dumps(r) + "\n" for r in rows)
    (where / "events.jsonl").write_text(text)
    (where / "events.jsonl.gz").write_bytes(gzip.compress(text.encode(), mtime=0))
    pq.write_table(pa.Table.from_pylist(rows), where / "events.parquet", row_group_size=64)
    shutil.copy(TARDIS / "binance-futures_derivative_ticker_2024-05-14.csv", where / "ticker.csv")
    return {"jsonl": "events.jsonl", "gzip": "events.jsonl.gz", "parquet": "events.parquet", "csv": "ticker.csv"}


class Handler(BaseHTTPRequestHandler):
    """Files with byte ranges; /denied/ answers 403, /drop/ sends half a file and hangs up."""

    root: Path

    def log_message(self, *args):
        pass

    def _body(self):
        name = self.path.split("?")[0].lstrip("/")
        if name.startswith("denied/"):
            self.send_error(403, "Forbidden")
            return None
        path = self.root / name.removeprefix("drop/")
        if not path.is_file():
            self.send_error(404, "Not Found")
            return None
        return path.read_bytes()

    def do_HEAD(self):
        body = self._body()
        if body is not None:
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Accept-Ranges", "bytes")
            self.end_headers()

    def do_GET(self):
        body = self._body()
        if body is None:
            return
        if self.path.startswith("/drop/"):
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        ranged = self.headers.get("Range")
        if ranged:
            start, _, end = ranged.removeprefix("bytes=").partition("-")
            start, end = int(start), min(int(end) if end else len(body) - 1, len(body) - 1)
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end}/{len(body)}")
            body = body[start:end + 1]
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    where = tmp_path_factory.mktemp("served")
    names = write_inputs(where)
    handler = type("Served", (Handler,), {"root": where})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield where, names, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(timeout=5)


@pytest.fixture(scope="module")
def s3(served):
    pytest.importorskip("s3fs")
    moto_server = pytest.importorskip("moto.server")
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    import s3fs

    options = {"endpoint_url": f"http://{host}:{port}", "key": "testing", "secret": "testing"}
    region = os.environ.get("AWS_DEFAULT_REGION")
    os.environ["AWS_DEFAULT_REGION"] = "us-east-1"
    before = dict(fsspec.config.conf.get("s3", {}))
    fsspec.config.conf["s3"] = options  # the fsspec way: what a config file or FSSPEC_S3_* would say
    s3fs.S3FileSystem.clear_instance_cache()
    fs = s3fs.S3FileSystem(**options)
    fs.mkdir("bucket")
    where, names, _ = served
    for name in names.values():
        fs.put(str(where / name), f"bucket/day/{name}")
    yield "s3://bucket/day"
    fsspec.config.conf["s3"] = before
    if region is None:
        os.environ.pop("AWS_DEFAULT_REGION", None)
    else:
        os.environ["AWS_DEFAULT_REGION"] = region
    s3fs.S3FileSystem.clear_instance_cache()
    server.stop()


def scan(capsys, *paths):
    code = cli.main(["scan", "--json", "--threshold", "0", *map(str, paths)])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


@pytest.mark.parametrize("form", ["jsonl", "gzip", "csv", "parquet"])
@pytest.mark.parametrize("store", ["http", "s3"])
def test_a_url_reads_as_the_same_bytes_read_locally(served, request, capsys, form, store):
    where, names, http = served
    base = http if store == "http" else request.getfixturevalue("s3")
    code, out, err = scan(capsys, where / names[form])
    assert code == 0 and json.loads(out)["alerts"]
    url = f"{base}/{names[form]}"
    assert scan(capsys, url) == (code, out, err.replace(str(where / names[form]), url))


@pytest.mark.parametrize("path, said", [
    ("{s3}/missing.jsonl", "{s3}/missing.jsonl: no such object"),
    ("{http}/missing.jsonl", "{http}/missing.jsonl: no such object"),
    ("{http}/denied/events.jsonl", "{http}/denied/events.jsonl: access denied"),
    ("{http}/drop/events.jsonl", "{http}/drop/events.jsonl: the connection dropped before the end"),
    ("{http}/drop/events.jsonl.gz", "{http}/drop/events.jsonl.gz: the connection dropped before the end"),
])
def test_an_unreadable_url_is_one_line_and_status_2(served, s3, capsys, path, said):
    _, _, http = served
    path, said = (t.format(s3=s3, http=http) for t in (path, said))
    code = cli.main(["scan", "--json", path])
    out, err = capsys.readouterr()
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith(said), err


def test_dask_workers_open_the_urls_themselves(served, s3):
    pytest.importorskip("distributed")
    from distributed import Client

    from zolvar_radar import distributed as zd
    from zolvar_radar import scan_files
    from zolvar_radar.inputs import InputError

    where, names, http = served
    spec = json.dumps({"signals": [{"kind": "oi_delta", "params": [2, 0.01]}], "threshold": 0})
    want = scan_files([str(where / names["jsonl"]), str(where / names["gzip"])], spec).text
    with zd.local_cluster(processes=False) as cluster, Client(cluster) as client:
        assert zd.scan([f"{http}/{names['jsonl']}", f"{s3}/{names['gzip']}"], spec, client) == want
        with pytest.raises(InputError, match=r"missing\.jsonl: no such object$"):
            zd.scan([f"{s3}/missing.jsonl"], spec, client)


def test_a_missing_object_is_said_before_a_replay_prints_anything(served, s3, capsys):
    _, names, _ = served
    urls = [f"{s3}/{names['jsonl']}", f"{s3}/missing.jsonl"]
    code = cli.main(["replay", "--every", "1", "--no-progress", *urls])
    out, err = capsys.readouterr()
    assert code == 2 and out == "" and err == f"{urls[1]}: no such object\n"


@pytest.mark.parametrize("form", ["gzip", "parquet"])
def test_replay_reads_a_url_as_the_local_file(served, capsys, form):
    where, names, http = served
    common = ["replay", "--every", "40", "--threshold", "0", "--no-progress"]
    assert cli.main([*common, str(where / names[form])]) == 0
    want = capsys.readouterr().out
    assert cli.main([*common, f"{http}/{names[form]}"]) == 0
    assert capsys.readouterr().out == want and want.count("\n") > 3


@pytest.mark.parametrize("how", ["presigned GET", "streamed"])
def test_a_response_cut_short_fails_the_scan_in_one_line(served, s3, capsys, monkeypatch, how):
    """The object is one response: ending before the object's size is an error, never a shorter file."""
    from zolvar_radar import remote

    _, names, http = served
    if how == "presigned GET":  # a server that sends half the object and hangs up
        monkeypatch.setattr(remote, "_signed", lambda fs, path: f"{http}/drop/{names['jsonl']}")
    else:
        opened = remote._streamed

        class Cut:
            def __init__(self, stream):
                self.stream, self.r, self.done = stream, None, False

            async def read(self, n):
                if self.done:
                    return b""
                self.done = True
                return (await self.stream.read(n))[:100]

        monkeypatch.setattr(remote, "_signed", lambda fs, path: None)
        monkeypatch.setattr(remote, "_streamed", lambda fs, path: Cut(opened(fs, path)))
    url = f"{s3}/{names['jsonl']}"
    code = cli.main(["scan", "--json", url])
    out, err = capsys.readouterr()
    assert code == 2 and out == "" and err.count("\n") == 1
    assert err.startswith(f"{url}: the connection dropped before the end"), err


@pytest.mark.parametrize("refusal", ["denied/x.jsonl", "missing.jsonl"])
def test_a_presigned_get_refused_falls_back_to_the_streamed_read(served, s3, capsys, monkeypatch, refusal):
    """A URL the presigned GET cannot fetch (a proxy's refusal, a key it cannot carry) is read the
    filesystem's own way, to the same bytes."""
    from zolvar_radar import remote

    where, names, http = served
    monkeypatch.setattr(remote, "_signed", lambda fs, path: f"{http}/{refusal}")
    assert scan(capsys, f"{s3}/{names['gzip']}")[:2] == scan(capsys, where / names["gzip"])[:2]


def test_of_many_urls_opened_at_once_the_first_that_fails_is_said(served, s3, capsys):
    _, names, http = served
    urls = [f"{s3}/{names['jsonl']}", f"{http}/denied/x.jsonl", f"{s3}/missing.jsonl", f"{s3}/{names['gzip']}"]
    code = cli.main(["scan", "--json", *urls])
    out, err = capsys.readouterr()
    assert code == 2 and out == "" and err.count("\n") == 1 and err.startswith(f"{urls[1]}: access denied"), err
