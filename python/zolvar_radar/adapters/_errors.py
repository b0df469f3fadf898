from __future__ import annotations


class FormatError(ValueError):
    """A line of an input file that cannot become an event.

    ``str(error)`` is ``FILE:LINE: <reason>``, the form the command line prints.
    """

    def __init__(self, source: str, line: int, reason: str):
        super().__init__(f"{source}:{line}: {reason}")
        self.source = source
        self.line = line
        self.reason = reason

    def __reduce__(self):  # keep the three fields across pickling (worker processes)
        return (type(self), (self.source, self.line, self.reason))
