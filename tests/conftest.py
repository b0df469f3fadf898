import json

import pytest

SPEC = {
    "signals": [
        {"kind": "oi_delta", "params": [1, 0.1]},
        {"kind": "book_imbalance", "params": [0.5]},
    ],
    "threshold": 0.5,
}


@pytest.fixture
def spec_json():
    return json.dumps(SPEC)


@pytest.fixture
def radar(spec_json):
    from zolvar_radar import Radar

    return Radar(spec_json)
