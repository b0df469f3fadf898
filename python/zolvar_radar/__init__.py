"""Crypto-derivatives market data in, ranked alerts out, all through JSON commands."""

from . import _engine
from ._zolvar_radar import Radar, __version__
from .typed import (
    Alert,
    Derivatives,
    Liquidation,
    Orderbook,
    RadarError,
    RadarSpec,
    ScanResult,
    Signal,
    TypedRadar,
)

load_state = _engine.engine.load_state
save_state = _engine.engine.save_state

__all__ = [
    "Alert",
    "Derivatives",
    "Liquidation",
    "Orderbook",
    "Radar",
    "RadarError",
    "RadarSpec",
    "ScanResult",
    "Signal",
    "TypedRadar",
    "__version__",
    "load_state",
    "save_state",
]
