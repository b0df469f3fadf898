"""Inputs at URLs that fsspec opens (``s3://``, ``gs://``, ``https://`` ...;
``zolvar_radar[cloud]``), credentials found the fsspec way (environment,
config files, instance roles).

JSON Lines, CSV and gzip are streamed into the native reader through a pipe,
a chunk at a time, by a thread that reads the object (an S3 object by one
plain GET of a presigned URL, where that works): nothing is
downloaded whole and nothing is written to disk, and the reader sees the
bytes as it sees a FIFO. A read that fails part way (a dropped connection)
fails the whole scan, never leaving it a silently shortened file. Parquet
objects are read where they lie, through fsspec's ranged reads (see
`zolvar_radar.parquet_input`).
"""

from __future__ import annotations

import os
import re
import threading
TYPE_CHECKING = False

if TYPE_CHECKING:
    from typing import Sequence

__all__ = ["is_url", "RemoteInputs", "open_url", "url_error"]

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")
CHUNK = 1 << 20
# Bytes asked for per request where reads are ranged (a filesystem that cannot stream a response):
# each request costs a round trip.
BLOCK = 16 << 20


def is_url(path: str) -> bool:
    return bool(_URL.match(path))


def _fsspec():
    try:
        import fsspec
    except ImportError:
        raise ImportError("reading URLs needs fsspec: pip install 'zolvar_radar[cloud]'") from None
    return fsspec


def _chain(exc: BaseException | None):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


def url_error(url: str, exc: BaseException) -> OSError:
    """One line for a URL that could not be read, whatever the filesystem raised."""
    for e in _chain(exc):
        status = getattr(e, "status", None) or getattr(e, "code", None)
        text = str(e)
        if status in (401, 403) or isinstance(e, PermissionError) or "AccessDenied" in text or "Forbidden" in text:
            return OSError(f"{url}: access denied")
        name = type(e).__name__
        if "Payload" in name or "IncompleteRead" in name or isinstance(e, (ConnectionError, EOFError)):
            return OSError(f"{url}: the connection dropped before the end ({name})")
    for e in _chain(exc):
        status = getattr(e, "status", None) or getattr(e, "code", None)
        if status == 404 or isinstance(e, FileNotFoundError) or "NoSuchKey" in str(e) or "NoSuchBucket" in str(e):
            return OSError(f"{url}: no such object")
    text = " ".join(str(exc).split()) or type(exc).__name__
    return OSError(f"{url}: {type(exc).__name__}: {text}")


def open_url(url: str):
    """(filesystem, path) of a URL, its protocol's package missing said in one line."""
    fsspec = _fsspec()
    try:
        return fsspec.core.url_to_fs(url)
    except ImportError as exc:
        raise ImportError(f"{url}: {exc} (pip install 'zolvar_radar[cloud]')") from None
    except (OSError, ValueError) as exc:
        raise url_error(url, exc) from None


