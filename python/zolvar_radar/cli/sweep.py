"""`zolvar-radar sweep`: many specifications over one reading, judged out of sample, the trials counted."""

from __future__ import annotations

import argparse
import json
TYPE_CHECKING = False

from .._display import visible
from ..files import BadLineError
from .console import Failure, bad_line, counted, say
from .evaluate import cell, non_negative_int, plain_table, write_output
from .options import BarOption, parsed_number, duration, positive_int
from .progress import byte_progress
from .replay import Interruption, check_writable
from .tables import format_moment, format_ts, report_bar, report_skipped, report_skipped_rows

if TYPE_CHECKING:
    from rich.console import Console

EPILOG = """a grid is a base specification and the places to vary, or a JSON array of specifications:
  {"base": {...}, "vary": {"threshold": [0.2, 0.3], "signals.0.params.0": [30, 60, 120],
                           "signals.1.weight": [1, 2], "signals.4.omit": [false, true]}}

examples:
  zolvar-radar sweep --every-ts 1m grid.json data/*.jsonl.gz
  zolvar-radar sweep --every-ts 5m --horizons 15m,1h,4h --metric hit_rate@1h --folds 5 grid.json day*.csv.gz
  zolvar-radar sweep --every-ts 1m --best best.json --report sweep.html grid.json week.jsonl.gz
  zolvar-radar evaluate --spec best.json --judge-from T --every-ts 1m week.jsonl.gz   (T: the sweep's split)
"""


