"""Crypto-derivatives market data in, ranked alerts out, all through JSON commands."""

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
]
