"""Where changes go: a terminal table, JSON Lines, webhooks.

A sink's ``send(change)`` never blocks the loop for long and never raises
for a delivery problem: a webhook posts from a bounded queue on its own
thread, with timeouts and retries, and counts what it had to drop.
"""

from __future__ import annotations

import json
import logging
import queue
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

__all__ = ["Sink", "JsonlSink", "TerminalSink", "WebhookSink", "parse_sink", "SinkError", "FORMATS"]

log = logging.getLogger("zolvar_radar.watch")

FORMATS = ("raw", "discord", "telegram", "slack")


class SinkError(ValueError):
    """A --sink that cannot be used, in one line."""


def change_line(change: dict) -> str:
    return json.dumps(change, ensure_ascii=False, separators=(", ", ": "))


def summary(change: dict) -> str:
    """One human line: what changed, where, how strongly and why."""
    where = f"{change['exchange']} " if change.get("exchange") else ""
    kind = change["change"]
    if kind == "cleared":
        return f"{where}{change['symbol']}: cleared (was {change['previous']:.3f})"
    factors = change.get("factors") or {}
    top = sorted(((v, k) for k, v in factors.items() if k != "severity"), reverse=True)[:3]
    why = ", ".join(f"{k} {v:.2f}" for v, k in top)
    moved = f"{change['previous']:.3f} -> " if kind == "moved" else ""
    return f"{where}{change['symbol']}: {kind} {moved}{change['severity']:.3f} ({why})"


class Sink:
    name = "sink"
    dropped = 0
    sent = 0

    def send(self, change: dict) -> None:
        raise NotImplementedError

    def depth(self) -> int:
        return 0

    def close(self, timeout: float = 5.0) -> None:
        pass


class JsonlSink(Sink):
    """One JSON object per line, on stdout or appended to a file (flushed per checkpoint)."""

    def __init__(self, path: str | None = None, stream=None):
        self.name = f"jsonl:{path}" if path else "jsonl"
        self._own = path is not None
        if path is not None:
            try:
                self._out = open(path, "a", encoding="utf-8")
            except OSError as exc:
                raise SinkError(f"--sink jsonl:{path}: {exc.strerror or exc}") from None
        else:
            self._out = stream or sys.stdout

    def send(self, change: dict) -> None:
        self._out.write(json.dumps(change, ensure_ascii=False) + "\n")
        self.sent += 1

    def flush(self) -> None:
        self._out.flush()

    def close(self, timeout: float = 5.0) -> None:
        if self._out.closed:
            return
        self._out.flush()
        if self._own:
            self._out.close()


class TerminalSink(Sink):
    """A table row per change: time, change, exchange, symbol, severity and the strongest factors."""

    name = "terminal"

    def __init__(self, console):
        self.console = console

    def send(self, change: dict) -> None:
        from ..cli.tables import format_ts

        kind = change["change"]
        severity = "" if change["severity"] is None else f"{change['severity']:.3f}"
        if kind == "moved":
            severity = f"{change['previous']:.3f} -> {severity}"
        factors = change.get("factors") or {}
        top = sorted(((v, k) for k, v in factors.items() if k != "severity"), reverse=True)[:2]
        head = f"{format_ts(change['clock']):<19}  "
        exchange = change.get("exchange")  # none for recorded files: no empty column for them
        tail = (f"  {f'{exchange:<10} ' if exchange else ''}{change['symbol']:<18} {severity:<14} "
                + ", ".join(f"{k} {v:.2f}" for v, k in top)).rstrip()
        if self.console.is_terminal:
            from rich.text import Text

            text = Text(head)
            text.append(f"{kind:<7}", style={"onset": "bold", "moved": "yellow", "cleared": "dim"}[kind])
            text.append(tail)
            self.console.print(text, soft_wrap=True)
        else:
            self.console.file.write(f"{head}{kind:<7}{tail}\n")
        self.sent += 1

    def flush(self) -> None:
        self.console.file.flush()