def split_fraction(text: str) -> float:
    value = parsed_number(float, text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1: {text}")
    return value


def even_blocks(text: str) -> int:
    value = parsed_number(int, text)
    if value < 2 or value > 16 or value % 2:
        raise argparse.ArgumentTypeError(f"must be even, 2 to 16: {text}")
    return value


def folds_count(text: str) -> int:
    value = parsed_number(int, text)
    if not 2 <= value <= 1000:
        raise argparse.ArgumentTypeError(f"must be 2 to 1000: {text}")
    return value


def add_parser(commands) -> argparse.ArgumentParser:
    sub = commands.add_parser(
        "sweep", help="judge many specifications in one reading, out of sample, with the trials counted",
        description="Read the events once, merged by time, and at every checkpoint score every candidate of "
        "the grid as evaluate would; choose on the first part of the time range and judge on the rest (or "
        "walk forward over folds), then count the trials: Holm-adjusted p-values, the best metric of "
        "no-skill candidates, and the probability of backtest overfitting.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("grid", metavar="GRID.json", help="the candidates: a base and places to vary, or an array of "
                     "specifications")
    sub.add_argument("files", nargs="*", default=[], metavar="FILES",
                     help="JSON Lines or tardis CSV files of events, .gz read as such (default: the bundled sample)")
    every = sub.add_mutually_exclusive_group()
    every.add_argument("--every", type=positive_int, default=1000, metavar="N",
                       help="a checkpoint every N events (default: 1000)")
    every.add_argument("--every-ts", type=duration, metavar="T",
                       help="a checkpoint every T timestamp units, or every 15s, 1m, 1h ...")
    sub.add_argument("--horizons", default="5m,1h,4h,1d", metavar="H,H,...",
                     help="increasing horizons, in timestamp units or as durations (default: 5m,1h,4h,1d)")
    sub.add_argument("--metric", default="lift", metavar="NAME[@H]",
                     help="what ranks candidates: lift, hit_rate or rank_ic, at one of the horizons "
                     "(default: lift at the middle horizon)")
    judged = sub.add_mutually_exclusive_group()
    judged.add_argument("--split", type=split_fraction, default=0.7, metavar="F",
                        help="the first F of the time range chooses, the rest judges (default: 0.7)")
    judged.add_argument("--folds", type=folds_count, metavar="K",
                        help="walk forward: choose on folds 1..i, judge on fold i+1")
    sub.add_argument("--blocks", type=even_blocks, default=8, metavar="S",
                     help="time blocks for the probability of backtest overfitting (even; default: 8)")
    sub.add_argument("--sample", type=positive_int, metavar="N", help="sweep N candidates of the grid, drawn with the seed")
    sub.add_argument("--max", type=positive_int, default=10_000, metavar="N",
                     help="refuse a grid of more than N candidates (default: 10000)")
    sub.add_argument("--top", type=positive_int, default=10, metavar="N", help="candidates shown (default: 10)")
    sub.add_argument("--cooldown", type=non_negative_int, default=0, metavar="N",
                     help="checkpoints after an onset before the same symbol can have another (default: 0)")
    sub.add_argument("--baseline", type=non_negative_int, default=20, metavar="K",
                     help="symbols drawn at random per checkpoint among those not alerting (default: 20)")
    sub.add_argument("--seed", type=non_negative_int, default=1, help="seed of the draws, the sample and the bootstrap")
    sub.add_argument("--bootstrap", type=non_negative_int, default=1000, metavar="B",
                     help="resamples for the lift's interval (default: 1000)")
    sub.add_argument("--bar", type=BarOption, metavar="WIDTH",
                     help="keep at most one snapshot per symbol and source per interval of WIDTH (as scan --bar)")
    sub.add_argument("--format", choices=("jsonl", "tardis"), default=None, help="input format (default: by content)")
    sub.add_argument("--skip-bad", action="store_true", help="skip lines the radar refuses and report them")
    sub.add_argument("--strict", action="store_true",
                     help="stop (status 2, before reading) on what `check` warns about in the grid's specifications")
    sub.add_argument("--notional", action="store_true",
                     help="tardis liquidation quantities as amount times price (the quote currency)")
    sub.add_argument("--file-order", action="store_true",
                     help="read the files one after another instead of merged by time")
    sub.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    sub.add_argument("--json", action="store_true", help="print the result as one JSON object")
    sub.add_argument("--best", metavar="OUT.json", help="write the winner as a specification")
    sub.add_argument("--report", metavar="OUT.html",
                     help="write a page that opens offline: the metric over pairs of swept places, and the "
                     "ranks out of sample against those in sample")
    from .scan import DaskOption

    sub.add_argument("--dask", nargs="?", const="", action=DaskOption, metavar="ADDRESS",
                     help="split the candidates over a Dask cluster at ADDRESS, or alone a local cluster "
                     "(needs zolvar_radar[dask])")
    return sub


def read_grid_file(args: argparse.Namespace, err: Console):
    from ..grid import GridError, read_grid

    try:
        with open(args.grid, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as exc:
        raise Failure(f"{args.grid}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeDecodeError) as exc:
        raise Failure(f"{args.grid}: not JSON: {exc}") from None
    try:
        grid = read_grid(data, sample=args.sample, seed=args.seed, max_candidates=args.max)
    except GridError as exc:
        raise Failure(f"{args.grid}: {exc}") from None
    warn_grid(data, args, err)
    return grid


def warn_grid(data, args: argparse.Namespace, err: Console) -> None:
    """What check warns about in the base, or in each specification of an array
    (one line per warning, naming the candidates it holds for): a `treshold`
    would otherwise sweep every candidate at threshold 0 without a word."""
    from ..lint import lint

    specs = [("base", data["base"])] if isinstance(data, dict) else list(enumerate(data))
    found: dict[str, list] = {}
    for name, spec in specs:
        for warning in lint(json.dumps(spec, ensure_ascii=False)):
            found.setdefault(str(warning), []).append(name)
    lines = []
    for warning, names in found.items():
        where = "base" if names == ["base"] else \
            f"candidate{'s' if len(names) > 1 else ''} {', '.join(map(str, names[:3]))}" + \
            (f" and {len(names) - 3} more" if len(names) > 3 else "")
        lines.append(f"{args.grid}: {where}: {warning} (refused by --strict)" if args.strict else
                     f"{args.grid}: {where}: warning: {warning}")
    for line in lines[:-1] if args.strict else lines:
        print(visible(line), file=err.file)
    if args.strict and lines:
        raise Failure(lines[-1])


def run(args: argparse.Namespace, out: Console, err: Console) -> int:
    from ..evaluate import horizon_values
    from ..grid import GridError
    from ..sweep import metric_and_horizon

    taken = getattr(args, "dask_file", None)
    if taken is not None:
        # `--dask grid.json ...`: the option took the grid (or, after files, a file)
        if taken[1]:
            args.files.append(taken[0])
        else:
            args.grid, args.files = taken[0], [args.grid, *args.files]
    grid = read_grid_file(args, err)
    try:
        _, names = horizon_values(args.horizons.split(","))
    except ValueError as exc:
        raise Failure(f"--horizons {args.horizons or repr('')}: {exc}") from None
    try:
        metric_and_horizon(args.metric, names)
    except ValueError as exc:
        raise Failure(f"--metric {args.metric}: {exc}") from None
    for path in (args.best, args.report):
        if path:
            check_writable(path)
    paths = args.files or [_sample()]
    from .parquet import looks_parquet

    found = next((p for p in paths if looks_parquet(p)), None)
    if found is not None:  # else read as text: "line is not valid UTF-8" would say nothing of why
        raise Failure(f"{found}: sweep reads JSON Lines and CSV files, not Parquet (scan, replay and evaluate do)")
    options = dict(horizons=names, metric=args.metric, every=args.every, every_ts=args.every_ts,
                   bar=args.bar.width if args.bar else None, format=args.format, skip_bad=args.skip_bad,
                   notional=args.notional, cooldown=args.cooldown, baseline=args.baseline, seed=args.seed,
                   bootstrap=args.bootstrap, file_order=args.file_order, split=args.split, folds=args.folds,
                   blocks=args.blocks, top=args.top)
    show = err.is_terminal and not args.no_progress
    try:
        if args.dask is not None:
            if args.skip_bad:
                raise Failure("--skip-bad cannot be used with --dask")
            from ..distributed_sweep import sweep_on_dask
            from .scan import quiet_interruption

            try:
                with quiet_interruption():
                    result = sweep_on_dask(paths, grid, address=args.dask or None, **options)
            except KeyboardInterrupt:
                print("sweep --dask: interrupted", file=err.file)
                return 130
        else:
            from ..sweep import sweep

            with Interruption() as interruption, byte_progress(err, "sweep", show) as progress:
                task = progress.add_task("sweep", total=None)
                result = sweep(paths, grid, progress=lambda d, t: progress.update(task, completed=d, total=t or None),
                               stop=lambda: interruption.hit, **options)
            result.interrupted = result.interrupted or interruption.hit
    except GridError as exc:
        raise Failure(f"{args.grid}: {exc}") from None
    except BadLineError as exc:
        raise bad_line(exc.bad) from None
    except (OSError, ValueError, ImportError) as exc:
        raise Failure(str(exc)) from None

    stats = result.stats
    if stats["events"] == 0:
        if result.interrupted:
            print("interrupted", file=err.file)
            return 130
        raise Failure("no events read: nothing to sweep")
    if args.json:
        say(out, json.dumps(stats, separators=(",", ":")))
    else:
        print_sweep(stats, out)
    if result.interrupted:
        print(f"interrupted after {result.events} events, at {format_moment(result.clock)}: judged on what was read",
              file=err.file)
    report_skipped(result.bad, err)
    report_skipped_rows(result.skipped, err)
    # with no figure in sample there is nothing to choose by: candidate 0 would be written as if chosen
    chosen = stats["best"]["metric_in_sample"] is not None
    if args.best and chosen:
        write_output(args.best, (json.dumps(result.best_spec, indent=2) + "\n").encode(), err)
    if args.report:
        from ..sweep_report import write_sweep_html

        try:
            write_sweep_html(stats, result.grid, args.report, title=f"zolvar-radar sweep of {args.grid}")
        except OSError as exc:
            raise Failure(f"{args.report}: {exc.strerror or exc}") from None
        print(visible(f"wrote {args.report}"), file=err.file)
    if args.best and not chosen:
        raise Failure(f"--best {args.best}: not written: no candidate has a {stats['metric']} at "
                      f"{stats['horizon']} in sample to choose by")
    return 130 if result.interrupted else 0


def _sample() -> str:
    from .specs import SAMPLE

    return str(SAMPLE)


def _window(w: dict) -> str:
    a, b = w["judge_from"], w["judge_to"]
    return f"{format_ts(a) if a is not None else 'start'} to {format_ts(b) if b is not None else 'end'}"


def print_sweep(stats: dict, out: Console) -> None:
    metric = f"{stats['metric']} at {stats['horizon']}"
    say(out, f"{counted(stats['candidates'], 'candidate')} over {counted(stats['events'], 'event')}, "
             f"{counted(stats['checkpoints'], 'checkpoint')}; "
             f"ranked by {metric}")
    say(out, f"chosen on {_window(stats['in_sample'])} (timestamp {stats['in_sample']['judge_to']}), "
             f"judged on {_window(stats['out_of_sample'])}")
    rows = []
    for k, c in enumerate(stats["top"], 1):
        ins, oos = c.get("in_sample", {}), c.get("out_of_sample", {})
        params = ", ".join(f"{p}={json.dumps(v)}" for p, v in c["params"].items()) or "(the base)"
        rows.append([str(k), str(c["candidate"]), params,
                     f"{cell(c['metric_in_sample'], 3)} ({ins.get('resolved', 0)})",
                     f"{cell(c['metric_out_of_sample'], 3)} ({oos.get('resolved', 0)})",
                     cell(oos.get("p_value"), 4), cell(c["p_adjusted"], 4)])
    plain_table(["#", "candidate", "differs at", "in sample (n)", "out of sample (n)", "p", "p Holm"], rows, out,
                left=(0, 2))
    best = stats["best"]
    say(out, "")
    if best["metric_in_sample"] is None:
        say(out, f"best: none: no candidate has a {metric} in sample to choose by")
    else:
        say(out, f"best: candidate {best['candidate']}: {stats['metric']} {cell(best['metric_in_sample'], 3)} in sample, "
                 f"{cell(best['metric_out_of_sample'], 3)} out of sample, p adjusted for "
                 f"{counted(stats['candidates'], 'candidate')} {cell(best['p_adjusted'], 4)}")
    say(out, f"the best of {counted(stats['candidates'], 'no-skill candidate')}: "
             f"{cell(stats['expected_max_null'], 3)} in sample "
             f"(mean of {counted(stats['null_replications'], 'replication')})")
    say(out, f"probability of backtest overfitting: {cell(stats['pbo'], 2)} "
             f"({counted(stats['pbo_combinations'], 'combination')} of {stats['pbo_blocks']} blocks)")
    if "folds" in stats:
        say(out, "")
        rows = [[str(i + 1), _window(s["choose"]), _window(s["judge"]), str(s["chosen"]),
                 cell(s["metric_in_sample"], 3), cell(s["metric_out_of_sample"], 3)]
                for i, s in enumerate(stats["steps"])]
        plain_table(["step", "chosen on", "judged on", "candidate", "in sample", "out of sample"], rows, out,
                    left=(0, 1, 2))
