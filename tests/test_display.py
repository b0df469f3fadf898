"""Text from the data reaches the terminal escaped, never as control sequences."""

import contextlib
import io
import json
import re

import pytest

from zolvar_radar import Radar, cli
from zolvar_radar._display import visible

PWNED = "\x1b]0;pwned\x07\x1b[31mRED"
# what a terminal must never receive from the data: C0 controls but tab and line feed, DEL, C1, bidi controls
RAW = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]")


@pytest.mark.parametrize("text, shown", [
    (PWNED, "\\x1b]0;pwned\\x07\\x1b[31mRED"),
    ("a\u202eb\u2066c\u2069", "a\\u202eb\\u2066c\\u2069"),
    ("\x00\x7f\x85\x9f", "\\x00\\x7f\\x85\\x9f"),
    ("line\nbreak\ttab\r", "line\\nbreak\\ttab\\r"),
    ("bad\udcffname", "bad\\udcffname"),  # an undecodable byte of a file name
    ("é-PERP 比特币 [bold]x[/] \\x1b", "é-PERP 比特币 [bold]x[/] \\x1b"),
    ("\u200f\u00a0", "\u200f\u00a0"),  # marks and spaces that do nothing to a terminal stay
])
def test_visible(text, shown):
    assert visible(text) == shown


def run(argv, force_terminal=False, monkeypatch=None):
    if force_terminal:
        monkeypatch.setenv("FORCE_COLOR", "1")
        monkeypatch.delenv("NO_COLOR", raising=False)
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(argv)
    return status, out.getvalue(), err.getvalue()


SPEC = {"signals": [{"kind": "book_imbalance", "params": [0.5]}], "threshold": 0.1}


def lines_for(symbol):
    return [json.dumps({"symbol": symbol, "event": {"kind": "orderbook", "ts": 1_715_731_200_000 + i,
                                                     "bid_volume": 30, "ask_volume": 10, "best_bid": 1,
                                                     "best_ask": 2}}) for i in range(3)]


@pytest.fixture
def files(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC))
    data = tmp_path / "events.jsonl"
    data.write_text("\n".join(lines_for(PWNED) + lines_for("B\u202eGSM")) + "\n")
    return spec, data


@pytest.mark.parametrize("command", [["scan"], ["replay", "--every", "2"]])
@pytest.mark.parametrize("terminal", [False, True])
def test_symbols_are_shown_escaped(files, command, terminal, monkeypatch):
    spec, data = files
    monkeypatch.setenv("COLUMNS", "200")  # room for the whole symbol in the table
    status, out, err = run([*command, "--spec", str(spec), str(data)], terminal, monkeypatch)
    assert status == 0, err
    # on a terminal rich adds its own styles and cursor moves; none of the data's sequences
    for raw in ("\x1b]", "\x07", "\x1b[31m", "\u202e"):
        assert raw not in out + err
    if not terminal:
        assert not RAW.search(out + err)
    shown = re.sub("\x1b\\[[0-9;]*m", "", out)  # rich's own styles apart
    assert "\\x1b]0;pwned\\x07\\x1b[31mRED" in shown
    assert "B\\u202eGSM" in shown


def test_json_output_stays_the_radars_text(files):
    spec, data = files
    status, out, _ = run(["scan", "--json", "--spec", str(spec), str(data)])
    assert status == 0
    events = {}
    for line in data.read_text().splitlines():
        value = json.loads(line)
        events.setdefault(value["symbol"], []).append(value["event"])
    expected = Radar(json.dumps(SPEC)).command(json.dumps({"cmd": "scan", "events": events}))
    assert out == expected + "\n"
    assert "\\u001b]0;pwned\\u0007" in out


@pytest.mark.parametrize("skip_bad", [[], ["--skip-bad"]])
def test_errors_quoting_the_input_and_file_names_are_escaped(tmp_path, skip_bad):
    data = tmp_path / "a\x1b[2Jb\u202e.jsonl"
    data.write_text(lines_for("A")[0] + "\n" + json.dumps({"symbol": "A", "event": {"kind": "\x1b[2J", "ts": 1}})
                    + "\n")
    status, out, err = run(["scan", *skip_bad, str(data)])
    assert status == (0 if skip_bad else 2)
    assert not RAW.search(out + err)
    assert "a\\x1b[2Jb\\u202e.jsonl:2: parse: unknown variant `\\x1b[2J`" in err


def test_a_missing_file_is_named_escaped(tmp_path):
    status, _, err = run(["scan", str(tmp_path / "gone\x1b]0;x\x07.jsonl")])
    assert status == 2
    assert not RAW.search(err) and "gone\\x1b]0;x\\x07.jsonl" in err
