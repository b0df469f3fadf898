"""`zolvar-radar evaluate`: what the price did after every alert onset, against a random baseline."""

from __future__ import annotations

import argparse
import json
TYPE_CHECKING = False

from .._display import visible
from ..files import BadLineError
from .console import Failure, bad_line, say
from .options import parsed_number, duration, events_options, input_paths, positive_int
from .parquet import time_bound
from .progress import byte_progress
from .replay import Interruption, check_writable
from .state import spec_and_state
from .tables import format_moment, report_bar, report_disorder, report_skipped, report_skipped_rows

if TYPE_CHECKING:
    from rich.console import Console

EPILOG = """examples:
  zolvar-radar evaluate --every-ts 1m data/*.csv.gz
  zolvar-radar evaluate --every-ts 5m --horizons 15m,1h,4h --cooldown 12 --json day.jsonl.gz
  zolvar-radar evaluate --every-ts 1m --onsets onsets.csv --report evaluation.html day.jsonl.gz
"""


def non_negative_int(text: str) -> int:
    value = parsed_number(int, text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def add_parser(commands) -> argparse.ArgumentParser:
    sub = commands.add_parser(
        "evaluate", help="measure what the price did after every alert onset, against a random baseline",
        description="Replay the events merged by time and, at every checkpoint, follow the price of each symbol "
        "that starts alerting and of a seeded random sample of those that do not, over the horizons; print "
        "per horizon the returns, hit rate, lift with its interval, the rank-sum p-value and the rank "
        "correlation of severity with the move, then the same by dominant factor.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    events_options(sub)
    every = sub.add_mutually_exclusive_group()
    every.add_argument("--every", type=positive_int, default=1000, metavar="N",
                       help="a checkpoint every N events (default: 1000)")
    every.add_argument("--every-ts", type=duration, metavar="T",
                       help="a checkpoint every T timestamp units, or every 15s, 1m, 1h ...")
    sub.add_argument("--horizons", default="5m,1h,4h,1d", metavar="H,H,...",
                     help="increasing horizons, in timestamp units or as durations (default: 5m,1h,4h,1d)")
    sub.add_argument("--cooldown", type=non_negative_int, default=0, metavar="N",
                     help="checkpoints after an onset before the same symbol can have another (default: 0)")
    sub.add_argument("--baseline", type=int, default=20, metavar="K",
                     help="symbols drawn at random per checkpoint among those not alerting (default: 20)")
    sub.add_argument("--seed", type=non_negative_int, default=1, help="seed of the draws and the bootstrap")
    sub.add_argument("--bootstrap", type=non_negative_int, default=1000, metavar="B",
                     help="resamples for the lift's interval (default: 1000)")
    sub.add_argument("--judge-from", type=time_bound, metavar="TS",
                     help="figures only from the checkpoints at or after TS (timestamp units, or an ISO date or "
                     "time such as 2024-05-14T13:00, UTC, as epoch milliseconds; the states and draws before "
                     "still made)")
    sub.add_argument("--judge-to", type=time_bound, metavar="TS",
                     help="figures only from the checkpoints before TS, resolved by prices before TS")
    sub.add_argument("--notional", action="store_true",
                     help="tardis liquidation quantities as amount times price (the quote currency)")
    sub.add_argument("--file-order", action="store_true",
                     help="read the files one after another instead of merged by time")
    sub.add_argument("--json", action="store_true", help="print the statistics as one JSON object")
    sub.add_argument("--onsets", metavar="OUT.csv", help="write one row per onset, for your own analysis")
    sub.add_argument("--report", metavar="OUT.html",
                     help="write a page that opens offline: the event study, lift per horizon, quintiles, "
                     "the best and worst onsets (needs zolvar_radar[report])")
    return sub


def horizons_of(text: str) -> tuple[list[int], list[str]]:
    from ..evaluate import horizon_values

    try:
        return horizon_values(text.split(","))
    except ValueError as exc:
        raise Failure(f"--horizons {text or repr('')}: {exc}") from None


def uses_durations(args: argparse.Namespace, names: list[str]) -> list[str]:
    """The options given as durations: they assume epoch milliseconds."""
    given = [f"--horizons {n}" for n in names if not n.isdigit()]
    if args.bar is not None and not args.bar.text.isdigit():
        given.append(f"--bar {args.bar}")
    return given


def run(args: argparse.Namespace, out: Console, err: Console) -> int:
    values, names = horizons_of(args.horizons)
    if args.judge_from is not None and args.judge_to is not None and args.judge_from >= args.judge_to:
        raise Failure(f"--judge-from {args.judge_from} is not before --judge-to {args.judge_to}: nothing to judge")
    if args.baseline < 0:
        raise Failure(f"--baseline {args.baseline}: must be 0 or more")
    if args.report:
        from ..report import matplotlib_missing

        if missing := matplotlib_missing():
            raise Failure(f"--report needs matplotlib: {missing}")
    for path in (args.onsets, args.report):
        if path:
            check_writable(path)
    spec_text, _ = spec_and_state(args, err)
    paths = input_paths(args)

    from ..evaluate import evaluate

    show = err.is_terminal and not args.no_progress
    with Interruption() as interruption, byte_progress(err, "evaluate", show) as progress:
        task = progress.add_task("evaluate", total=None)

        def moved(done: int, total: int) -> None:
            progress.update(task, completed=done, total=total or None)

        from .parquet import evaluate_parquet_files, parquet_inputs

        try:
            if parquet_inputs(args, paths, ("--format", "--notional")):
                from .parquet import table_options

                result = evaluate_parquet_files(paths, spec_text, **table_options(args), horizons=names,
                                                every=args.every,
                                                every_ts=args.every_ts, bar=args.bar.width if args.bar else None,
                                                skip_bad=args.skip_bad, cooldown=args.cooldown,
                                                baseline=args.baseline, seed=args.seed, bootstrap=args.bootstrap,
                                                stop=lambda: interruption.hit)
            else:
                result = evaluate(paths, spec_text, horizons=names, every=args.every, every_ts=args.every_ts,
                                  bar=args.bar.width if args.bar else None, format=args.format,
                                  skip_bad=args.skip_bad, notional=args.notional, cooldown=args.cooldown,
                                  baseline=args.baseline, seed=args.seed, bootstrap=args.bootstrap,
                                  file_order=args.file_order, judge_from=args.judge_from, judge_to=args.judge_to,
                                  progress=moved, stop=lambda: interruption.hit)
        except BadLineError as exc:
            raise bad_line(exc.bad) from None
        except (OSError, ValueError) as exc:
            raise Failure(str(exc)) from None

    stats = result.stats
    # Ctrl-C counts even when the input ended before the run could look
    result.interrupted = result.interrupted or interruption.hit
    if stats["events"] == 0:
        if result.interrupted:
            print("interrupted", file=err.file)
            return 130
        raise Failure("no events read: nothing to evaluate")
    warn_time(args, names, result, err)
    if args.json:
        say(out, json.dumps(stats, separators=(",", ":")))
    else:
        print_evaluation(stats, out)
    if result.interrupted:
        print(f"interrupted after {result.events} events, at {format_moment(result.clock)}", file=err.file)
    report_skipped(result.bad, err)
    report_skipped_rows(result.skipped, err)
    report_bar(args.bar, result.events, result.dropped, err)
    if args.onsets:
        write_output(args.onsets, result.onsets_csv().encode(), err)
    if args.report:
        write_report(args, result, err)
    return 130 if result.interrupted else 0


def warn_time(args: argparse.Namespace, names: list[str], result, err: Console) -> None:
    """Said once, on stderr: durations read as epoch milliseconds, and files out of time order."""
    durations = uses_durations(args, names)
    first, last = result.first_ts, result.clock
    if durations and first is not None and not (10**11 <= first and last < 10**14):
        print(visible(f"warning: {', '.join(durations)} read timestamps as epoch milliseconds, but the "
                      f"timestamps run from {first} to {last}"), file=err.file)
    report_disorder(result.disorder, err)


def write_output(path: str, data: bytes, err: Console) -> None:
    from ..atomic import write_atomic

    try:
        write_atomic(path, data)
    except OSError as exc:
        raise Failure(f"{path}: {exc.strerror or exc}") from None
    print(visible(f"wrote {path}"), file=err.file)


def write_report(args: argparse.Namespace, result, err: Console) -> None:
    from ..evaluate_report import write_evaluation_html

    rows = [dict(zip(result.columns(), row)) for row in result.rows()]
    names = ", ".join(args.files) if args.files else "the bundled sample day"
    try:
        write_evaluation_html(result.stats, rows, args.report, title=f"zolvar-radar evaluate of {names}")
    except OSError as exc:
        raise Failure(f"{args.report}: {exc.strerror or exc}") from None
    print(visible(f"wrote {args.report}"), file=err.file)


def cell(value, digits: int = 4, percent: bool = False) -> str:
    if value is None:
        return "–"
    if percent:
        return f"{value * 100:.2f}%"
    return f"{value:.{digits}f}"


def plain_table(header: list[str], rows: list[list[str]], out: Console, left: tuple[int, ...] = (0,)) -> None:
    """Columns as wide as their widest cell, never cut, no trailing spaces; text columns
    (``left``) to the left, figures to the right."""
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        line = "  ".join(c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths)))
        say(out, visible(line.rstrip()))


