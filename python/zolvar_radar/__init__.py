"""Crypto-derivatives market data in, ranked alerts out, all through JSON commands."""

from ._zolvar_radar import Radar, __version__

__all__ = ["Radar", "__version__"]
