"""Progress bars on stderr, and nothing (not even rich) when none is drawn."""

from __future__ import annotations

import contextlib

TYPE_CHECKING = False

if TYPE_CHECKING:
    from typing import Iterator

    from rich.console import Console
    from rich.progress import Progress

# Below this a scan is over before a bar would be worth drawing.
PROGRESS_FROM_BYTES = 64 << 20


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


def byte_progress(err: Console, label: str, show: bool) -> Progress | NoProgress:
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
        # rich's consoles write to the real stdout past any redirection: lines
        # for the terminal the bar is on are written with it paused instead
        redirect_stdout=False,
        redirect_stderr=False,
    )


@contextlib.contextmanager
def bar_paused(progress: Progress) -> Iterator[None]:
    """The bar taken off the terminal while lines are written there, then drawn again below them."""
    live = progress.live
    live.stop()
    try:
        yield
    finally:
        live.start(refresh=True)
