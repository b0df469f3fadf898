"""`zolvar-radar watch`: alerts from exchanges (or recorded files) as they happen."""

from __future__ import annotations

import argparse
import sys
TYPE_CHECKING = False

from .._display import visible
from .console import Failure
from .options import duration, finite_float, non_negative_float, positive_float

if TYPE_CHECKING:
    from rich.console import Console

EXAMPLES = """examples:
  zolvar-radar watch --exchange binanceusdm --symbols BTC/USDT:USDT,ETH/USDT:USDT
  zolvar-radar watch --exchange bybit --all-perpetuals --quote USDT --state bybit.state \\
      --sink webhook:https://discord.com/api/webhooks/... --sink-format discord
  zolvar-radar watch --source file:day1.jsonl.gz --every-ts 1m --sink jsonl
  zolvar-radar watch --source file:day1.jsonl.gz --speed 60 --metrics 127.0.0.1:0
"""


def add_parser(commands) -> argparse.ArgumentParser:
    watch = commands.add_parser("watch", help="alerts from exchanges as they happen, where traders look",
                                description="Read exchanges (or recorded files) continuously and send each alert "
                                "that starts, moves or clears, at every checkpoint; restarts go on from --state.",
                                epilog=EXAMPLES)
    watch.add_argument("--source", default="ccxt", metavar="ccxt|cryptofeed|file:PATH[,PATH...]",
                       help="where events come from (default: ccxt); file: plays recorded files through the "
                       "same loop, on their own clock")
    watch.add_argument("--exchange", action="append", default=[], metavar="ID",
                       help="an exchange id (repeatable): a ccxt id, or a cryptofeed one with --source cryptofeed")
    watch.add_argument("--symbols", metavar="A,B,...", help="the exchange's symbols to watch")
    watch.add_argument("--all-perpetuals", action="store_true", help="every perpetual swap the exchange lists")
    watch.add_argument("--quote", metavar="CCY", help="with --all-perpetuals: only those settled in CCY (e.g. USDT)")
    watch.add_argument("--spec", metavar="SPEC.json", help="radar specification (default: the state's, or the "
                       "bundled one)")
    watch.add_argument("--bar", type=duration, default=None, metavar="WIDTH",
                       help="one snapshot of each kind per symbol per WIDTH (default: 1m)")
    watch.add_argument("--no-bar", action="store_true", help="feed every snapshot, without bars")
    watch.add_argument("--every-ts", type=duration, metavar="T", help="checkpoint every T (default: the bar)")
    watch.add_argument("--min-move", type=non_negative_float, default=0.05, metavar="X",
                       help="send a standing alert again once its severity moved by X (default: 0.05)")
    watch.add_argument("--cooldown", type=duration, default=None, metavar="D",
                       help="no new onset for a symbol within D of its last one")
    watch.add_argument("--sink", action="append", default=[], metavar="SINK",
                       help="terminal, jsonl (stdout), jsonl:PATH (appended) or webhook:URL; repeatable "
                       "(default: terminal on a terminal, else jsonl)")
    watch.add_argument("--sink-format", choices=("raw", "discord", "telegram", "slack"), default="raw",
                       help="the body webhooks post (default: raw, the change itself)")
    watch.add_argument("--webhook-timeout", type=positive_float, default=5.0, metavar="SECONDS",
                       help="a webhook post's timeout, and the longest wait for queued changes at exit (default: 5)")
    watch.add_argument("--state", metavar="FILE", help="load the watch's state from FILE at start (when it "
                       "exists) and save it there, whole, every --save-every and at exit")
    watch.add_argument("--save-every", type=duration, default=duration("5m"), metavar="D",
                       help="save the state every D of the clock (default: 5m)")
    watch.add_argument("--metrics", metavar="HOST:PORT", help="serve Prometheus metrics there (port 0: any free "
                       "one); needs zolvar_radar[live]")
    watch.add_argument("--stall", type=positive_float, default=60.0, metavar="SECONDS",
                       help="log and count an exchange that sent nothing for SECONDS (default: 60)")
    watch.add_argument("--poll", type=positive_float, default=15.0, metavar="SECONDS",
                       help="seconds between polls of what an exchange does not stream (default: 15)")
    watch.add_argument("--speed", type=positive_float, metavar="X",
                       help="file source: play at X times real time (default: as fast as possible)")
    watch.add_argument("--format", choices=("jsonl", "tardis"), default=None, help="file source: input format")
    watch.add_argument("--notional", action="store_true",
                       help="file source: tardis liquidation quantities as amount times price")
    watch.add_argument("--skip-bad", action="store_true", help="file source: skip lines the radar refuses")
    watch.add_argument("--threshold", type=finite_float, metavar="X", help="alert from severity X")
    watch.add_argument("--limit", type=int, metavar="N", help="at most N alerts per checkpoint")
    watch.add_argument("--strict", action="store_true", help="stop on what `check` warns about in the specification")
    watch.add_argument("-v", "--verbose", action="store_true", help="log connections and polls on stderr")
    return watch


