"""The specification a command reads, and its fields in either form."""

from __future__ import annotations

import json
from pathlib import Path

from .._display import visible
from .._zolvar_radar import Radar
from .console import Failure

DATA = Path(__file__).resolve().parent.parent / "data"
DEFAULT_SPEC = DATA / "default_spec.json"
SAMPLE = DATA / "sample.jsonl.gz"


def read_spec(path: Path | str) -> tuple[str, Radar]:
    """The specification text and a radar built from it."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise Failure(f"{path}: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        return text, Radar(text)
    except ValueError as exc:
        # the radar's own text, and for a file whose top level is not an object what
        # one looks like: "expected struct RadarSpec" alone does not say it
        shape = "" if text.lstrip().startswith("{") or not text.strip() else \
            ' (a specification is a JSON object: {"signals": [...], "threshold": ...})'
        raise Failure(f"{path}: {exc}{shape}") from None


def overridden(text: str, args) -> str:
    """The specification with --threshold and --limit, when given, in place of its own."""
    threshold, limit = getattr(args, "threshold", None), getattr(args, "limit", None)
    if threshold is None and limit is None:
        return text
    spec = json.loads(text)
    if isinstance(spec, dict):
        if threshold is not None:
            spec["threshold"] = threshold
        if limit is not None:
            spec["limit"] = limit
    else:  # [venues, symbols, signals, threshold, limit], the last two optional
        if len(spec) < 4:
            spec.append(0.0)
        if threshold is not None:
            spec[3] = threshold
        if limit is not None:
            spec[4:] = [limit]
    changed = json.dumps(spec, ensure_ascii=False)
    try:
        Radar(changed)
    except ValueError as exc:
        given = " ".join(f"--{name} {value}" for name, value in (("threshold", threshold), ("limit", limit))
                         if value is not None)
        raise Failure(f"{given}: {exc}") from None
    return changed


def warn_spec(text: str, where: str, strict: bool, err, args=None) -> None:
    """What check warns about, on stderr before any file is read: a typo like
    `treshold` is legal, and makes every symbol an alert. With strict, each is
    an error and the command stops (status 2). A warning about a value that
    --threshold or --limit gave names that option, not the file."""
    if text == DEFAULT_SPEC.read_text(encoding="utf-8"):
        return  # the bundled one is clean: a plain scan need not load the linter
    from ..lint import lint

    given = {name: f"--{name} {str(getattr(args, name)).removesuffix('.0')}" for name in ("threshold", "limit")
             if getattr(args, name, None) is not None}
    lines = []
    for warning in lint(text):
        at = given.get(warning.where, where)
        lines.append(f"{at}: {warning} (refused by --strict)" if strict else f"{at}: warning: {warning}")
    for line in lines[:-1] if strict else lines:
        print(visible(line), file=err.file)
    if strict and lines:
        raise Failure(lines[-1])


def answer_of(text: str) -> dict:
    """A radar answer, raising its error text when it is one."""
    answer = json.loads(text)
    if "error" in answer:
        raise Failure(answer["error"])
    return answer


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
