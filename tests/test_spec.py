"""Specification reading (text and value forms), validation and labels."""
import json

import pytest

from zolvar_radar import Radar

FF = '{"kind":"funding_flip","params":[0.5]}'
OK = '{"ok":true}'


def construct_error(text):
    with pytest.raises(ValueError) as info:
        Radar(text)
    return str(info.value)


def set_spec_response(spec_text):
    return Radar("{\"signals\":[" + FF + "]}").command('{"cmd":"set_spec","spec":' + spec_text + "}")


def error(message):
    return json.dumps({"error": message, "ok": False}, separators=(",", ":"))


SKIP = "not a value a command can carry"
# (spec text, constructor error, set_spec error); None = accepted
READING = [
    ("{\"signals\":[" + FF + "]}", None, None),
    ('[[],[],[["oi_delta",[1,2]]]]', None, None),
    ('{"signals":[["liq_cluster",[1,2],0]],"x":{"y":[1e400,"\\ud800"]}}', None, SKIP),
    ('{"signals":[{"kind":{"oi_delta":null},"params":[1,2],"extra":1}],"limit":null}', None, None),
    ('[[],[],[' + FF + '],0.5,3]', None, None),
    ("", "parse: EOF while parsing a value at line 1 column 0", SKIP),
    ("5", "parse: invalid type: integer `5`, expected struct RadarSpec at line 1 column 1",
     "parse: invalid type: integer `5`, expected struct RadarSpec"),
    ("null", "parse: invalid type: null, expected struct RadarSpec at line 1 column 4",
     "parse: invalid type: null, expected struct RadarSpec"),
    ('"{}"', 'parse: invalid type: string "{}", expected struct RadarSpec at line 1 column 4',
     'parse: invalid type: string "{}", expected struct RadarSpec'),
    ('{"venues":[]}', "parse: missing field `signals` at line 1 column 13", "parse: missing field `signals`"),
    ("[]", "parse: invalid length 2, expected struct RadarSpec with 5 elements at line 1 column 2",
     "parse: invalid length 2, expected struct RadarSpec with 5 elements"),
    ('[["a"],["b"]]', "parse: invalid length 2, expected struct RadarSpec with 5 elements at line 1 column 13",
     "parse: invalid length 2, expected struct RadarSpec with 5 elements"),
    ("[[],[],[" + FF + "],0,null,5]", "parse: trailing characters at line 1 column 56",
     "parse: invalid length 6, expected fewer elements in array"),
    ("[[],[],[" + FF + "],0,null,]", "parse: trailing comma at line 1 column 56", SKIP),
    ('{"venues":[],"venues":[]}', "parse: duplicate field `venues` at line 1 column 21", "parse: missing field `signals`"),
    ('{"venues":[],"venues" :[]}', "parse: duplicate field `venues` at line 1 column 22", "parse: missing field `signals`"),
    ('{"signals":[],"threshold":[1,,]}', "parse: invalid type: sequence, expected f64 at line 1 column 26", SKIP),
    ('{"signals":[],"threshold": [1]}', "parse: invalid type: sequence, expected f64 at line 1 column 27",
     "parse: invalid type: sequence, expected f64"),
    ('{"signals":[{"kind":5}]}', "parse: expected value at line 1 column 21",
     "parse: invalid type: integer `5`, expected string or map"),
    ('{"signals":[{"kind":{}}]}', "parse: expected value at line 1 column 22",
     "parse: invalid value: map, expected map with a single key"),
    ('{"signals":[{"kind":{"oi_delta":null,"x":null}}]}', "parse: expected value at line 1 column 36",
     "parse: invalid value: map, expected map with a single key"),
    ('{"signals":[{"kind":{"oi_delta":1}}]}', "parse: invalid type: integer `1`, expected unit at line 1 column 33",
     "parse: invalid type: integer `1`, expected unit"),
    ('{"signals":[{"kind":{"oi_delta":{}}}]}', "parse: invalid type: map, expected unit at line 1 column 32",
     "parse: invalid type: map, expected unit"),
    ('{"signals":[{"kind":"OI_DELTA"}]}',
     "parse: unknown variant `OI_DELTA`, expected one of `oi_delta`, `funding_flip`, `book_imbalance`, "
     "`liq_cluster`, `oi_price_divergence` at line 1 column 30",
     "parse: unknown variant `OI_DELTA`, expected one of `oi_delta`, `funding_flip`, `book_imbalance`, "
     "`liq_cluster`, `oi_price_divergence`"),
    ('{"signals":[{"params":[1]}]}', "parse: missing field `kind` at line 1 column 26", "parse: missing field `kind`"),
    ('{"signals":[[]]}', "parse: invalid length 0, expected struct Signal with 3 elements at line 1 column 14",
     "parse: invalid length 0, expected struct Signal with 3 elements"),
    ('{"signals":[["funding_flip",[1],1,2]]}', "parse: trailing characters at line 1 column 35",
     "parse: invalid length 4, expected fewer elements in array"),
    ('{"signals":{}}', "parse: invalid type: map, expected a sequence at line 1 column 11",
     "parse: invalid type: map, expected a sequence"),
    ('{"signals":[5]}', "parse: invalid type: integer `5`, expected struct Signal at line 1 column 13",
     "parse: invalid type: integer `5`, expected struct Signal"),
    ('{"venues":[1],"signals":[]}', "parse: invalid type: integer `1`, expected a string at line 1 column 12",
     "parse: invalid type: integer `1`, expected a string"),
    ('{"signals":[],"limit":5.0}', "parse: invalid type: floating point `5.0`, expected usize at line 1 column 25",
     "parse: invalid type: floating point `5.0`, expected usize"),
    ('{"signals":[],"limit":-1}', "parse: invalid value: integer `-1`, expected usize at line 1 column 24",
     "parse: invalid value: integer `-1`, expected usize"),
    ('{"signals":[],"limit":18446744073709551616}',
     "parse: invalid type: floating point `1.8446744073709552e+19`, expected usize at line 1 column 42",
     "parse: invalid type: floating point `1.8446744073709552e+19`, expected usize"),
    ('{"signals":[],"threshold":"1"}', 'parse: invalid type: string "1", expected f64 at line 1 column 29',
     'parse: invalid type: string "1", expected f64'),
    ('{"signals":[{"kind":"oi_delta","params":[1,null]}]}',
     "parse: invalid type: null, expected f64 at line 1 column 47", "parse: invalid type: null, expected f64"),
    ('{"signals":[],"threshold":true}', "parse: invalid type: boolean `true`, expected f64 at line 1 column 30",
     "parse: invalid type: boolean `true`, expected f64"),
    ('{"signals":[],"threshold":1e999}', "parse: number out of range at line 1 column 31", SKIP),
    ('{"signals":[{"kind":"oi_delta","params":[1,2]}]} x', "parse: trailing characters at line 1 column 50", SKIP),
    ('{"signals":[],"x":[1,]}', "parse: expected value at line 1 column 22", SKIP),
    ('{"signals":[],"x":{"a":1,}}', "parse: key must be a string at line 1 column 26", SKIP),
    ('{"signals":[],"x":' + "[" * 100_000 + "]" * 100_000 + "}", "bad spec: at least one signal is required",
     # skipped members of a text are not nested-limited; a command's are
     "parse: recursion limit exceeded at line 1 column 169"),
    ('{"signals":[{"kind":"funding_flip","params":[1],"weight":1,"weight":2}]}',
     "parse: duplicate field `weight` at line 1 column 67", SKIP),
]


