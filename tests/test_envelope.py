"""The command envelope: dispatch, member getters and error responses."""
import json

import pytest

from zolvar_radar import Radar

SPEC = '{"signals":[{"kind":"funding_flip","params":[1]}]}'
MISSING_CMD = '{"error":"bad spec: missing \\"cmd\\"","ok":false}'


@pytest.fixture
def radar():
    return Radar(SPEC)


@pytest.mark.parametrize(
    "command, response",
    [
        ('[{"cmd":"reset"}]', MISSING_CMD),
        ('{"cmd":5}', MISSING_CMD),
        ('{"cmd":null}', MISSING_CMD),
        ("{}", MISSING_CMD),
        ('"reset"', MISSING_CMD),
        ('{"cmd":"Scan"}', '{"error":"bad spec: unknown cmd: Scan","ok":false}'),
        ('{"cmd":" reset"}', '{"error":"bad spec: unknown cmd:  reset","ok":false}'),
        ('{"cmd":"RESET"}', '{"error":"bad spec: unknown cmd: RESET","ok":false}'),
        ('{"cmd":"feedbatch"}', '{"error":"bad spec: unknown cmd: feedbatch","ok":false}'),
        ('{"cmd":""}', '{"error":"bad spec: unknown cmd: ","ok":false}'),
        ('{"cmd":"a\\"b\\\\c\\u0001\\n"}', '{"error":"bad spec: unknown cmd: a\\"b\\\\c\\u0001\\n","ok":false}'),
        ('{"cmd":"versión"}', '{"error":"bad spec: unknown cmd: versión","ok":false}'),
        ('{"cmd":"version","extra":[1,2]}', '{"version":"0.1.3"}'),
        ('{"cmd":"feed"}', '{"error":"bad spec: missing string \\"symbol\\"","ok":false}'),
        ('{"cmd":"feed","symbol":5}', '{"error":"bad spec: missing string \\"symbol\\"","ok":false}'),
        ('{"cmd":"feed","symbol":""}', '{"error":"bad spec: missing \\"event\\"","ok":false}'),
        ('{"cmd":"feed_batch","symbol":"x"}', '{"error":"bad spec: missing \\"events\\"","ok":false}'),
        ('{"cmd":"scan"}', '{"error":"bad spec: missing \\"events\\"","ok":false}'),
        ('{"cmd":"set_spec"}', '{"error":"bad spec: missing \\"spec\\"","ok":false}'),
    ],
)
def test_envelope_responses(radar, command, response):
    assert radar.command(command) == response


@pytest.mark.parametrize("name", ["feed", "feed_batch", "scan", "alerts", "reset", "set_spec", "version"])
def test_every_name_dispatches(radar, name):
    assert "unknown cmd" not in radar.command(json.dumps({"cmd": name}))


@pytest.mark.parametrize("length", range(0, 12))
def test_names_of_other_lengths_are_unknown(radar, length):
    name = "x" * length
    assert radar.command(json.dumps({"cmd": name})) == json.dumps(
        {"error": f"bad spec: unknown cmd: {name}", "ok": False}, separators=(",", ":")
    )


def test_error_response_is_valid_json_for_any_message(radar):
    nasty = '"\\\u0000\u001f\u007f\u2028/é😀'
    response = radar.command(json.dumps({"cmd": nasty}))
    assert json.loads(response) == {"error": "bad spec: unknown cmd: " + nasty, "ok": False}
