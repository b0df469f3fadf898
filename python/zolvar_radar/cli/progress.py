"""Progress bars on stderr, and nothing (not even rich) when none is drawn."""

from __future__ import annotations

TYPE_CHECKING = False

if TYPE_CHECKING:
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