def print_evaluation(stats: dict, out: Console) -> None:
    say(out, f"{stats['onsets']} onsets at {stats['checkpoints']} checkpoints over {stats['events']} events; "
             f"{stats['no_price']} without a price; {stats['baseline_draws']} baseline draws")
    rows = []
    for h in stats["horizons"]:
        b = h["baseline"]
        ci = h["lift_ci"]
        rows.append([h["horizon"], str(h["onsets"]), str(h["resolved"]), cell(h["mean_return"], percent=True),
                     cell(h["median_return"], percent=True), cell(h["mean_abs_return"], percent=True),
                     f"{cell(b['mean_abs_return'], percent=True)} ({b['resolved']})", cell(h["hit_rate"], 2),
                     cell(h["lift"], 2), f"{cell(ci[0], 2)}-{cell(ci[1], 2)}" if ci else "–",
                     cell(h["p_value"], 4), cell(h["rank_ic"], 2)])
    plain_table(["horizon", "onsets", "resolved", "mean", "median", "mean |r|", "baseline |r| (n)", "hit",
                 "lift", "95% CI", "p", "rank IC"], rows, out)
    if stats["by_factor"]:
        say(out, "")
        header = ["dominant factor", "onsets"] + [f"lift {h['horizon']} (n)" for h in stats["horizons"]]
        rows = [[f["factor"], str(f["onsets"])] + [f"{cell(h['lift'], 2)} ({h['resolved']})" for h in f["horizons"]]
                for f in stats["by_factor"]]
        plain_table(header, rows, out)
