"""Scan texts of several megabytes: their "events" object is read from both
ends at once on two threads. Every answer must be the one a single reading
gives: the same alerts as feeding each list, the same first error."""
import json

import pytest

from zolvar_radar import Radar

SPEC = json.dumps({"signals": [{"kind": "book_imbalance", "params": [0.5]}, {"kind": "oi_delta", "params": [3, 0.01]},
                               {"kind": "liq_cluster", "params": [4, 10]}], "threshold": -1})
N_SYMBOLS = 150  # about 1.3 MB of text in all
SPLIT_FROM = 1 << 20


def events(i, extra=""):
    """One symbol's list as text: array-form events plus one object-form event."""
    rows = [f'["derivatives",{j},{100 + (i * j) % 23},0.0001,{50 + j % 7}]' for j in range(260)]
    rows.append('{"kind":"orderbook","ts":999,"bid_volume":%d,"ask_volume":3,"best_bid":1,"best_ask":2%s}' % (i % 9, extra))
    rows.append(f'["liquidation",1000,"sell",{i % 5},1.5]')
    return "[" + ",".join(rows) + "]"


def scan_text(members, sep=","):
    text = '{"cmd":"scan","events":{' + sep.join(f"{k}:{v}" for k, v in members) + "}}"
    assert len(members) < 10 or len(text) > SPLIT_FROM  # large enough to be read from both ends
    return text


def fed(members):
    """What a single reading must answer: each list fed on its own (the last of a repeated key wins)."""
    r = Radar(SPEC)
    for key, value in dict(members).items():
        assert r.command('{"cmd":"feed_batch","symbol":%s,"events":%s}' % (key, value)) == '{"ok":true}'
    return r.command('{"cmd":"alerts"}')


def plain(n=N_SYMBOLS):
    return [(f'"S{i:04}"', events(i)) for i in range(n)]


def middle_events_with(members, extra):
    """The lists around the middle of the text carry `extra` in one event."""
    n = len(members)
    return [(k, events(i, extra)) if n // 3 <= i <= 2 * n // 3 else (k, v) for i, (k, v) in enumerate(members)]


def far(members, key, value):
    """Replaces the member at three quarters of the text."""
    at = 3 * len(members) // 4
    return members[:at] + [(key, value)] + members[at + 1:]


CASES = {
    "plain": plain(),
    # the last of two equal keys wins, one near the start, one near the end
    "repeated key": [('"DUP"', events(1))] + plain() + [('"DUP"', events(2))],
    # a string ending in "]," looks like the end of a list: the far reading starts at a wrong place
    "bracket in a string": middle_events_with(plain(), ',"note":"],"'),
    # an array member inside an event: the far reading may take "yy" for a symbol and stop at the event's end
    "bracket in an event": middle_events_with(plain(), ',"zz":[1],"yy":[["orderbook",1,1,1,1,1]]'),
    # what the far reading leaves to the usual path: escaped keys, events read as trees
    "escaped key far": far(plain(), '"B\\u0054C"', events(7)),
    "tree event far": far(plain(), '"T"', events(8, ',"zz":[]')),
}


@pytest.mark.parametrize("case", list(CASES))
def test_large_scan_equals_feeding_each_list(case):
    members = CASES[case]
    text = scan_text(members)
    got = Radar(SPEC).command(text)
    assert got == fed(members)
    assert json.loads(got)["scanned"] == len(dict(members))


def test_the_far_reading_starts_in_the_cases_meant():
    # where the far reading starts: after the first "]," and key past the middle
    for case, marker in [("bracket in a string", '"note":"]'), ("bracket in an event", '"zz":[1]')]:
        text = scan_text(CASES[case])
        start = len('{"cmd":"scan","events":{')
        split = text.index('],"', start + (len(text) - start) // 2) + 1
        assert text[split - len(marker):split] == marker, case


def test_whitespace_between_members():
    members = plain()
    text = scan_text(members, sep=" ,\n\t")
    assert Radar(SPEC).command(text) == fed(members)


def trailing_comma_at(text, marker):
    """The error a trailing comma placed at `marker` gives; positions count bytes from 1."""
    column = text.index(marker) + len(marker)
    return '{"error":"parse: trailing comma at line 1 column %d","ok":false}' % column


def test_error_position_formula():
    text = scan_text([('"A"', "[1,]")])
    assert Radar(SPEC).command(text) == trailing_comma_at(text, "[1,]")


def test_syntax_error_in_the_far_half():
    text = scan_text(far(plain(), '"E"', "[1,]"))
    assert Radar(SPEC).command(text) == trailing_comma_at(text, "[1,]")


def test_first_syntax_error_wins():
    members = plain()
    members = far(members[:10] + [('"E1"', "[2,]")] + members[10:], '"E2"', "[1,]")
    text = scan_text(members)
    assert Radar(SPEC).command(text) == trailing_comma_at(text, "[2,]")


def test_syntax_error_far_wins_over_bad_event_near():
    members = plain()
    members = far(members[:10] + [('"BAD"', '[["orderbook",1.5]]')] + members[10:], '"E"', "[1,]")
    text = scan_text(members)
    assert Radar(SPEC).command(text) == trailing_comma_at(text, "[1,]")


@pytest.mark.parametrize("near_symbol, far_symbol, message", [
    # bad events on both sides: the first symbol in byte order is reported
    ('"Z"', '"A"', "invalid type: string \\\"x\\\", expected i64"),
    ('"A"', '"Z"', "invalid type: floating point `1.5`, expected i64"),
])
def test_bad_events_on_both_sides(near_symbol, far_symbol, message):
    members = plain()
    members = far(members[:10] + [(near_symbol, '[["orderbook",1.5]]')] + members[10:], far_symbol,
                  '[["orderbook","x"]]')
    got = Radar(SPEC).command(scan_text(members))
    assert got == '{"error":"parse: %s","ok":false}' % message


def test_member_that_is_not_a_list_far():
    # left by the far reading to the usual path, which names what it found
    got = Radar(SPEC).command(scan_text(far(plain(), '"X"', "5")))
    assert got == '{"error":"parse: invalid type: integer `5`, expected a sequence","ok":false}'


def test_repeated_events_member_last_wins():
    # both are read from both ends; the second reading must not disturb what the first left
    first, second = plain(), [(f'"T{i:04}"', events(i + 1)) for i in range(N_SYMBOLS)]
    text = scan_text(first)[:-1] + ',"events":{' + ",".join(f"{k}:{v}" for k, v in second) + "}}"
    assert Radar(SPEC).command(text) == fed(second)