class RemoteInputs:
    """The paths as the native reader takes them: each URL replaced by the read end of a pipe
    that a thread fills from the object. ``name(path)`` gives back what was given; ``finish()``
    raises the first read that failed, once the reader is done."""

    def __init__(self, paths: Sequence[str]):
        self.given = list(paths)
        self.paths: list[str] = []
        self._names: dict[str, str] = {}
        self._threads: list[threading.Thread] = []
        self._fds: list[int] = []
        self._failed: list[tuple[int, OSError]] = []  # (the URL's place among the inputs, what went wrong)
        self._place = {url: k for k, url in reversed(list(enumerate(self.given)))}
        self._stop = threading.Event()
        # the GETs sent at once: each sets its event once its object is known to be there or not
        self._answered: list[tuple[int, threading.Event]] = []
        try:
            for path in self.given:
                self.paths.append(self._pipe(path) if isinstance(path, str) and is_url(path) else path)
        except OSError as exc:
            # a GET sent before it may have been refused: the first in the inputs' order is said
            refused = self._refused(before=len(self.paths))
            self.close()
            raise (refused or exc) from None
        except BaseException:
            self.close()
            raise
        refused = self._refused(before=len(self.given))
        if refused is not None:  # said before anything is read, as a look at each would
            self.close()
            raise refused

    def _refused(self, before: int) -> OSError | None:
        """Once the GETs sent are answered: the first object among the first ``before`` inputs
        found missing or denied, if any."""
        for _, answered in self._answered:
            answered.wait()
        failed = [f for f in self._failed if f[0] < before]
        return min(failed, key=lambda f: f[0])[1] if failed else None

    def _pipe(self, url: str) -> str:
        fs, path = open_url(url)
        # read front to back: over HTTP as one streamed response, elsewhere in large blocks
        streamed = {"block_size": 0} if url.split("://")[0].lower() in ("http", "https") else {"block_size": BLOCK}
        signed = None if streamed["block_size"] == 0 else _signed(fs, path)
        if signed is not None:
            # No look first: the GET's own answer says a missing or denied object, its length the size.
            answered = threading.Event()
            self._answered.append((len(self.paths), answered))
            return self._start(url, self._get, fs, path, signed, answered)
        try:
            source = fs.open(path, "rb", **streamed)
        except Exception as exc:  # noqa: BLE001 - every filesystem words its failures its own way
            raise url_error(url, exc) from None
        stream = None if streamed["block_size"] == 0 else _streamed(fs, path)
        if stream is not None:
            size = getattr(source, "size", None)
            source.close()
            return self._start(url, self._stream, fs, stream, size)
        return self._start(url, self._fill, source)

    def _start(self, url: str, read, *args) -> str:
        """A pipe that ``read(url, *args, write_end)`` fills on a thread of its own: its read end's name."""
        r, w = os.pipe()
        self._fds.append(r)
        thread = threading.Thread(target=read, args=(url, *args, w), daemon=True)
        self._threads.append(thread)
        thread.start()
        name = f"/dev/fd/{r}"
        self._names[name] = url
        return name

    def _fill(self, url: str, source, w: int) -> None:
        try:
            while not self._stop.is_set():
                chunk = source.read(CHUNK)
                if not chunk:
                    break
                view = memoryview(chunk)
                while view:
                    view = view[os.write(w, view):]
        except BrokenPipeError:
            pass  # the reader stopped early (a bad line): it has what it wanted
        except Exception as exc:  # noqa: BLE001
            self._failed.append((self._place[url], url_error(url, exc)))
        finally:
            try:
                os.close(w)
            finally:
                try:
                    source.close()
                except Exception:  # noqa: BLE001
                    pass

    def _get(self, url: str, fs, path: str, signed: str, answered: threading.Event, w: int) -> None:
        """The object as one GET of its presigned URL, read straight into a buffer and written to
        the pipe: about four times what the filesystem's own event loop passes on. Where that
        request is not answered with the object (a proxy, a key the URL cannot carry, a policy),
        the filesystem's own streamed read takes over, nothing having been written yet."""
        import http.client
        from urllib.parse import urlsplit

        got = 0
        conn = None
        try:
            where = urlsplit(signed)
            kind = http.client.HTTPSConnection if where.scheme == "https" else http.client.HTTPConnection
            extra = {"context": _tls()} if where.scheme == "https" else {}
            try:
                conn = kind(where.hostname, where.port, timeout=CONNECT_TIMEOUT, **extra)
                conn.request("GET", where.path + (f"?{where.query}" if where.query else ""))
                conn.sock.settimeout(READ_TIMEOUT)
                response = conn.getresponse()
            except OSError:
                response = None
            if response is None or response.status != 200:
                if conn is not None:
                    conn.close()
                    conn = None
                # the filesystem's look names a missing or denied object its way; else its own read
                size = fs.info(path).get("size")
                stream = _streamed(fs, path)
                if stream is None:
                    raise OSError(f"status {getattr(response, 'status', None)}")
                answered.set()
                self._stream(url, fs, stream, size, w)
                w = -1  # closed there
                return
            answered.set()
            size = response.length  # None where the server does not say
            buffer = memoryview(bytearray(CHUNK))
            while not self._stop.is_set():
                n = response.readinto(buffer)
                if not n:
                    if size is not None and got != size:  # the object changed or the response was cut short
                        raise EOFError(f"{got} of {size} bytes")
                    break
                got += n
                view = buffer[:n]
                while view:
                    view = view[os.write(w, view):]
        except BrokenPipeError:
            pass  # the reader stopped early (a bad line): it has what it wanted
        except Exception as exc:  # noqa: BLE001
            self._failed.append((self._place[url], url_error(url, exc)))
        finally:
            answered.set()
            try:
                if w >= 0:
                    os.close(w)
            finally:
                if conn is not None:
                    conn.close()

    def _stream(self, url: str, fs, stream, size: int | None, w: int) -> None:
        """The object as one response read a chunk at a time, on the filesystem's own event loop."""
        from fsspec.asyn import sync

        got = 0
        try:
            while not self._stop.is_set():
                chunk = sync(fs.loop, stream.read, CHUNK)
                if not chunk:
                    if size is None:  # the response's own length, where no look came first
                        size = getattr(stream, "size", None)
                    if size is not None and got != size:  # the object changed or the response was cut short
                        raise EOFError(f"{got} of {size} bytes")
                    break
                got += len(chunk)
                view = memoryview(chunk)
                while view:
                    view = view[os.write(w, view):]
        except BrokenPipeError:
            pass  # the reader stopped early (a bad line): it has what it wanted
        except Exception as exc:  # noqa: BLE001
            self._failed.append((self._place[url], url_error(url, exc)))
        finally:
            try:
                os.close(w)
            finally:
                body = getattr(stream, "r", None)
                if body is not None:
                    try:
                        body.close()
                    except Exception:  # noqa: BLE001
                        pass

    def name(self, path: str) -> str:
        return self._names.get(path, path)

    def rename(self, text: str) -> str:
        """A message naming a pipe, naming its URL instead."""
        for pipe, url in self._names.items():
            text = text.replace(pipe, url)
        return text

    def failure(self) -> OSError | None:
        """The first object that could not be read to its end, once every reading thread is done."""
        self.close()
        for thread in self._threads:
            thread.join()
        return min(self._failed, key=lambda f: f[0])[1] if self._failed else None

    def finish(self) -> None:
        """Waits for the readers of the objects; the first that failed is raised."""
        self._stop.set()
        self.close()
        for thread in self._threads:
            thread.join()
        if self._failed:  # the first in the inputs' order, whichever ended first
            raise min(self._failed, key=lambda f: f[0])[1]

    def close(self) -> None:
        self._stop.set()
        for fd in self._fds:
            try:
                os.close(fd)  # a writer blocked on a full pipe then fails and ends
            except OSError:
                pass
        self._fds = []


