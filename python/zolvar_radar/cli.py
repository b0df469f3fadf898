"""The `zolvar-radar` command: scan, replay and check from the shell."""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import re
import sys
from collections import Counter
from pathlib import Path
TYPE_CHECKING = False  # typing itself costs a few ms to import

# rich, the report, the linter and datetime load when a command needs them:
# a plain `scan --json` should cost little more than the reading itself.
if TYPE_CHECKING:
    from typing import Iterable, Sequence

    from rich.console import Console
    from rich.progress import Progress

    from .report import Timeline

from . import __version__
from ._zolvar_radar import Radar
from ._display import visible
from .files import BadLine, BadLineError, Replay, scan_files

DATA = Path(__file__).resolve().parent / "data"
DEFAULT_SPEC = DATA / "default_spec.json"
SAMPLE = DATA / "sample.jsonl.gz"

PROG = "zolvar-radar"
EXIT_USAGE = 2  # bad input of any kind, like argparse's own usage errors
NO_EVENT_TS = -(2**63)  # what the radar reports for a symbol that got no event
SHOWN_FACTORS = 3
SHOWN_SKIPS = 10


class LazyConsole:
    """A rich Console made on first use; until then only its file and
    whether that is a terminal are asked, which need no rich."""

    def __init__(self, **options):
        self._options = options
        self._console = None

    @property
    def file(self):
        return sys.stderr if self._options.get("stderr") else sys.stdout

    @property
    def is_terminal(self) -> bool:
        if self._console is None and not any(v in os.environ for v in ("FORCE_COLOR", "TTY_INTERACTIVE")):
            try:
                if not self.file.isatty():
                    return False
            except (AttributeError, ValueError, OSError):
                return False
        return self.console.is_terminal

    @property
    def console(self) -> Console:
        if self._console is None:
            from rich.console import Console

            self._console = Console(**self._options)
        return self._console

    def __getattr__(self, name: str):
        return getattr(self.console, name)


class Failure(Exception):
    """Ends the command with a one-line message on stderr and status 2."""


# --- small helpers -------------------------------------------------------


