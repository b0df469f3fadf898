"""version, reset and set_spec: what each keeps and what each drops."""
import pytest

from zolvar_radar import Radar

SPEC = '{"signals":[{"kind":"oi_delta","params":[1,0.1]},{"kind":"book_imbalance","params":[0.5]}],"threshold":0.5}'
BOOK = '{"cmd":"feed","symbol":"%s","event":{"kind":"orderbook","ts":%d,"bid_volume":30,"ask_volume":10,"best_bid":1,"best_ask":2}}'
EMPTY = '{"alerts":[],"scanned":0}'


@pytest.fixture
def fed():
    r = Radar(SPEC)
    assert r.command(BOOK % ("BTC", 7)) == '{"ok":true}'
    assert r.command(BOOK % ("ETH", 9)) == '{"ok":true}'
    return r


def test_version_everywhere(fed):
    for cmd in ['{"cmd":"version"}', '{"cmd":"version","spec":null}']:
        assert fed.command(cmd) == '{"version":"0.1.3"}'
    fed.command('{"cmd":"reset"}')
    assert fed.command('{"cmd":"version"}') == '{"version":"0.1.3"}'


def test_reset_forgets_data_keeps_spec(fed):
    before = fed.command('{"cmd":"alerts"}')
    assert '"scanned":2' in before
    assert fed.command('{"cmd":"reset"}') == '{"ok":true}'
    assert fed.command('{"cmd":"alerts"}') == EMPTY
    fed.command(BOOK % ("BTC", 7))
    fed.command(BOOK % ("ETH", 9))
    assert fed.command('{"cmd":"alerts"}') == before


def test_reset_on_fresh_handle():
    r = Radar(SPEC)
    assert r.command('{"cmd":"reset"}') == '{"ok":true}'
    assert r.command('{"cmd":"alerts"}') == EMPTY


def test_set_spec_replaces_and_empties(fed):
    assert fed.command('{"cmd":"set_spec","spec":' + SPEC + "}") == '{"ok":true}'
    assert fed.command('{"cmd":"alerts"}') == EMPTY


def test_set_spec_uses_new_signals_at_once(fed):
    new = '{"signals":[{"kind":"book_imbalance","params":[0.25]}],"threshold":0,"limit":1}'
    assert fed.command('{"cmd":"set_spec","spec":' + new + "}") == '{"ok":true}'
    scan = fed.command(
        '{"cmd":"scan","events":{"Z":[["orderbook",1,1,3,0,0]],"A":[["orderbook",2,3,1,0,0]]}}'
    )
    assert scan == (
        '{"alerts":[{"symbol":"A","severity":1.0,"factors":{"book_imbalance(0.25)":1.0,"severity":1.0},"ts":2}],'
        '"scanned":2}'
    )


@pytest.mark.parametrize(
    "spec, response",
    [
        ("null", '{"error":"parse: invalid type: null, expected struct RadarSpec","ok":false}'),
        ('"' + SPEC.replace('"', '\\"') + '"', None),
        ('{"signals":[]}', '{"error":"bad spec: at least one signal is required","ok":false}'),
        ('{"signals":[{"kind":"oi_delta"}]}', '{"error":"bad spec: oi_delta takes 2 parameter(s), got 0","ok":false}'),
    ],
)
def test_failed_set_spec_changes_nothing(fed, spec, response):
    before = fed.command('{"cmd":"alerts"}')
    got = fed.command('{"cmd":"set_spec","spec":' + spec + "}")
    assert got.startswith('{"error":"parse: invalid type: string') if response is None else got == response
    assert fed.command('{"cmd":"alerts"}') == before


def test_handles_are_independent():
    a, b = Radar(SPEC), Radar(SPEC)
    a.command(BOOK % ("BTC", 1))
    assert b.command('{"cmd":"alerts"}') == EMPTY
    assert '"scanned":1' in a.command('{"cmd":"alerts"}')
