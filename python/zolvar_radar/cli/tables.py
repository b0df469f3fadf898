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


def strongest(factors: dict[str, float], count: int = SHOWN_FACTORS) -> list[tuple[str, float]]:
    """The strongest non-zero factors, strongest first (label order breaks ties)."""
    pairs = [(label, value) for label, value in factors.items() if label != "severity" and value > 0]
    pairs.sort(key=lambda p: -p[1])
    return pairs[:count]


def severity_style(severity: float) -> str:
    return "bold red" if severity >= 0.5 else "yellow" if severity >= 0.35 else "default"


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


def report_bar(bar: BarOption | None, read: int | None, dropped: int, err: Console) -> None:
    """What a bar left out, on stderr: thinning is chosen, but never silent."""
    if bar is None:
        return
    of = f" of the {read:,} events read" if read is not None else " events"
    # plain text: a scan that draws nothing need not load rich for one line
    print(visible(f"--bar {bar}: {dropped:,}{of} left out: snapshots replaced by a later one of the same "
                  f"symbol and kind in their interval"), file=err.file)
