"""The public JSONTestSuite parsing files, as command texts and as specification texts.

As commands, y_ files must never meet a syntax error and n_ files always
must; i_ files may go either way. As a specification a well-formed file is
usually no RadarSpec and gets a conversion error ("parse: invalid type ..."),
which is allowed, and the streaming reader may meet such an error before the
syntax error of an n_ file: every n_ file must still be refused with a
"parse: " error. Nothing may crash or hang.
"""
import pathlib
import re

import pytest

from zolvar_radar import Radar

SUITE = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "JSONTestSuite" / "test_parsing"
FILES = sorted(SUITE.glob("*.json")) if SUITE.is_dir() else []

SYNTAX_MESSAGES = {
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
    "expected ident", "expected value", 'expected `"`', "invalid escape", "invalid number",
    "number out of range", "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string", "key must be a string",
    "lone leading surrogate in hex escape", "trailing comma", "trailing characters",
    "unexpected end of hex escape", "recursion limit exceeded",
}

# Where the suite and our reading rules part ways, the rules hold.
EXPECTED_REJECTIONS = {
    "i_number_huge_exp.json": "number out of range: doubles never become infinite",
    "i_number_neg_int_huge_exp.json": "number out of range",
    "i_number_pos_double_huge_exp.json": "number out of range",
    "i_number_real_neg_overflow.json": "number out of range",
    "i_number_real_pos_overflow.json": "number out of range",
    "i_structure_500_nested_arrays.json": "nesting is limited to 127 levels",
    "i_structure_UTF-8_BOM_empty_object.json": "a byte-order mark is not whitespace",
}
SURROGATE_CASES = re.compile(r"i_(string|object_key)_.*surrogate")

RADAR = None


def radar():
    global RADAR
    if RADAR is None:
        RADAR = Radar('{"signals":[{"kind":"funding_flip","params":[1]}]}')
    return RADAR


def syntax_error(message):
    message = message.removeprefix("parse: ")
    return re.sub(r" at line \d+ column \d+$", "", message) in SYNTAX_MESSAGES


def read_text(path):
    try:
        return path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not valid UTF-8: cannot be passed as a str")


@pytest.mark.skipif(not FILES, reason="JSONTestSuite files not present")
@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_suite_file(path):
    text = read_text(path)
    response = radar().command(text)
    command_syntax_error = response.startswith('{"error":"parse: ') and syntax_error(
        response[len('{"error":"') : -len('","ok":false}')].encode().decode("unicode_escape")
    )
    try:
        Radar(text)
        spec_error = ""
    except ValueError as e:
        spec_error = str(e)

    name = path.name
    if name.startswith("y_"):
        assert not response.startswith('{"error":"parse: '), response
        assert not syntax_error(spec_error), spec_error
    elif name.startswith("n_"):
        assert command_syntax_error and spec_error.startswith("parse: "), (response, spec_error)
    elif name in EXPECTED_REJECTIONS or SURROGATE_CASES.match(name):
        # lone and unpaired surrogate escapes cannot form text
        assert command_syntax_error, response
    else:
        assert not command_syntax_error, response