def _spec(args: argparse.Namespace, err) -> str | None:
    from .specs import DEFAULT_SPEC, overridden, read_spec, warn_spec

    if args.spec is None and args.state is not None and args.threshold is None and args.limit is None:
        return None  # the state's own, or the bundled one without a state
    text = overridden(read_spec(args.spec or DEFAULT_SPEC)[0], args)
    warn_spec(text, args.spec or str(DEFAULT_SPEC), args.strict, err, args)
    return text


def _sinks(args: argparse.Namespace, out) -> list:
    from ..watch.sinks import SinkError, parse_sink

    given = args.sink or (["terminal"] if out.is_terminal else ["jsonl"])
    sinks = []
    try:
        for text in given:
            sinks.append(parse_sink(text, format=args.sink_format, console=out, stream=out.file,
                                    timeout=args.webhook_timeout))
    except SinkError as exc:
        for sink in sinks:
            sink.close(0)
        raise Failure(str(exc)) from None
    return sinks


def run(args: argparse.Namespace, out: Console, err: Console) -> int:
    # asyncio and logging load here, not with the command line: they cost every other command 60 ms
    import asyncio
    import logging

    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING, stream=sys.stderr,
                        format="zolvar-radar watch: %(message)s")
    from ..bars import bar_width
    from ..watch.sources import SourceError, parse_source
    from ..watch.state import StateError, check_state_path, read_state

    bar = None if args.no_bar else (args.bar or bar_width("1m"))
    symbols = [s.strip() for s in args.symbols.split(",") if s.strip()] if args.symbols else None
    if args.source in ("ccxt", "cryptofeed"):
        if not args.exchange:
            raise Failure(f"--source {args.source}: give at least one --exchange ID")
        if not symbols and not args.all_perpetuals:
            raise Failure("give --symbols A,B,... or --all-perpetuals")
    try:
        source = parse_source(args.source, exchanges=args.exchange, symbols=symbols,
                              all_perpetuals=args.all_perpetuals, quote=args.quote, speed=args.speed,
                              format=args.format, skip_bad=args.skip_bad, notional=args.notional, poll=args.poll)
    except (SourceError, RuntimeError) as exc:
        raise Failure(str(exc)) from None
    every_ts = args.every_ts or bar
    if args.state and args.source.startswith("file:") and bar and every_ts and every_ts % bar:
        # a file source's saves keep no open bar: one open at a save would be lost on the restart
        raise Failure(f"--every-ts {every_ts} with --state and a file source must be a multiple of --bar {bar}")
    saved = None
    if args.state:
        try:
            check_state_path(args.state)
            saved = read_state(args.state)
        except StateError as exc:
            raise Failure(str(exc)) from None
    spec = _spec(args, err)
    if saved is not None:
        from .._engine import engine

        try:  # the window must be the specification's: said now, not after connecting
            engine.FileScan([], spec or saved.spec, state=saved.radar)
        except ValueError as exc:
            raise Failure(f"{args.state}: {exc}") from None
    sinks = _sinks(args, out)
    try:
        return asyncio.run(_main(args, source, spec, bar, sinks, err))
    finally:
        for sink in sinks:
            sink.close(args.webhook_timeout)


