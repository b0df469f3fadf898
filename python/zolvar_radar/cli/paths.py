"""Refusing, before anything runs, an output file that is also an input or
another output: writing it would destroy data the user still has nowhere else."""

from __future__ import annotations

import argparse
import os

from .console import Failure

# (attribute, option) of the files the commands write
OUTPUTS = (("output", "--output"), ("save_state", "--save-state"), ("onsets", "--onsets"),
           ("report", "--report"), ("png", "--png"), ("best", "--best"))


def _local(path: object) -> bool:
    return isinstance(path, str) and path not in ("", "-") and "://" not in path


def _identity(path: str) -> object:
    """The same for two names of one file: its device and inode when it exists
    (links included), else where its name leads."""
    try:
        st = os.stat(path)
        return (st.st_dev, st.st_ino)
    except OSError:
        return os.path.realpath(path)


def _inputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    found = [(path, "an input file") for path in getattr(args, "files", None) or []]
    for attr, what in (("spec", "the --spec file"), ("grid", "the grid file")):
        if isinstance(getattr(args, attr, None), str):
            found.append((getattr(args, attr), what))
    if getattr(args, "command", None) == "watch":
        source = getattr(args, "source", "") or ""
        if source.startswith("file:"):
            found += [(path, "a --source file") for path in source[len("file:"):].split(",") if path]
    return found


def _outputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    found = [(getattr(args, attr), f"{option} {getattr(args, attr)}") for attr, option in OUTPUTS
             if isinstance(getattr(args, attr, None), str)]
    if getattr(args, "command", None) == "watch":
        # the watch's state is read and written by design: an output only against the data
        if isinstance(getattr(args, "state", None), str):
            found.append((args.state, f"--state {args.state}"))
        found += [(sink[len("jsonl:"):], f"--sink {sink}") for sink in getattr(args, "sink", None) or []
                  if sink.startswith("jsonl:")]
    return found


def refuse_clobbering(args: argparse.Namespace) -> None:
    """A Failure naming the first output that would overwrite an input or another output."""
    outputs = [(path, label, _identity(path)) for path, label in _outputs(args) if _local(path)]
    if not outputs:
        return
    inputs = [(path, what, _identity(path)) for path, what in _inputs(args) if _local(path)]
    # a directory read whole (Parquet, kept as a directory): its files are inputs too
    folders = [os.path.realpath(path) + os.sep for path, _ in _inputs(args) if _local(path) and os.path.isdir(path)]
    for i, (path, label, key) in enumerate(outputs):
        for _, what, other in inputs:
            if key == other:
                raise Failure(f"{label}: the same file as {what}; writing there would overwrite it")
        if os.path.isfile(path):
            inside = next((f for f in folders if os.path.realpath(path).startswith(f)), None)
            if inside is not None:
                raise Failure(f"{label}: a file inside the input directory {inside.rstrip(os.sep)}; "
                              "writing there would overwrite it")
        for _, label2, other in outputs[:i]:
            if key == other:
                raise Failure(f"{label2} and {label} name the same file; one would overwrite the other")


# What a directory of JSON Lines or tardis CSV files is taken to hold, gzipped or not.
DATA_SUFFIXES = tuple(s + gz for s in (".jsonl", ".ndjson", ".csv") for gz in ("", ".gz"))


def expand_directories(files: list[str]) -> list[str]:
    """Each local directory given as an input, as its data files in the order of
    their paths (hidden and underscore names left out, as writers mark their own);
    a directory of Parquet stays whole, for its partitions. Other paths as given."""
    if not any(os.path.isdir(path) for path in files if _local(path)):
        return files
    from ..parquet_input import is_parquet

    expanded = []
    for path in files:
        if not (_local(path) and os.path.isdir(path)):
            expanded.append(path)
            continue
        inside = []
        for root, dirs, names in os.walk(path):
            dirs[:] = [d for d in dirs if not d.startswith((".", "_"))]
            inside += [os.path.join(root, n) for n in names
                       if n.lower().endswith(DATA_SUFFIXES) and not n.startswith((".", "_"))]
        if is_parquet(path):
            if inside:  # read as Parquet, it would leave these out without a word
                raise Failure(f"{path}: holds both Parquet files and JSON Lines or CSV files (such as "
                              f"{os.path.relpath(inside[0], path)}), which are not read together")
            expanded.append(path)
            continue
        if not inside:
            raise Failure(f"{path}: a directory without data files (.jsonl, .ndjson, .csv, each gzipped or not, "
                          "or .parquet)")
        expanded += sorted(inside)
    return expanded