@pytest.mark.parametrize("text, from_text, _", READING)
def test_reading_from_text(text, from_text, _):
    if from_text is None:
        assert Radar(text).version() == "0.1.3"
    else:
        assert construct_error(text) == from_text


@pytest.mark.parametrize("text, _, from_value", [r for r in READING if r[2] is not SKIP])
def test_reading_from_value(text, _, from_value):
    assert set_spec_response(text) == (OK if from_value is None else error(from_value))


def test_value_form_keeps_last_duplicate():
    assert set_spec_response('{"signals":[],"signals":[' + FF + "]}") == OK


VALIDATION = [
    ('{"signals":[],"threshold":1e308,"limit":0}', "at least one signal is required"),
    ('{"signals":[{"kind":"oi_delta","params":[1]}],"limit":0}', "limit must be greater than zero"),
    ('{"signals":[{"kind":"funding_flip","params":[0.2,0.4]}]}', "funding_flip takes 1 parameter(s), got 2"),
    ('{"signals":[{"kind":"funding_flip"}]}', "funding_flip takes 1 parameter(s), got 0"),
    ('{"signals":[{"kind":"oi_delta","params":[1]}]}', "oi_delta takes 2 parameter(s), got 1"),
    ('{"signals":[{"kind":"liq_cluster","params":[1,2],"weight":-1}]}', "liq_cluster' weight must be finite and non-negative"),
    ('{"signals":[{"kind":"liq_cluster","params":[1],"weight":-1}]}', "liq_cluster takes 2 parameter(s), got 1"),
    ('{"signals":[{"kind":"oi_delta","params":[1,2]},{"kind":"oi_delta","params":[1.000000001,2],"weight":3}]}',
     "duplicate signal: oi_delta(1,2)"),
    ('{"signals":[{"kind":"oi_delta","params":[1,2]},{"kind":"oi_delta","params":[1,2]},{"kind":"oi_delta"}]}',
     "duplicate signal: oi_delta(1,2)"),
    ('{"signals":[{"kind":"funding_flip","params":[1e301]},{"kind":"funding_flip","params":[2e301]}]}',
     "duplicate signal: funding_flip(inf)"),
]


