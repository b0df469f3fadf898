"""Keeping up, visibly: a Prometheus endpoint for a watch (needs zolvar_radar[live]).

Without --metrics the same calls go to `NullMetrics`, which counts only
what the watch itself reports at the end (stalls, drops).
"""

from __future__ import annotations

__all__ = ["Metrics", "NullMetrics", "start_metrics"]


class NullMetrics:
    """The counters a watch keeps whether or not they are exported."""

    address: tuple[str, int] | None = None

    def __init__(self) -> None:
        self.events: dict[tuple[str, str], int] = {}
        self.stalls: dict[str, int] = {}
        self.reconnects: dict[str, int] = {}
        self.poll_failures: dict[str, int] = {}
        self.refused = 0
        self.max_lag: dict[str, float] = {}  # the largest receipt-minus-exchange time seen, in seconds

    def event(self, exchange: str, kind: str, n: int = 1) -> None:
        key = (exchange, kind)
        self.events[key] = self.events.get(key, 0) + n

    def lag(self, exchange: str, seconds: float) -> None:
        if seconds > self.max_lag.get(exchange, float("-inf")):
            self.max_lag[exchange] = seconds

    def reconnect(self, exchange: str) -> None:
        self.reconnects[exchange] = self.reconnects.get(exchange, 0) + 1

    def poll_failed(self, exchange: str) -> None:
        self.poll_failures[exchange] = self.poll_failures.get(exchange, 0) + 1

    def stall(self, exchange: str) -> None:
        self.stalls[exchange] = self.stalls.get(exchange, 0) + 1

    def checkpoint(self, seconds: float, active: int) -> None:
        pass

    def refused_event(self, n: int = 1) -> None:
        self.refused += n

    def sink(self, name: str, depth: int, dropped: int) -> None:
        pass

    def close(self) -> None:
        pass


class Metrics(NullMetrics):
    """NullMetrics exported on ``host:port`` by prometheus_client, in a registry of its own."""

    def __init__(self, host: str, port: int):
        super().__init__()
        try:
            import prometheus_client as pc
        except ImportError:
            raise RuntimeError("--metrics needs prometheus_client: pip install 'zolvar_radar[live]'") from None
        self._registry = registry = pc.CollectorRegistry()
        p = "zolvar_watch_"
        self._events = pc.Counter(p + "events", "Events read", ["exchange", "kind"], registry=registry)
        self._lag = pc.Gauge(p + "feed_lag_seconds", "Receipt time minus exchange time of the latest event",
                             ["exchange"], registry=registry)
        # the gauge holds the latest only: a stall the next event ends would not show in it
        self._lags = pc.Histogram(p + "event_lag_seconds", "Receipt time minus exchange time of each batch's "
                                  "latest event", ["exchange"], registry=registry,
                                  buckets=(.05, .1, .25, .5, 1, 2.5, 5, 10, 30, 60, 300))
        self._reconnects = pc.Counter(p + "reconnects", "Connections opened again", ["exchange"], registry=registry)
        self._polls = pc.Counter(p + "polls_failed", "Polls that failed", ["exchange"], registry=registry)
        self._stalls = pc.Counter(p + "stalls", "Times an exchange sent nothing for --stall seconds", ["exchange"],
                                  registry=registry)
        self._checkpoint = pc.Histogram(p + "checkpoint_seconds", "Time to feed and score a checkpoint",
                                        registry=registry,
                                        buckets=(.001, .0025, .005, .01, .025, .05, .1, .25, .5, 1, 2.5))
        self._active = pc.Gauge(p + "alerts_active", "Alerts at the last checkpoint", registry=registry)
        self._refused = pc.Counter(p + "events_refused", "Events the radar refused", registry=registry)
        self._depth = pc.Gauge(p + "sink_queue_depth", "Changes waiting in a sink's queue", ["sink"],
                               registry=registry)
        self._drops = pc.Gauge(p + "sink_dropped", "Changes a sink dropped", ["sink"], registry=registry)
        try:
            started = pc.start_http_server(port, addr=host, registry=registry)
        except OSError as exc:
            raise RuntimeError(f"--metrics {host}:{port}: {exc.strerror or exc}") from None
        self._server = started[0] if isinstance(started, tuple) else None
        bound = self._server.server_address if self._server is not None else (host, port)
        self.address = (bound[0], bound[1])

    def event(self, exchange: str, kind: str, n: int = 1) -> None:
        super().event(exchange, kind, n)
        self._events.labels(exchange, kind).inc(n)

    def lag(self, exchange: str, seconds: float) -> None:
        super().lag(exchange, seconds)
        self._lag.labels(exchange).set(seconds)
        self._lags.labels(exchange).observe(seconds)

    def reconnect(self, exchange: str) -> None:
        super().reconnect(exchange)
        self._reconnects.labels(exchange).inc()

    def poll_failed(self, exchange: str) -> None:
        super().poll_failed(exchange)
        self._polls.labels(exchange).inc()

    def stall(self, exchange: str) -> None:
        super().stall(exchange)
        self._stalls.labels(exchange).inc()

    def checkpoint(self, seconds: float, active: int) -> None:
        self._checkpoint.observe(seconds)
        self._active.set(active)

    def refused_event(self, n: int = 1) -> None:
        super().refused_event(n)
        self._refused.inc(n)

    def sink(self, name: str, depth: int, dropped: int) -> None:
        self._depth.labels(name).set(depth)
        self._drops.labels(name).set(dropped)

    def close(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()


def start_metrics(address: str | None) -> NullMetrics:
    """Metrics served on "HOST:PORT" (port 0: any free one), or kept quietly without an address."""
    if not address:
        return NullMetrics()
    host, sep, port = address.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise RuntimeError(f"--metrics {address}: give HOST:PORT, e.g. 127.0.0.1:9464 (port 0: any free one)")
    return Metrics(host.strip("[]") or "0.0.0.0", int(port))
