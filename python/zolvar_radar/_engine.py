"""Loads `zolvar_radar._zolvar_engine`, which lives in the same shared
library as `_zolvar_radar` (one core, one Radar type) under a module name
of its own."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys

from . import _zolvar_radar

_NAME = "zolvar_radar._zolvar_engine"


def _load():
    module = sys.modules.get(_NAME)
    if module is not None:
        return module
    path = _zolvar_radar.__file__
    loader = importlib.machinery.ExtensionFileLoader(_NAME, path)
    spec = importlib.util.spec_from_file_location(_NAME, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules[_NAME] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules[_NAME]
        raise
    return module


engine = _load()

# A radar's specification and dataset as bytes, and a new radar from them.
def save_state(radar) -> bytes:
    """The radar's specification and dataset as bytes, which `load_state` makes a radar of again."""
    try:
        return engine.save_state(radar)
    except TypeError:
        if isinstance(getattr(radar, "radar", None), _zolvar_radar.Radar):
            raise TypeError("'radar' must be a Radar: a TypedRadar's is its .radar") from None
        raise


state_spec = engine.state_spec  # the specification a state holds, as JSON text (None for a partial one)
load_state = engine.load_state