@pytest.mark.parametrize("text, message", VALIDATION)
def test_validation_order_and_messages(text, message):
    assert construct_error(text) == "bad spec: " + message
    assert set_spec_response(text) == error("bad spec: " + message)


@pytest.mark.parametrize(
    "signals",
    [
        '[{"kind":"liq_cluster","params":[1,2],"weight":0}]',
        '[{"kind":"liq_cluster","params":[1,2],"weight":-0.0}]',
        '[{"kind":"oi_delta","params":[0,1]},{"kind":"oi_delta","params":[-0.0,1]}]',
        '[{"kind":"oi_delta","params":[1,2]},{"kind":"liq_cluster","params":[1,2]}]',
    ],
)
def test_valid_specs(signals):
    assert Radar('{"signals":' + signals + ',"threshold":-5}').version() == "0.1.3"


@pytest.mark.parametrize(
    "kind, params, label",
    [
        ("oi_delta", [0.05, 3], "oi_delta(0.05,3)"),
        ("funding_flip", [0.30000000000000004], "funding_flip(0.3)"),
        ("funding_flip", [3.14159265358979], "funding_flip(3.14159265)"),
        ("book_imbalance", [0.009], "book_imbalance(0.009000000000000001)"),
        ("liq_cluster", [0.000000004, 0.00000001], "liq_cluster(0,0.00000001)"),
        ("liq_cluster", [-0.000000004, 0.000123456789], "liq_cluster(-0,0.00012346000000000001)"),
        ("oi_price_divergence", [-0.0, 2.5], "oi_price_divergence(-0,2.5)"),
        ("oi_delta", [1e20, -7], "oi_delta(100000000000000000000,-7)"),
        ("oi_delta", [1e301, -1e301], "oi_delta(inf,-inf)"),
    ],
)
def test_labels_are_factor_keys(kind, params, label):
    spec = {"signals": [{"kind": kind, "params": params}], "threshold": 0}
    result = json.loads(Radar(json.dumps(spec)).command('{"cmd":"scan","events":{"s":[]}}'))
    assert list(result["alerts"][0]["factors"]) == [label, "severity"]


def test_duplicates_found_in_long_signal_lists():
    signals = [{"kind": "funding_flip", "params": [k / 10]} for k in range(1, 40)]
    signals.append({"kind": "funding_flip", "params": [0.30000000000000004]})
    signals.append({"kind": "oi_delta", "params": [1]})
    assert construct_error(json.dumps({"signals": signals})) == "bad spec: duplicate signal: funding_flip(0.3)"
