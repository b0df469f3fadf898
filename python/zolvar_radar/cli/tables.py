"""How alerts, times and what was left out are shown."""

from __future__ import annotations

TYPE_CHECKING = False

from .._display import visible

if TYPE_CHECKING:
    from collections import Counter
    from typing import Sequence

    from rich.console import Console

    from ..files import BadLine
    from .options import BarOption

NO_EVENT_TS = -(2**63)  # what the radar reports for a symbol that got no event
SHOWN_FACTORS = 3
SHOWN_SKIPS = 10


def format_ts(ts: int) -> str:
    """A UTC time when ts looks like epoch milliseconds (1973 to 5138), else the number."""
    if ts == NO_EVENT_TS:
        return "-"
    if 10**11 <= ts < 10**14:
        from datetime import datetime, timezone

        moment = datetime.fromtimestamp(ts / 1000, tz=timezone.utc)
        return moment.strftime("%Y-%m-%d %H:%M:%S")
    return str(ts)


def format_moment(ts: int | None) -> str:
    """format_ts with its zone said when it is a time; "-" for none."""
    if ts is None:
        return "-"
    at = format_ts(ts)
    return f"{at} UTC" if at not in ("-", str(ts)) else at


def strongest(factors: dict[str, float], count: int = SHOWN_FACTORS) -> list[tuple[str, float]]:
    """The strongest non-zero factors, strongest first (label order breaks ties)."""
    pairs = [(label, value) for label, value in factors.items() if label != "severity" and value > 0]
    pairs.sort(key=lambda p: -p[1])
    return pairs[:count]


def severity_style(severity: float) -> str:
    return "bold red" if severity >= 0.5 else "yellow" if severity >= 0.35 else "default"


# How a narrow terminal cuts a table: the factors, then the symbols, to these
# widths in turn; rank, severity and time are never cut.
CUTS = ((3, 24), (1, 14), (3, 8), (1, 8))


def print_table(result: dict, out: Console) -> None:
    from rich import box
    from rich.cells import cell_len
    from rich.table import Table
    from rich.text import Text

    alerts = result["alerts"]
    scanned = result["scanned"]
    if not alerts:
        out.print(f"No alerts: {scanned} symbol{'s' if scanned != 1 else ''} scanned.")
        return
    title = f"{len(alerts)} alert{'s' if len(alerts) != 1 else ''} from {scanned} symbol{'s' if scanned != 1 else ''}"
    times = [format_ts(alert["ts"]) for alert in alerts]
    dates = {t.split(" ")[0] for t in times if " " in t}
    if len(dates) == 1 and all(" " in t for t in times):
        # one day, said once in the title: keeps the table narrow
        title += f", last events on {dates.pop()} (UTC)"
        times = [t.split(" ")[1] for t in times]
    table = Table(title=title, title_justify="left", box=box.SIMPLE_HEAD, pad_edge=False)
    table.add_column("#", justify="right", no_wrap=True)
    table.add_column("symbol", no_wrap=True, overflow="ellipsis")
    table.add_column("severity", justify="right", no_wrap=True)
    table.add_column("strongest factors", no_wrap=True, overflow="ellipsis")
    table.add_column("last event", no_wrap=True)
    symbols, factor_lines = [], []
    for rank, (alert, when) in enumerate(zip(alerts, times), 1):
        severity = alert["severity"]
        factors = "\n".join(f"{value:.2f} {label}" for label, value in strongest(alert["factors"]))
        symbols.append(visible(alert["symbol"]))
        factor_lines += factors.split("\n")
        table.add_row(
            str(rank),
            Text(symbols[-1]),
            Text(f"{severity:.3f}", style=severity_style(severity)),
            Text(factors or "-"),
            when,
        )
    if not out.is_terminal:
        # a file or a pipe: the whole table, however wide, without trailing spaces
        write_plain(table, out)
        return
    # a narrow terminal cuts the factors, then the symbols, down to a few characters each
    excess = natural_width(table, out) - out.width
    cells = {1: symbols, 3: factor_lines}
    for index, narrowest in CUTS:
        column = table.columns[index]
        widest = column.max_width or max(cell_len(cell) for cell in [str(column.header), *cells[index]])
        if excess > 0 and widest > narrowest:
            cut = min(excess, widest - narrowest)
            column.max_width = widest - cut
            excess -= cut
    if excess > 0:
        # narrower still: lines the terminal wraps, rather than a severity cut short
        write_plain(table, out, keep_style=True)
        return
    out.print(table)


def natural_width(table, out: Console) -> int:
    from rich.measure import Measurement

    console = out.console if hasattr(out, "console") else out
    return Measurement.get(console, console.options.update_width(1 << 20), table).maximum


def write_plain(renderable, out: Console, keep_style: bool = False) -> None:
    """Rendered at its own width, whatever the console's, each line's trailing spaces dropped."""
    import io

    from rich.console import Console

    console = out.console if hasattr(out, "console") else out
    wide = Console(file=io.StringIO(), width=1 << 20, highlight=False, markup=False,
                   color_system=console.color_system if keep_style else None, force_terminal=keep_style,
                   legacy_windows=False)
    wide.print(renderable)
    text = wide.file.getvalue()
    out.file.write("".join(line.rstrip(" ") + "\n" for line in text.splitlines()))


def report_disorder(disorder, err: Console) -> None:
    """Once, on stderr: where a file read merged by time first went back by more than a checkpoint step."""
    if disorder is not None:
        name, line, before, ts = disorder
        table = name == "<table>" or name.lower().endswith((".parquet", ".pq"))
        how = "Parquet inputs are read in path order, not merged by time" if table else \
            "the file is merged in its own order"
        print(visible(f"warning: {name}:{line}: time goes back from {before} to {ts}; {how}"), file=err.file)


def report_skipped(skipped: Sequence[BadLine], err: Console) -> None:
    if not skipped:
        return
    from ..hints import hints

    shown = list(skipped[:SHOWN_SKIPS])
    for bad, hint in zip(shown, hints(shown)):
        err.print(visible(bad), soft_wrap=True)
        if hint:
            err.print(visible(f"  hint: {hint}"), soft_wrap=True)
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


def report_bar(bar: BarOption | None, read: int | None, dropped: int, err: Console) -> None:
    """What a bar left out, on stderr: thinning is chosen, but never silent."""
    if bar is None:
        return
    of = f" of the {read:,} events read" if read is not None else " events"
    # plain text: a scan that draws nothing need not load rich for one line
    print(visible(f"--bar {bar}: {dropped:,}{of} left out: snapshots replaced by a later one of the same "
                  f"symbol and kind in their interval"), file=err.file)
