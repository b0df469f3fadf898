"""Long signal lists report the first fault in signal order, as the short ones do.

Duplicates among many signals are found by sorting the labels, so the order
in which they are found is no longer the signal order: these cases pin the
reported error to what checking the signals one after another reports.
"""

import json

import pytest

from zolvar_radar import Radar

N = 5_000


def signal(i, kind="oi_delta"):
    return {"kind": kind, "params": [i, 2]}


def label(s):
    return f"{s['kind']}({','.join(str(p) for p in s['params'])})"


def sequential_error(signals):
    """The first fault, checking each signal's parameter count, weight, then label, in order."""
    seen = set()
    for s in signals:
        if len(s["params"]) != 2:
            return f"bad spec: {s['kind']} takes 2 parameter(s), got {len(s['params'])}"
        if s.get("weight", 1) < 0:
            return f"bad spec: {s['kind']}' weight must be finite and non-negative"
        if label(s) in seen:
            return f"bad spec: duplicate signal: {label(s)}"
        seen.add(label(s))
    return None


def distinct():
    # descending: every label lands before the earlier ones in byte order
    return [signal(N - i) for i in range(N)]


def with_changes(**at):
    signals = distinct()
    for where, s in at.items():
        signals[int(where[1:])] = s
    return signals


CASES = {
    "duplicate at the end": with_changes(p4999=signal(N - 10)),
    "duplicate of the last at the end": with_changes(p4999=signal(N - 4998)),
    "duplicate before a wrong count": with_changes(p4000=signal(N - 1), p4500={"kind": "oi_delta", "params": [1]}),
    "wrong count before a duplicate": with_changes(p3000={"kind": "oi_delta", "params": []}, p4000=signal(N - 1)),
    "negative weight before a duplicate": with_changes(p3000={**signal(-1), "weight": -1}, p4000=signal(N - 1)),
    "duplicate before a negative weight": with_changes(p2000=signal(N - 3), p2001={**signal(-1), "weight": -1}),
    "the earlier repeat wins, not the smaller label": with_changes(p4900=signal(N - 100), p4800=signal(N - 50),
                                                                  p4700=signal(N - 7)),
    "three of one label": with_changes(p1000=signal(N - 5), p4999=signal(N - 5)),
    "a wrong count first": with_changes(p0={"kind": "oi_delta", "params": [1, 2, 3]}, p4999=signal(N - 1)),
    "same parameters, another kind": with_changes(p4999=signal(N - 1, "liq_cluster")),
    "no fault": distinct(),
}


@pytest.mark.parametrize("signals", CASES.values(), ids=CASES.keys())
def test_the_first_fault_in_signal_order(signals):
    text = json.dumps({"signals": signals})
    expected = sequential_error(signals)
    answer = json.loads(Radar('{"signals":[{"kind":"book_imbalance","params":[1]}]}').command(
        f'{{"cmd":"set_spec","spec":{text}}}'))
    if expected is None:
        assert answer == {"ok": True}
        assert '"scanned":0' in Radar(text).command('{"cmd":"alerts"}')
        return
    with pytest.raises(ValueError) as refused:
        Radar(text)
    assert str(refused.value) == expected
    assert answer["error"] == expected


def test_grid_equal_parameters_are_duplicates_among_many():
    signals = distinct() + [{"kind": "oi_delta", "params": [N - 17 + 1e-9, 2], "weight": 3}]
    with pytest.raises(ValueError, match=rf"^bad spec: duplicate signal: oi_delta\({N - 17},2\)$"):
        Radar(json.dumps({"signals": signals}))
