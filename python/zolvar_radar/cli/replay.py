"""`zolvar-radar replay`: events fed in order, alerts printed as they change."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
from pathlib import Path
TYPE_CHECKING = False

from .._display import visible
from ..files import Replay
from .console import Failure, bad_line, counted, say
from .options import UnitCheck, duration, events_options, input_paths, non_negative_float, positive_int
from .progress import bar_paused, byte_progress
from .specs import answer_of, spec_fields
from .state import spec_and_state
from .tables import format_ts, report_bar, report_disorder, report_skipped, report_skipped_rows, strongest

if TYPE_CHECKING:
    from rich.console import Console

    from .._zolvar_radar import Radar
    from ..report import Timeline


EXAMPLES = """examples:
  zolvar-radar replay --every-ts 1h day1.jsonl.gz
  zolvar-radar replay --spec my.json --min-move 0.1 --report day1.html day1.jsonl.gz
  zolvar-radar replay --json --every 500 day1.jsonl.gz | jq 'select(.change == "onset")'
  zolvar-radar replay --state day1.state day2.jsonl.gz
"""


def add_parser(commands) -> argparse.ArgumentParser:
    replay = commands.add_parser("replay", help="feed events in order and print alerts as they change",
                                 description="Feed the events merged by time and print the alerts that are new, "
                                 "moved or cleared at each checkpoint.", epilog=EXAMPLES)
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
    replay.add_argument("--file-order", action="store_true",
                        help="read the files one after another instead of merged by time")
    replay.add_argument("--notional", action="store_true",
                        help="tardis liquidation quantities as amount times price (the quote currency)")
    replay.add_argument("--json", action="store_true",
                        help='one JSON line per change instead: {"change": "onset", "moved" or "cleared", "symbol", '
                        '"severity", "previous", "factors", "clock"}; the summary then goes to stderr')
    replay.add_argument("--state", metavar="IN",
                        help="start from a state saved by scan --save-state: the files continue it; without "
                        "--spec, with the specification saved in it")
    return replay


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
        self.json = getattr(args, "json", False)  # a JSON line per change instead
        self.shown: dict[str, float] = {}  # symbol -> severity last reported
        self.active = 0  # alerts at the last checkpoint
        self.text = ""  # the last alerts answer
        self.timeline: Timeline | None = None  # follows the replay for --report and --png
        self.pending: list = []  # the styled lines of a checkpoint, written together
        self.pause = contextlib.nullcontext  # what steps a progress bar aside while they are written

    def check(self, clock: int | None) -> None:
        text = self.radar.command(ALERTS)
        alerts = alert_list(text)
        self.text, self.active = text, len(alerts)
        if self.timeline is not None:
            self.timeline.checkpoint(clock, text)
        when = None
        for tag, symbol, severity, before, at in self.changes(alerts):
            if self.json:
                self.json_line(clock, tag, symbol, severity, before, None if at is None else factors_at(text, at))
                continue
            if when is None:
                when = format_ts(clock) if clock is not None else "-"
            if tag == "new":
                self.line(when, tag, "bold", symbol, f"{severity:.3f}", factors_at(text, at))
            elif tag == "cleared":
                self.line(when, tag, "dim", symbol, "", None)
            else:
                self.line(when, tag, "red" if tag == "up" else "green", symbol, f"{before:.3f} -> {severity:.3f}",
                          factors_at(text, at))
        if self.pending:
            with self.pause():
                for line in self.pending:
                    if isinstance(line, str):
                        self.out.file.write(line)
                    else:
                        self.out.print(line, soft_wrap=True)
            self.pending.clear()

    def changes(self, alerts: list[tuple[str, float, int]]):
        """(new|up|down|cleared, symbol, severity, severity before, where its factors start) since the last checkpoint."""
        shown = self.shown
        current = set()
        for symbol, severity, at in alerts:
            current.add(symbol)
            before = shown.get(symbol)
            if before is None:
                yield "new", symbol, severity, None, at
            elif abs(severity - before) >= self.min_move:
                yield "up" if severity > before else "down", symbol, severity, before, at
            else:
                continue
            shown[symbol] = severity
        if len(current) != len(shown):
            for symbol in [s for s in shown if s not in current]:
                yield "cleared", symbol, None, shown.pop(symbol), None

    def json_line(self, clock: int | None, tag: str, symbol: str, severity: float | None, before: float | None,
                  factors: dict | None) -> None:
        change = {"new": "onset", "cleared": "cleared"}.get(tag, "moved")
        self.pending.append(json.dumps({"change": change, "symbol": symbol, "severity": severity, "previous": before,
                                        "factors": factors, "clock": clock}, ensure_ascii=False) + "\n")

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
        self.pending.append(text)


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


def start_radar(args: argparse.Namespace, err: Console) -> tuple[str, Radar]:
    """The specification and the radar the events are fed to: a new one, or one continuing --state."""
    spec_text, state = spec_and_state(args, err)
    if state is None:
        from .._zolvar_radar import Radar

        return spec_text, Radar(spec_text)
    from ..files import scan_files

    # the state's data under the specification chosen (its own, unless --spec gave another)
    return spec_text, scan_files([], spec_text, state=state, keep_radar=True).radar


def run(args: argparse.Namespace, out: Console, err: Console) -> int:
    spec_text, radar = start_radar(args, err)
    drawing = bool(args.report or args.png)
    if drawing:
        from ..report import Timeline, matplotlib_missing  # only for pictures: it costs a few tens of ms

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
        checkpoints.timeline = Timeline(signals, threshold, title=f"zolvar-radar replay of {names}{bars}",
                                        bar=str(args.bar) if args.bar else None)
    from .parquet import parquet_inputs, replay_parquet_files

    try:
        if parquet_inputs(args, paths, ("--format", "--notional")):
            replay = replay_parquet_files(radar, paths, args, drawing)
        else:
            replay = Replay(radar, paths, format=args.format, skip_bad=args.skip_bad, notional=args.notional,
                            every=args.every, every_ts=args.every_ts, keep_events=drawing,
                            bar=args.bar.width if args.bar else None, file_order=args.file_order)
    except OSError as exc:
        raise Failure(str(exc)) from None

    timeline = checkpoints.timeline
    show = err.is_terminal and not args.no_progress
    progress = byte_progress(err, "replay", show) if show else None
    if progress is not None and not checkpoints.plain:
        # stdout on the terminal too: alert lines go above the bar, never after it on its line
        checkpoints.pause = lambda: bar_paused(progress)
    units = UnitCheck(args, err, (lambda line: err.print(line, soft_wrap=True)) if progress is not None else None)
    bad = None  # the line that stopped the replay: what came before it is still reported
    try:
        with Interruption() as interruption, progress or contextlib.nullcontext():
            task = progress.add_task("replay", total=None) if progress is not None else None
            try:
                for _ in replay:  # every checkpoint, and the end
                    if replay.stop == "bad":
                        bad = replay.bad[0]
                        if replay.fed == 0:
                            raise bad_line(bad)
                    if timeline is not None:
                        feed_timeline(timeline, replay.take_events())
                    checkpoints.check(replay.clock)
                    units.seen(replay.clock)
                    if progress is not None:
                        done, total = replay.progress()
                        progress.update(task, completed=done, total=total or None)
                    if interruption.hit:
                        break
            except BrokenPipeError:
                raise
            except OSError as exc:  # a file that became unreadable
                raise Failure(str(exc)) from None
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
    say(err if args.json else out, f"replayed {counted(replay.fed, 'event')} for {counted(symbols, 'symbol')}; "
             f"{active} alert{'s' if active != 1 else ''} active{when}")
    report_disorder(getattr(replay, "disorder", None), err)
    if bad is None:
        report_skipped(replay.bad, err)
    report_skipped_rows(replay.skipped, err)
    report_bar(args.bar, replay.fed, replay.dropped, err)
    if timeline is not None:
        write_reports(timeline, args, err)
    if bad is not None:
        raise bad_line(bad)
    return 130 if interruption.hit else 0


def write_reports(timeline: Timeline, args: argparse.Namespace, err: Console) -> None:
    from ..atomic import write_atomic
    from ..report import png_bytes, write_html

    picture = png_bytes(timeline)
    for path, write in ((args.png, lambda p: write_atomic(p, picture)),
                        (args.report, lambda p: write_html(timeline, p, picture))):
        if path:
            try:
                write(path)
            except OSError as exc:
                raise Failure(f"{path}: {exc.strerror or exc}") from None
            err.print(visible(f"wrote {path}"), soft_wrap=True)