# A server that does not answer the presigned GET soon is left to the filesystem's own client.
CONNECT_TIMEOUT = 10.0
READ_TIMEOUT = 60.0  # botocore's own
_PROXIES = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")


def _signed(fs, path: str) -> str | None:
    """A presigned GET URL of an S3 object, for a plain GET; None where the filesystem is not
    S3's or a proxy is set (the filesystem's client honours it, a plain connection would not)."""
    if type(fs).__name__ != "S3FileSystem" or any(os.environ.get(k) for k in _PROXIES):
        return None
    try:
        return fs.url(path, expires=3600)
    except Exception:  # noqa: BLE001 - no URL to make: the streamed read does it
        return None


def _tls():
    """The certificates botocore would trust: AWS_CA_BUNDLE's when it is set."""
    import ssl

    return ssl.create_default_context(cafile=os.environ.get("AWS_CA_BUNDLE") or None)


def _streamed(fs, path: str):
    """The object as one streamed response, where the filesystem offers one (S3 does): a server
    answers one request at its own pace, where ranged requests each cost a round trip and, on
    some servers, a pass over the whole object. None where it does not."""
    if not getattr(fs, "async_impl", False) or getattr(fs, "loop", None) is None:
        return None
    from fsspec.asyn import sync

    try:
        return sync(fs.loop, fs.open_async, path, "rb")
    except (NotImplementedError, ValueError, AttributeError, TypeError):
        return None
