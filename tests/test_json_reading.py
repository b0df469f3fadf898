"""Reader messages and positions, seen through command and constructor texts."""
import decimal
import math

import pytest
from hypothesis import given, settings, strategies as st

from zolvar_radar import Radar

SPEC = '{"signals":[{"kind":"funding_flip","params":[1]}]}'


def parse_error(text):
    return f'{{"error":"parse: {text}","ok":false}}'


@pytest.fixture(scope="module")
def radar():
    return Radar(SPEC)


@pytest.mark.parametrize(
    "text, message",
    [
        ("x", "expected value at line 1 column 1"),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("  \n\t ", "EOF while parsing a value at line 2 column 2"),
        ('{"cmd":"reset"} x', "trailing characters at line 1 column 17"),
        ('"a\nb"', "control character (\\\\u0000-\\\\u001F) found while parsing a string at line 2 column 0"),
        ("\ufeff{}", "expected value at line 1 column 1"),
        ("[1]\u00a0", "trailing characters at line 1 column 4"),
        ("[1]\f", "trailing characters at line 1 column 4"),
        # end of text inside a token
        ("-", "EOF while parsing a value at line 1 column 1"),
        ("1.", "EOF while parsing a value at line 1 column 2"),
        ("1e", "EOF while parsing a value at line 1 column 2"),
        ("nul", "EOF while parsing a value at line 1 column 3"),
        ("tru", "EOF while parsing a value at line 1 column 3"),
        ('"ab', "EOF while parsing a string at line 1 column 3"),
        ('"\\u12', "EOF while parsing a string at line 1 column 5"),
        ("[", "EOF while parsing a list at line 1 column 1"),
        ("[1", "EOF while parsing a list at line 1 column 2"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ('{"a"', "EOF while parsing an object at line 1 column 4"),
        ('{"a":', "EOF while parsing a value at line 1 column 5"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
        # bad starts and malformed numbers
        (".5", "expected value at line 1 column 1"),
        ("+1", "expected value at line 1 column 1"),
        ("NaN", "expected value at line 1 column 1"),
        ("NULL", "expected value at line 1 column 1"),
        ("nan", "expected ident at line 1 column 2"),
        ("trux", "expected ident at line 1 column 4"),
        ("-Infinity", "invalid number at line 1 column 2"),
        ("[1.]", "invalid number at line 1 column 4"),
        ("[1e]", "invalid number at line 1 column 4"),
        ("[1ee]", "invalid number at line 1 column 4"),
        ("01", "invalid number at line 1 column 2"),
        ("[0x1]", "expected `,` or `]` at line 1 column 3"),
        ("123abc", "trailing characters at line 1 column 4"),
        ("1e400", "number out of range at line 1 column 5"),
        ("-1e400", "number out of range at line 1 column 6"),
        ("[1" + "0" * 400 + "]", "number out of range at line 1 column 402"),
        ("1e99999999999", "number out of range at line 1 column 12"),
        # escapes and surrogates
        ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
        ('"\\ud800x"', "unexpected end of hex escape at line 1 column 8"),
        ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
        ('"\\ud800\\ud800"', "lone leading surrogate in hex escape at line 1 column 13"),
        ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
        ('"\\u12G4"', "invalid escape at line 1 column 6"),
        ('"\\x"', "invalid escape at line 1 column 3"),
        # structure
        ("[1,\n2,\n]", "trailing comma at line 3 column 1"),
        ('{"a":1,}', "trailing comma at line 1 column 8"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ('{"a":1,2}', "key must be a string at line 1 column 8"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ('{"a":1 "b"}', "expected `,` or `}` at line 1 column 8"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
        ("[" * 100_000, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_reader_errors(radar, text, message):
    assert radar.command(text) == parse_error(message)


@pytest.mark.parametrize(
    "text",
    [
        "[" * 127 + "]" * 127,
        '{"x":-0}',
        '{"x":1e-400}',
        '{"x":99999999999999999999}',
        '{"x":18446744073709551615,"y":-9223372036854775808}',
        '{"x":"\\ud83d\\ude00\\"\\\\\\/\\b\\f\\n\\r\\t"}',
        ' \t\r\n{"x":[]} \t\r\n',
    ],
)
def test_well_formed_texts_reach_the_envelope(radar, text):
    assert radar.command(text) == '{"error":"bad spec: missing \\"cmd\\"","ok":false}'


def test_last_duplicate_member_wins(radar):
    assert radar.command('{"cmd":"reset","cmd":"version"}') == '{"version":"0.1.3"}'


def test_positions_count_bytes_of_the_line(radar):
    # é is two bytes: the column counts bytes, not characters
    assert radar.command('\n\n"éé" x') == parse_error("trailing characters at line 3 column 8")
    with pytest.raises(ValueError, match='^parse: invalid type: string "éé", expected struct RadarSpec at line 3 column 6$'):
        Radar('\n\n"éé" x')


def test_huge_string_is_read(radar):
    big = "a" * 50_000_000
    assert radar.command('{"cmd":"version","pad":"' + big + '"}') == '{"version":"0.1.3"}'


def echoed_double(radar, literal):
    """The double the reader made of a literal, as the radar writes it back."""
    response = radar.command('{"cmd":"feed","symbol":"s","event":["derivatives",%s,1,1,1]}' % literal)
    prefix = '{"error":"parse: invalid type: floating point `'
    assert response.startswith(prefix), response
    return response[len(prefix) : response.index("`", len(prefix))]


@settings(max_examples=400, deadline=None)
@given(
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from(["{!r}", "{:.3e}", "{:.15g}", "{:.20f}", "{:.6f}", "{:.17E}"]),
)
def test_decimal_literals_read_as_the_nearest_double(radar, value, form):
    literal = form.format(value)
    if "e" not in literal.lower() and "." not in literal:
        literal += ".0"
    if float(literal) in (float("inf"), float("-inf")):  # rounding the text up can pass the largest double
        assert "number out of range" in radar.command('{"x":%s}' % literal)
        return
    written = echoed_double(radar, literal)
    assert float(written) == float(literal) and (written.startswith("-") == literal.startswith("-"))


def json_double(x):
    """The response form of a finite double, from Python's own shortest digits."""
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    t = decimal.Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, t.digits))
    exp = len(digits) - 1 + t.exponent
    digits = digits.rstrip("0")
    if -5 <= exp <= 15:
        if exp < 0:
            return sign + "0." + "0" * (-exp - 1) + digits
        if exp < len(digits) - 1:
            return sign + digits[: exp + 1] + "." + digits[exp + 1 :]
        return sign + digits + "0" * (exp - len(digits) + 1) + ".0"
    return sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "e" + ("-" if exp < 0 else "+") + str(abs(exp))


@settings(max_examples=500, deadline=None)
@given(st.one_of(st.floats(allow_nan=False, allow_infinity=False),
                 st.floats(-1e8, 1e8).map(lambda v: round(v / 1e-8) * 1e-8),
                 st.integers(0, 10**15).map(lambda k: k / 1e8)))
def test_doubles_are_written_in_their_shortest_form(radar, x):
    # values on the 1e-8 grid, as scores are, take a quicker route to their digits
    assert echoed_double(radar, repr(x) if "e" in repr(x) or "." in repr(x) else repr(x) + ".0") == json_double(x)


@pytest.mark.parametrize(
    "literal, written",
    [
        ("0.1", "0.1"), ("-0.0", "-0.0"), ("1e-8", "1e-8"), ("0.00001", "0.00001"), ("1e16", "1e+16"),
        ("123456789012345.0", "123456789012345.0"), ("9007199254740993.0", "9007199254740992.0"),
        ("2.2250738585072011e-308", "2.225073858507201e-308"), ("4.9e-324", "5e-324"), ("1e-400", "0.0"),
        ("-1e-400", "-0.0"), ("1.7976931348623157e308", "1.7976931348623157e+308"),
        ("0." + "0" * 30 + "1", "1e-31"), ("1" + "0" * 25 + ".5", "1e+25"), ("1e22", "1e+22"), ("1e23", "1e+23"),
        ("99999999999999999999", None), ("-9223372036854775809", "-9.223372036854776e+18"),
        # short literals with a fraction or exponent, at and past the limits of the quick reading
        ("2.5E+2", "250.0"), ("-7.25e-3", "-0.00725"), ("-0e-0", "-0.0"), ("9.901e-05", "0.00009901"),
        ("1234567.1234567", "1234567.1234567"), ("12345678.1234567", "12345678.1234567"), ("1e-22", "1e-22"),
        ("1e-23", "1e-23"), ("123456789012345e22", "1.23456789012345e+36"),
        ("123456789012345e23", "1.23456789012345e+37"),
    ],
)
def test_double_texts(radar, literal, written):
    if written is None:  # an integer beyond 64 bits is a double too
        assert echoed_double(radar, literal) == "1e+20"
    else:
        assert echoed_double(radar, literal) == written


@settings(max_examples=200, deadline=None)
@given(st.permutations(["kind", "ts", "ts", "bid_volume", "ask_volume", "best_bid", "best_ask", "ts", "x", "x"]),
       st.lists(st.integers(0, 10**6), min_size=10, max_size=10))
def test_objects_keep_the_last_of_repeated_keys_in_any_order(keys, numbers):
    values = {"kind": '"orderbook"', "x": "[]"}
    members = [f'"{k}":{values.get(k, n)}' for k, n in zip(keys, numbers)]
    last_ts = [n for k, n in zip(keys, numbers) if k == "ts"][-1]
    r = Radar('{"signals":[{"kind":"book_imbalance","params":[1]}],"threshold":0}')
    assert r.command('{"cmd":"feed","symbol":"s","event":{' + ",".join(members) + "}}") == '{"ok":true}'
    assert r.command('{"cmd":"alerts"}').endswith(f'"ts":{last_ts}}}],"scanned":1}}')


@pytest.mark.parametrize("k", [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47])
def test_string_stops_are_found_wherever_they_fall(radar, k):
    # strings are scanned in blocks of bytes: a stop must be seen at any offset in a block
    pad = '{"cmd":"version","pad":"' + "a" * k
    column = len(pad) + 1
    assert radar.command(pad + "\x01" + "b" * 20 + '"}') == parse_error(
        f"control character (\\\\u0000-\\\\u001F) found while parsing a string at line 1 column {column}")
    assert radar.command(pad + "\\q" + "b" * 20 + '"}') == parse_error(f"invalid escape at line 1 column {column + 1}")
    assert radar.command(pad + 'é\\n"}') == '{"version":"0.1.3"}'
    assert radar.command(pad + '"' + "b" * 20 + '"}') == parse_error(
        f"expected `,` or `}}` at line 1 column {column + 1}")