class WebhookSink(Sink):
    """POSTs each change as JSON from a bounded queue on a thread of its own.

    A full queue drops the change (counted, logged once per burst); a post
    that times out, is refused or answers an error is tried ``retries``
    more times with doubling backoff, then dropped and counted. ``close``
    waits at most ``timeout`` for what is queued.
    """

    def __init__(self, url: str, format: str = "raw", *, queue_size: int = 1000, timeout: float = 5.0,
                 retries: int = 3, backoff: float = 0.5):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise SinkError(f"--sink webhook:{url}: give an http:// or https:// URL")
        if format not in FORMATS:
            raise SinkError(f"--sink-format {format}: one of {', '.join(FORMATS)}")
        self.url = url
        self.name = f"webhook:{parts.netloc}"
        self.format = format
        self.timeout = timeout
        self.retries = retries
        self.backoff = backoff
        self.queue: queue.Queue = queue.Queue(maxsize=queue_size)
        self.dropped = 0
        self.failed = 0  # of the dropped, those whose posts all failed
        self._warned = False
        self._closing = threading.Event()
        self._closed = False
        self._posting = False  # a post is under way
        self._abandoned = False  # close gave up waiting: what is left was counted there
        self._chat = urllib.parse.parse_qs(parts.query).get("chat_id", [None])[0]
        self._thread = threading.Thread(target=self._run, name=f"zolvar-{self.name}", daemon=True)
        self._thread.start()

    def body(self, change: dict) -> dict:
        if self.format == "raw":
            return change
        text = summary(change)
        if self.format == "discord":
            return {"content": text}
        if self.format == "slack":
            return {"text": text}
        body = {"text": text}
        if self._chat is not None:
            body["chat_id"] = self._chat
        return body

    def send(self, change: dict) -> None:
        try:
            self.queue.put_nowait(json.dumps(self.body(change), ensure_ascii=False).encode())
        except queue.Full:
            self.dropped += 1
            if not self._warned:
                self._warned = True
                log.warning("%s: queue full, dropping changes (%d so far)", self.name, self.dropped)
        else:
            self._warned = False

    def depth(self) -> int:
        return self.queue.qsize()

    def _post(self, data: bytes) -> None:
        request = urllib.request.Request(self.url, data=data, method="POST",
                                         headers={"Content-Type": "application/json",
                                                  "User-Agent": "zolvar-radar-watch"})
        with urllib.request.urlopen(request, timeout=self.timeout) as response:
            response.read()

    def _run(self) -> None:
        while True:
            data = self.queue.get()
            if data is None:
                return
            if self._abandoned:
                return
            delay = self.backoff
            self._posting = True
            for attempt in range(self.retries + 1):
                try:
                    self._post(data)
                    self.sent += 1
                    break
                except Exception as exc:  # any failure of a post is the endpoint's, never the loop's
                    if attempt == self.retries or self._closing.is_set():
                        if not self._abandoned:
                            self.dropped += 1
                            self.failed += 1
                            log.warning("%s: dropped a change after %d tries: %s", self.name, attempt + 1,
                                        _reason(exc))
                        break
                    if self._closing.wait(delay):  # close gave up on us
                        break
                    delay *= 2
            self._posting = False

    def close(self, timeout: float = 5.0) -> None:
        if self._closed:
            return
        self._closed = True
        deadline = time.monotonic() + timeout
        try:
            self.queue.put(None, timeout=timeout)
        except queue.Full:
            pass
        self._thread.join(max(0.0, deadline - time.monotonic()))
        if self._thread.is_alive() and not self._abandoned:
            # what is still queued or being posted will not go out: count it
            self._abandoned = True
            self._closing.set()
            left = sum(1 for item in list(self.queue.queue) if item is not None) + (1 if self._posting else 0)
            self.dropped += left
            if left:
                log.warning("%s: %d changes not delivered at exit", self.name, left)


def _reason(exc: Exception) -> str:
    if isinstance(exc, urllib.error.HTTPError):
        return f"HTTP {exc.code}"
    if isinstance(exc, urllib.error.URLError):
        return str(exc.reason)
    return str(exc) or type(exc).__name__


def parse_sink(text: str, *, format: str = "raw", console=None, stream=None, timeout: float = 5.0) -> Sink:
    """A sink from its --sink text: terminal, jsonl, jsonl:PATH or webhook:URL."""
    kind, sep, rest = text.partition(":")
    if text == "terminal":
        if console is None:
            raise SinkError("--sink terminal: only on the command line")
        return TerminalSink(console)
    if text == "jsonl":
        return JsonlSink(stream=stream)
    if kind == "jsonl" and rest:
        return JsonlSink(rest)
    if kind == "webhook" and rest:
        return WebhookSink(rest, format, timeout=timeout, backoff=min(0.5, timeout / 4))
    raise SinkError(f"--sink {text}: give terminal, jsonl, jsonl:PATH or webhook:URL")