def read_spec(path: Path | str) -> tuple[str, Radar]:
    """The specification text and a radar built from it."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise Failure(f"{path}: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        return text, Radar(text)
    except ValueError as exc:
        raise Failure(f"{path}: {exc}") from None


def answer_of(text: str) -> dict:
    """A radar answer, raising its error text when it is one."""
    answer = json.loads(text)
    if "error" in answer:
        raise Failure(answer["error"])
    return answer


def format_ts(ts: int) -> str:
    """A UTC time when ts looks like epoch milliseconds (1973 to 5138), else the number."""
    if ts == NO_EVENT_TS:
        return "-"
    if 10**11 <= ts < 10**14:
        from datetime import datetime, timezone

        moment = datetime.fromtimestamp(ts / 1000, tz=timezone.utc)
        return moment.strftime("%Y-%m-%d %H:%M:%S")
    return str(ts)


def strongest(factors: dict[str, float], count: int = SHOWN_FACTORS) -> list[tuple[str, float]]:
    """The strongest non-zero factors, strongest first (label order breaks ties)."""
    pairs = [(label, value) for label, value in factors.items() if label != "severity" and value > 0]
    pairs.sort(key=lambda p: -p[1])
    return pairs[:count]


def severity_style(severity: float) -> str:
    return "bold red" if severity >= 0.5 else "yellow" if severity >= 0.35 else "default"


def report_skipped(skipped: Sequence[BadLine], err: Console) -> None:
    if not skipped:
        return
    for bad in skipped[:SHOWN_SKIPS]:
        err.print(visible(bad), soft_wrap=True)
    if len(skipped) > SHOWN_SKIPS:
        err.print(f"... and {len(skipped) - SHOWN_SKIPS} more")
    err.print(f"skipped {len(skipped)} bad line{'s' if len(skipped) != 1 else ''}")


def report_skipped_rows(skipped: dict[str, Counter], err: Console) -> None:
    """Tardis rows left out for an empty field: a note, not an error."""
    for name, reasons in skipped.items():
        total = sum(reasons.values())
        if total:
            why = ", ".join(f"{reason}: {count}" for reason, count in reasons.most_common())
            err.print(visible(f"{name}: skipped {total} row{'s' if total != 1 else ''} ({why})"), soft_wrap=True)


class NoProgress:
    """A progress bar's calls, doing nothing: without a bar to draw, rich
    (tens of milliseconds to import) stays unloaded."""

    def __enter__(self) -> NoProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def add_task(self, *args, **kwargs) -> int:
        return 0

    def update(self, *args, **kwargs) -> None:
        return None


def byte_progress(err: Console, label: str, show: bool, above: bool = False) -> Progress | NoProgress:
    if not show:
        return NoProgress()
    from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeElapsedColumn

    return Progress(
        TextColumn(label),
        BarColumn(),
        DownloadColumn(),
        TimeElapsedColumn(),
        console=getattr(err, "console", err),
        transient=True,
        # with `above`, output to a terminal stdout is kept above the bar
        redirect_stdout=above,
        redirect_stderr=False,
    )


def input_paths(args: argparse.Namespace) -> list[str]:
    return args.files or [str(SAMPLE)]


def input_bytes(paths: Sequence[str]) -> int:
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size if path != "-" else 0
        except OSError:
            pass
    return total


# --- scan ------------------------------------------------------------------

# Below this a scan is over before a bar would be worth drawing.
PROGRESS_FROM_BYTES = 64 << 20


def scan_paths(args: argparse.Namespace, files: list[str]) -> list[str]:
    """The files to scan: the bundled sample when none are given, unless
    scanning from a saved state, which is then scored alone."""
    return files if files or args.state else [str(SAMPLE)]


def read_state(args: argparse.Namespace, spec_text: str) -> bytes | None:
    """The bytes of --state, checked against the specification before any file is read."""
    if args.state is None:
        return None
    try:
        data = Path(args.state).read_bytes()
    except OSError as exc:
        raise Failure(f"{args.state}: {exc.strerror or exc}") from None
    from ._engine import engine

    try:
        engine.FileScan([], spec_text, state=data)  # loads and checks it, reads nothing
    except ValueError as exc:
        raise Failure(f"{args.state}: {exc}") from None
    return data


def write_state(path: str, data: bytes) -> None:
    """Writes a whole state or nothing: a state file is never left half written."""
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        temporary.write_bytes(data)
        os.replace(temporary, target)
    except OSError as exc:
        temporary.unlink(missing_ok=True)
        raise Failure(f"{path}: {exc.strerror or exc}") from None


def run_scan(args: argparse.Namespace, out: Console, err: Console) -> int:
    if args.dask is not None:
        return run_dask_scan(args, out, err)
    spec_text, _ = read_spec(args.spec)
    state = read_state(args, spec_text)
    paths = scan_paths(args, args.files)
    show = err.is_terminal and not args.no_progress and input_bytes(paths) >= PROGRESS_FROM_BYTES
    with byte_progress(err, "scan", show) as progress:
        task = progress.add_task("scan", total=(input_bytes(paths) or None) if show else None)

        def moved(done: int, total: int) -> None:
            progress.update(task, completed=done, total=total or None)

        try:
            result = scan_files(paths, spec_text, format=args.format, skip_bad=args.skip_bad,
                                notional=args.notional, keep_state=args.save_state is not None,
                                progress=moved if show else None, state=state,
                                bar=args.bar.width if args.bar else None)
        except BadLineError as exc:
            raise Failure(str(exc)) from None
        except OSError as exc:
            raise Failure(str(exc)) from None
    if args.save_state is not None:
        write_state(args.save_state, result.saved_state)
    if args.json:
        out.file.write(result.text + "\n")
    else:
        print_table(json.loads(result.text), out)
    report_skipped(result.bad, err)
    report_skipped_rows(result.skipped, err)
    report_bar(args.bar, result.events, result.dropped, err)
    return 0


# a scheduler address: tcp://host:8786, host:8786, [::1]:8786 ...
DASK_ADDRESS = re.compile(r"^(?:[A-Za-z][\w+.-]*://.*|[\w.-]+:\d+|\[[0-9A-Fa-f:.]+\]:\d+)$")


class DaskOption(argparse.Action):
    """--dask [ADDRESS]. A value that is no address is a file the option took
    (`--dask a.jsonl`): it goes back among the files, where it was written."""

    def __call__(self, parser, namespace, value, option_string=None):
        if value and not DASK_ADDRESS.match(value):
            # files already read come before it; otherwise it is the first
            namespace.dask_file = (value, bool(getattr(namespace, "files", None)))
            value = ""
        setattr(namespace, self.dest, value)


def run_dask_scan(args: argparse.Namespace, out: Console, err: Console) -> int:
    """scan --dask: the same result, the files read into states on a Dask cluster."""
    files = list(args.files)
    taken = getattr(args, "dask_file", None)
    if taken is not None:
        files.insert(len(files) if taken[1] else 0, taken[0])
    address = args.dask or None
    if args.skip_bad:
        raise Failure("--skip-bad cannot be used with --dask")
    if "-" in files:
        raise Failure("--dask reads files on the workers: standard input (-) cannot be used")
    spec_text, _ = read_spec(args.spec)
    state = read_state(args, spec_text)
    try:
        import distributed as _  # noqa: F401 - the extra's package, imported only when used
    except ImportError:
        raise Failure("--dask needs Dask: pip install 'zolvar_radar[dask]'") from None
    from . import distributed

    rows: dict = {}
    dropped: list = []
    saved = bytearray() if args.save_state is not None else None
    try:
        answer = distributed.scan(scan_paths(args, files), spec_text, client=address, format=args.format,
                                  notional=args.notional, state=state, saved_state=saved, skipped_rows=rows,
                                  bar=args.bar.width if args.bar else None, dropped=dropped)
    except (distributed.FormatError, distributed.InputError) as exc:
        raise Failure(str(exc)) from None
    except OSError as exc:
        raise Failure(f"dask scheduler {address or '(local cluster)'}: {exc}") from None
    if saved is not None:
        write_state(args.save_state, bytes(saved))
    if args.json:
        out.file.write(answer + "\n")
    else:
        print_table(json.loads(answer), out)
    report_skipped_rows(rows, err)
    report_bar(args.bar, None, dropped[0] if dropped else 0, err)
    return 0


def print_table(result: dict, out: Console) -> None:
    from rich import box
    from rich.table import Table
    from rich.text import Text

    alerts = result["alerts"]
    scanned = result["scanned"]
    if not alerts:
        out.print(f"No alerts: {scanned} symbol{'s' if scanned != 1 else ''} scanned.")
        return
    title = f"{len(alerts)} alert{'s' if len(alerts) != 1 else ''} from {scanned} symbols"
    times = [format_ts(alert["ts"]) for alert in alerts]
    dates = {t.split(" ")[0] for t in times if " " in t}
    if len(dates) == 1 and all(" " in t for t in times):
        # one day, said once in the title: keeps the table narrow
        title += f", last events on {dates.pop()} (UTC)"
        times = [t.split(" ")[1] for t in times]
    table = Table(title=title, title_justify="left", box=box.SIMPLE_HEAD, pad_edge=False)
    table.add_column("#", justify="right", no_wrap=True)
    table.add_column("symbol", no_wrap=True)
    table.add_column("severity", justify="right", no_wrap=True)
    table.add_column("strongest factors", no_wrap=True, overflow="ellipsis")
    table.add_column("last event", no_wrap=True)
    for rank, (alert, when) in enumerate(zip(alerts, times), 1):
        severity = alert["severity"]
        factors = "\n".join(f"{value:.2f} {label}" for label, value in strongest(alert["factors"]))
        table.add_row(
            str(rank),
            Text(visible(alert["symbol"])),
            Text(f"{severity:.3f}", style=severity_style(severity)),
            Text(factors or "-"),
            when,
        )
    out.print(table)


# --- replay ----------------------------------------------------------------

ALERTS = '{"cmd":"alerts"}'
# An alert as the radar writes it: its symbol (a JSON string, so no bare quote
# inside), severity, then factors, whose labels hold no quotes or braces.
ALERT = re.compile(r'\{"symbol":"([^"\\]*(?:\\.[^"\\]*)*)","severity":([^,]+),"factors":')


def alert_list(text: str) -> list[tuple[str, float, int]]:
    """(symbol, severity, where its factors start) of each alert of an "alerts" answer text, in rank order.

    A checkpoint only needs these; the factors are read for the alerts it shows.
    """
    if not text.startswith('{"alerts":['):
        answer_of(text)  # raises the radar's error
    return [
        (json.loads(f'"{symbol}"') if "\\" in symbol else symbol, float(severity), end)
        for symbol, severity, end in ((m.group(1), m.group(2), m.end()) for m in ALERT.finditer(text))
    ]


def factors_at(text: str, start: int) -> dict[str, float]:
    return json.loads(text[start:text.index("}", start) + 1])


class Checkpoints:
    """Reports how the alerts change from one checkpoint to the next."""

    def __init__(self, radar: Radar, args: argparse.Namespace, out: Console):
        self.radar = radar
        self.min_move = args.min_move
        self.out = out
        # off a terminal nothing is styled: lines go to the file as they are
        self.plain = not out.is_terminal
        self.shown: dict[str, float] = {}  # symbol -> severity last reported
        self.active = 0  # alerts at the last checkpoint
        self.text = ""  # the last alerts answer
        self.timeline: Timeline | None = None  # follows the replay for --report and --png

    def check(self, clock: int | None) -> None:
        text = self.radar.command(ALERTS)
        alerts = alert_list(text)
        self.text, self.active = text, len(alerts)
        if self.timeline is not None:
            self.timeline.checkpoint(clock, text)
        shown = self.shown
        when = None
        current = set()
        for symbol, severity, at in alerts:
            current.add(symbol)
            before = shown.get(symbol)
            if before is None:
                tag, style, moved = "new", "bold", f"{severity:.3f}"
            elif abs(severity - before) >= self.min_move:
                tag, style = ("up", "red") if severity > before else ("down", "green")
                moved = f"{before:.3f} -> {severity:.3f}"
            else:
                continue
            if when is None:
                when = format_ts(clock) if clock is not None else "-"
            self.line(when, tag, style, symbol, moved, factors_at(text, at))
            shown[symbol] = severity
        if len(current) != len(shown):
            for symbol in [s for s in shown if s not in current]:
                del shown[symbol]
                if when is None:
                    when = format_ts(clock) if clock is not None else "-"
                self.line(when, "cleared", "dim", symbol, "", None)

    def line(self, when: str, tag: str, style: str, symbol: str, severity: str, factors: dict | None) -> None:
        head = f"{when:<19}  "
        body = f"  {visible(symbol):<14} {severity:<14}"
        tail = ""
        if factors is not None:
            tail = "  " + ", ".join(f"{label} {value:.2f}" for label, value in strongest(factors, 2))
        if self.plain:
            self.out.file.write(f"{head}{tag:<7}{body}{tail}".rstrip() + "\n")
            return
        from rich.text import Text

        text = Text(head)
        text.append(f"{tag:<7}", style=style)
        text.append(body + tail)
        text.rstrip()
        self.out.print(text, soft_wrap=True)


def feed_timeline(timeline: Timeline, events: list[tuple[str, dict]]) -> None:
    """The events the replay fed since the last checkpoint, one batch per symbol."""
    by_symbol: dict[str, list[dict]] = {}
    for symbol, event in events:
        batch = by_symbol.get(symbol)
        if batch is None:
            by_symbol[symbol] = batch = []
        batch.append(event)
    for symbol, batch in by_symbol.items():
        timeline.observe_batch(symbol, batch)


def check_writable(path: str) -> None:
    """Refuses an output file that cannot be written, before a long replay is run for it."""
    if os.path.isdir(path):
        raise Failure(f"{path}: Is a directory")
    try:
        if os.path.lexists(path):
            # open for writing without truncating; non-blocking, should it be a FIFO
            os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
        else:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            os.unlink(path)
    except OSError as exc:
        raise Failure(f"{path}: {exc.strerror or exc}") from None


class Interruption:
    """Ctrl-C ends the replay at its next checkpoint, so that what was replayed is
    reported; a second Ctrl-C stops at once. Off the main thread, or when SIGINT is
    ignored, nothing changes."""

    def __init__(self) -> None:
        self.hit = False
        self._before = None

    def _handler(self, signum, frame) -> None:
        if self.hit:
            raise KeyboardInterrupt
        self.hit = True

    def __enter__(self) -> Interruption:
        import signal

        try:
            if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
                self._before = signal.signal(signal.SIGINT, self._handler)
        except ValueError:  # not the main thread
            pass
        return self

    def __exit__(self, *exc: object) -> None:
        if self._before is not None:
            import signal

            signal.signal(signal.SIGINT, self._before)
            self._before = None


def say(out: Console, text: str) -> None:
    """A line on stdout, flushed: what follows on stderr stays after it in a shared log."""
    if out.is_terminal:
        out.print(text, soft_wrap=True)
    else:
        out.file.write(text + "\n")
        out.file.flush()


def run_replay(args: argparse.Namespace, out: Console, err: Console) -> int:
    spec_text, radar = read_spec(args.spec)
    drawing = bool(args.report or args.png)
    if drawing:
        from .report import Timeline, matplotlib_missing  # only for pictures: it costs a few tens of ms

        if missing := matplotlib_missing():
            raise Failure(f"--report and --png need matplotlib: {missing}")
    if args.png and Path(args.png).suffix.lower() != ".png":
        raise Failure(f"--png {args.png}: the picture is written as PNG; give a name ending in .png")
    for path in (args.png, args.report):
        if path:
            check_writable(path)
    paths = input_paths(args)
    checkpoints = Checkpoints(radar, args, out)
    if drawing:
        signals, threshold, _ = spec_fields(json.loads(spec_text))
        names = ", ".join(Path(f).name for f in args.files) if args.files else "the bundled sample day"
        bars = f", in bars of {args.bar}" if args.bar else ""  # a look-back then counts bars
        checkpoints.timeline = Timeline(signals, threshold, title=f"zolvar-radar replay of {names}{bars}")
    try:
        replay = Replay(radar, paths, format=args.format, skip_bad=args.skip_bad, notional=args.notional,
                        every=args.every, every_ts=args.every_ts, keep_events=drawing,
                        bar=args.bar.width if args.bar else None)
    except OSError as exc:
        raise Failure(str(exc)) from None

    timeline = checkpoints.timeline
    show = err.is_terminal and not args.no_progress
    # alerts still go to stdout; when both are the terminal, let rich keep them above the bar
    progress = byte_progress(err, "replay", show, above=out.is_terminal) if show else None
    try:
        with Interruption() as interruption, progress or contextlib.nullcontext():
            task = progress.add_task("replay", total=None) if progress is not None else None
            try:
                for _ in replay:
                    if timeline is not None:
                        feed_timeline(timeline, replay.take_events())
                    checkpoints.check(replay.clock)
                    if progress is not None:
                        done, total = replay.progress()
                        progress.update(task, completed=done, total=total or None)
                    if interruption.hit:
                        break
            except BrokenPipeError:
                raise
            except OSError as exc:  # a file that became unreadable
                raise Failure(str(exc)) from None
            if replay.stop != "checkpoint":  # read to the end, not left at a checkpoint by Ctrl-C
                if timeline is not None:
                    feed_timeline(timeline, replay.take_events())
                if replay.stop == "bad":
                    raise Failure(str(replay.bad[0]))
                checkpoints.check(replay.clock)
    finally:
        replay.close()

    clock = replay.clock
    if interruption.hit:
        out.file.flush()
        at = format_ts(clock) if clock is not None else "-"
        utc = " UTC" if clock is not None and at != str(clock) else ""
        err.print(f"interrupted after {replay.fed} events, at {at}{utc}", soft_wrap=True)
    active = checkpoints.active
    when = f" at {format_ts(clock)}" if clock is not None else ""
    text = checkpoints.text  # ends with "scanned":N}
    symbols = int(text[text.rindex(":") + 1:-1])
    say(out, f"replayed {replay.fed} events for {symbols} symbols; "
             f"{active} alert{'s' if active != 1 else ''} active{when}")
    report_skipped(replay.bad, err)
    report_skipped_rows(replay.skipped, err)
    report_bar(args.bar, replay.fed, replay.dropped, err)
    if timeline is not None:
        write_reports(timeline, args, err)
    return 130 if interruption.hit else 0


def write_reports(timeline: Timeline, args: argparse.Namespace, err: Console) -> None:
    from .report import png_bytes, write_html

    picture = png_bytes(timeline)
    for path, write in ((args.png, lambda p: Path(p).write_bytes(picture)),
                        (args.report, lambda p: write_html(timeline, p, picture))):
        if path:
            try:
                write(path)
            except OSError as exc:
                raise Failure(f"{path}: {exc.strerror or exc}") from None
            err.print(visible(f"wrote {path}"), soft_wrap=True)


# --- check -----------------------------------------------------------------

LOOKBACK_KINDS = {"oi_delta", "liq_cluster", "oi_price_divergence"}


def signal_fields(signal) -> tuple[str, list, object]:
    """(kind, params, weight) of a signal in object or array form, defaults filled in."""
    if isinstance(signal, dict):
        kind, params, weight = signal.get("kind"), signal.get("params", []), signal.get("weight", 1.0)
    else:
        kind = signal[0]
        params = signal[1] if len(signal) > 1 else []
        weight = signal[2] if len(signal) > 2 else 1.0
    if isinstance(kind, dict):  # {"oi_delta": null}
        kind = next(iter(kind))
    return kind, params, weight


def spec_fields(spec) -> tuple[list, object, object]:
    """(signals, threshold, limit) of a specification in object or array form."""
    if isinstance(spec, dict):
        return spec["signals"], spec.get("threshold", 0.0), spec.get("limit")
    return spec[2], spec[3] if len(spec) > 3 else 0.0, spec[4] if len(spec) > 4 else None


def window_length(signals: Iterable[tuple[str, list]]) -> tuple[int, int]:
    """(window, longest look-back): how many observations each series keeps."""
    longest = 0
    for kind, params in signals:
        if kind in LOOKBACK_KINDS and params:
            first = float(params[0])
            if first > 0 and math.isfinite(first):
                longest = max(longest, min(int(first), 2**64 - 1))
    return max((longest + 1) % 2**64, 2), longest


def label_of(signal) -> str:
    """The signal's label as the radar writes it among an alert's factors."""
    # a scan of one empty symbol that every severity passes lists it
    radar = Radar(json.dumps({"signals": [signal], "threshold": -1}))
    alerts = answer_of(radar.command('{"cmd":"scan","events":{"":[]}}'))["alerts"]
    return next(label for label in alerts[0]["factors"] if label != "severity")


def run_check(args: argparse.Namespace, out: Console, err: Console) -> int:
    from rich import box
    from rich.table import Table
    from rich.text import Text

    from .lint import lint

    text, _ = read_spec(args.spec_file)
    signals, threshold, limit = spec_fields(json.loads(text))
    fields = [signal_fields(s) for s in signals]
    window, longest = window_length((kind, params) for kind, params, _ in fields)

    weights = [float(weight) for _, _, weight in fields]
    total = sum(weights)
    out.print(visible(f"{args.spec_file}: ok, {len(fields)} signal{'s' if len(fields) != 1 else ''}"), soft_wrap=True)
    table = Table(box=box.SIMPLE_HEAD, pad_edge=False)
    table.add_column("#", justify="right", no_wrap=True)
    table.add_column("label (factor key)", no_wrap=True)
    table.add_column("weight", justify="right", no_wrap=True)
    table.add_column("weight share", justify="right", no_wrap=True)
    for index, (signal, (_, _, weight), share) in enumerate(zip(signals, fields, weights), 1):
        table.add_row(
            str(index),
            Text(label_of(signal)),
            json.dumps(weight),
            f"{share / total:.0%}" if total > 0 else "-",
        )
    out.print(table)
    why = f"longest look-back {longest}, plus one" if longest else "no look-back signal"
    out.print(f"window     {window} observations per series ({why})")
    out.print(f"threshold  {json.dumps(threshold)}")
    out.print(f"limit      {'none' if limit is None else limit}")
    # legal but likely unmeant: the radar reads the spec as it is, check says so
    warnings = lint(text)
    for warning in warnings:
        out.print(f"warning: {warning}", soft_wrap=True)
    return 1 if warnings and args.strict else 0


# --- arguments -------------------------------------------------------------


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer: {text}")
    return value


class BarOption:
    """--bar WIDTH: the width as given (for messages) and in timestamp units."""

    def __init__(self, text: str):
        from .bars import bar_width

        try:
            self.width = bar_width(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"must be a positive whole number of timestamp units or a duration like 500ms, 15s, 1m, 4h, 1d: {text}"
            ) from None
        self.text = text.strip()

    def __str__(self) -> str:
        return self.text


def duration(text: str) -> int:
    """--every-ts T: whole timestamp units, or a duration like 1h (epoch ms)."""
    from .bars import bar_width

    try:
        return bar_width(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"must be a positive whole number of timestamp units or a duration like 500ms, 15s, 1m, 4h, 1d: {text}"
        ) from None


def report_bar(bar: BarOption | None, read: int | None, dropped: int, err: Console) -> None:
    """What a bar left out, on stderr: thinning is chosen, but never silent."""
    if bar is None:
        return
    of = f" of the {read:,} events read" if read is not None else " events"
    # plain text: a scan that draws nothing need not load rich for one line
    print(visible(f"--bar {bar}: {dropped:,}{of} left out: snapshots replaced by a later one of the same "
                  f"symbol and kind in their interval"), file=err.file)


def non_negative_float(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be zero or more: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Rank crypto-derivatives market events into alerts. "
        "Without arguments, scans the bundled sample day with the bundled specification.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def events_options(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--spec", default=str(DEFAULT_SPEC), metavar="SPEC.json",
                         help="radar specification (default: the bundled one)")
        sub.add_argument("--skip-bad", action="store_true",
                         help="skip lines the radar refuses and report them at the end, instead of stopping")
        sub.add_argument("--format", choices=("jsonl", "tardis"), default=None,
                         help="input format (default: told by each file's first line: "
                         "a tardis CSV header, otherwise JSON Lines)")
        sub.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
        sub.add_argument("--bar", type=BarOption, metavar="WIDTH",
                         help="one cadence for every source: keep at most one derivatives snapshot and one order "
                         "book per symbol per interval of WIDTH (the last one read in it) and every liquidation, "
                         "so a look-back counts intervals; WIDTH in timestamp units or as 500ms, 15s, 1m, 4h, 1d "
                         "(epoch milliseconds)")
        sub.add_argument("files", nargs="*", metavar="FILES",
                         help="JSON Lines or tardis CSV files of events, .gz read as such, - for stdin "
                         "(default: the bundled sample)")

    scan = commands.add_parser("scan", help="rank the alerts over all the events read",
                               description="Rebuild every symbol from the events read and print the ranked alerts.")
    events_options(scan)
    scan.add_argument("--json", action="store_true", help="print the radar's result text unchanged")
    scan.add_argument("--notional", action="store_true",
                      help="tardis liquidation quantities as amount times price (the quote currency)")
    scan.add_argument("--state", metavar="IN",
                      help="start from a state saved by --save-state: the files continue it (without FILES, "
                      "the state is scored alone); its specification's window must match")
    scan.add_argument("--save-state", metavar="OUT",
                      help="write the state after the scan to OUT, for a later --state")
    scan.add_argument("--dask", nargs="?", const="", action=DaskOption, metavar="ADDRESS",
                      help="read the files into states on a Dask cluster: the scheduler at ADDRESS, "
                      "or alone a local cluster for this run (needs zolvar_radar[dask])")
    scan.set_defaults(run=run_scan)

    replay = commands.add_parser("replay", help="feed events in order and print alerts as they change",
                                 description="Feed the events in file order and print the alerts that are new, "
                                 "moved or cleared at each checkpoint.")
    events_options(replay)
    every = replay.add_mutually_exclusive_group()
    every.add_argument("--every", type=positive_int, default=1000, metavar="N",
                       help="check the alerts every N events (default: 1000)")
    every.add_argument("--every-ts", type=duration, metavar="T",
                       help="check the alerts every T timestamp units instead (60000 = a minute of epoch ms), "
                       "or every 15s, 1m, 1h, 1d ...")
    replay.add_argument("--min-move", type=non_negative_float, default=0.05, metavar="X",
                        help="report a standing alert again once its severity moved by X (default: 0.05)")
    replay.add_argument("--report", metavar="OUT.html",
                        help="also write a page that opens offline: severity over time of the symbols that "
                        "alerted, and the alerts at the end (needs zolvar_radar[report])")
    replay.add_argument("--png", metavar="OUT.png",
                        help="also write that picture as a PNG, to a name ending in .png "
                        "(needs zolvar_radar[report])")
    replay.add_argument("--notional", action="store_true",
                        help="tardis liquidation quantities as amount times price (the quote currency)")
    replay.set_defaults(run=run_replay)

    check = commands.add_parser("check", help="validate a specification and show its signals",
                                description="Validate a specification and print its signals, their labels, "
                                "the window they imply, the threshold and the limit, then warnings about what the "
                                "radar accepts but probably is not meant.")
    check.add_argument("spec_file", nargs="?", default=str(DEFAULT_SPEC), metavar="SPEC.json",
                       help="the specification (default: the bundled one)")
    check.add_argument("--strict", action="store_true",
                       help="exit with status 1 when there are warnings (unknown members, signals that are "
                       "always 0, look-backs cut to whole counts, a threshold out of reach)")
    check.set_defaults(run=run_check)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(argv or ["scan"])
    if not hasattr(args, "run"):
        parser.print_usage(sys.stderr)
        return EXIT_USAGE
    # no markup: symbols and paths are printed as they are, brackets included
    out = LazyConsole(highlight=False, markup=False)
    err = LazyConsole(stderr=True, highlight=False, markup=False)
    try:
        return args.run(args, out, err)
    except Failure as exc:
        out.file.flush()
        print(visible(exc), file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # the reader went away (`| head`); say nothing more
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