async def _main(args, source, spec, bar, sinks, err) -> int:
    import asyncio
    import signal

    from ..watch import LiveSource, Watcher
    from ..watch.metrics import start_metrics
    from ..watch.sources import SourceError

    if isinstance(source, LiveSource):
        try:
            await source.prepare()  # markets and methods: refused here, before any stream opens
        except SourceError as exc:
            await source.close()
            raise Failure(str(exc)) from None
    try:
        metrics = start_metrics(args.metrics)
    except RuntimeError as exc:
        if isinstance(source, LiveSource):
            await source.close()
        raise Failure(str(exc)) from None
    if metrics.address is not None:
        host, port = metrics.address
        print(f"metrics on http://{host}:{port}/metrics", file=err.file, flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    interrupted = []

    def stopped(signum: int) -> None:
        interrupted.append(signum)
        stop.set()

    for signum in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(signum, stopped, signum)
        except (NotImplementedError, RuntimeError, ValueError):
            pass
    try:
        watcher = Watcher(source, spec, bar=bar, every_ts=args.every_ts, min_move=args.min_move,
                          cooldown=args.cooldown or 0, state=args.state, save_every=args.save_every,
                          stall=args.stall, metrics=metrics, stop=stop)
    except ValueError as exc:
        metrics.close()
        raise Failure(str(exc)) from None
    changes = 0
    from contextlib import aclosing

    try:
        async with aclosing(watcher.checkpoints()) as checkpoints:
            async for checkpoint in checkpoints:
                for change in checkpoint.changes:
                    for sink in sinks:
                        sink.send(change)
                changes += len(checkpoint.changes)
                for sink in sinks:
                    flush = getattr(sink, "flush", None)
                    if flush is not None:
                        flush()
                    metrics.sink(sink.name, sink.depth(), sink.dropped)
    except ValueError as exc:  # a refused line of a file, a state of another window
        raise Failure(str(exc)) from None
    except BrokenPipeError:
        raise  # the reader went away: the command line ends quietly
    except OSError as exc:
        raise Failure(str(exc)) from None
    finally:
        metrics.close()
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.remove_signal_handler(signum)
            except (NotImplementedError, RuntimeError, ValueError):
                pass
    active = watcher.tracker.active
    skipped = f" ({watcher.skipped_before} before the saved checkpoint skipped)" if watcher.skipped_before else ""
    # Ctrl-C is a person stopping the watch early: 130, as every command says it. SIGTERM is how a
    # service manager stops it in the ordinary way; the state is saved either way, so that stays 0
    # and a supervisor does not count it a failure.
    by_hand = signal.SIGINT in interrupted
    print(visible(f"{'interrupted: ' if by_hand else ''}watched {watcher.events} events{skipped} over "
                  f"{watcher.checkpoints_done} checkpoints: "
                  f"{changes} change{'s' if changes != 1 else ''} sent, {active} alert{'s' if active != 1 else ''} "
                  f"active"), file=err.file)
    for sink in sinks:
        sink.close(args.webhook_timeout)
        if sink.dropped:
            print(visible(f"{sink.name}: {sink.dropped} changes dropped"), file=err.file)
    for name, counts in (("stalls", metrics.stalls), ("reconnects", metrics.reconnects),
                         ("failed polls", metrics.poll_failures)):
        if counts:
            print(f"{name}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())), file=err.file)
    if metrics.refused:
        print(f"{metrics.refused} events refused by the radar", file=err.file)
    return 130 if by_hand else 0
