"""Crypto-derivatives market data in, ranked alerts out, all through JSON commands."""

from ._zolvar_radar import Radar, __version__

# The rest loads on first use, so a command line that only reads files
# doesn't pay for the typed layer.
_LAZY = {
    "Alert": "typed",
    "Derivatives": "typed",
    "Liquidation": "typed",
    "Orderbook": "typed",
    "RadarError": "typed",
    "RadarSpec": "typed",
    "ScanResult": "typed",
    "Signal": "typed",
    "TypedRadar": "typed",
    "scan_files": "files",
    "Replay": "files",
    "BadLineError": "files",
    "scan_table": "table_input",
    "TableReplay": "table_input",
    "evaluate_table": "table_input",
    "scan_parquet": "parquet_input",
    "Bars": "bars",
    "evaluate": "evaluate",
    "sweep": "sweep",
    "save_state": "_engine",
    "load_state": "_engine",
    "watch": "watch",
}

__all__ = sorted([*_LAZY, "Radar", "__version__"])


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
