"""Hints under refused lines, on the errors the radar really gives for them."""

import gzip

import pytest
from zolvar_radar import cli
from zolvar_radar.files import scan_files
from zolvar_radar.hints import hint, hints, read_line, read_lines

BOOK = '"ts":1,"bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":2'

REFUSED = [  # a refused line, and the hint under its error
    ('{"symbol":"A","kind":"liquidation","ts":2,"side":"sell","qty":"abc","price":1}', 'at "qty": "abc"'),
    ('{"symbol":"A","kind":"orderbok",' + BOOK + '}', '"kind": "orderbok": did you mean "orderbook"?'),
    ('{"symbol":"A","event":{"kind":"liquidation","ts":4,"side":"SELL","qty":1,"price":1}}',
     '"side": "SELL": did you mean "sell"?'),
    ('{"symbol":"A","event":["liquidation",4,"bu",1,1]}', 'side (in the array): "bu": did you mean "buy"?'),
    ('{"symbol":"A","event":["orderbook",4,1,"x",1,2]}', 'at ask_volume (in the array): "x"'),
    ('{"symbol":"A","kind":"orderbook","ts":1,"bid_volume":"x","ask_volume":"x","best_bid":1,"best_ask":2}',
     'at "bid_volume": "x"'),  # the first the radar meets
    ('{"symbol":"1","kind":"orderbook","ts":"1","bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":2}',
     'at "ts": "1"'),  # not the symbol, which is also "1"
    ('{"symbol":"A","kind":"orderbook","ts":99999999999999999999,"bid_volume":1,"ask_volume":1,"best_bid":1,'
     '"best_ask":2}', 'at "ts": 99999999999999999999'),
    ('{"symbol":"A","kind":"liquidation","ts":1,"side":"sell","qty":null,"price":1}', 'at "qty": null'),
    ('{"symbol":"A","event":"orderbook"}', 'at "event": "orderbook"'),
    ('{"symbol":"A","kind":"orderbook","ts":1,"bidVolume":1,"ask_volume":1,"best_bid":1,"best_ask":2}',
     '"bidVolume" is not read: did you mean "bid_volume"?'),
    ('{"symbol":"A","type":"orderbook",' + BOOK + '}', '"type": "orderbook" is not read: the kind goes in "kind"'),
    ('{"symbol":"A","kind":"orderbook","ts":1}', "an orderbook event needs ts, bid_volume, ask_volume, best_bid, "
                                                 "best_ask"),
    ('{"Symbol":"A","kind":"orderbook",' + BOOK + '}', '"Symbol" is not read: did you mean "symbol"?'),
    ('{"symbol":5,"kind":"orderbook",' + BOOK + '}', 'at "symbol": 5 (a string is needed)'),
    ('{"symbol":"A","event":["orderbook",1,1,1,1]}',
     'an orderbook array is ["orderbook", ts, bid_volume, ask_volume, best_bid, best_ask]'),
    ('{"symbol":"A","kind":"orderbook","ts":1,"bid_volume":1e999,"ask_volume":1,"best_bid":1,"best_ask":2}',
     'at column 58: {"symbol":"A","kind":"orderbook","ts":1,"bid_volume":1e999 <- here'),
    ('{"symbol":"A","kind":"orderbook",' + BOOK, 'the line ends before its JSON does: ...'
                                                 's":1,"bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":2'),
    ('{"symbol":"A","kind":"liquidation","ts":1,"side":"long","qty":1,"price":1}', '"side": "long"'),  # nothing near
]


def test_hints_name_the_member_or_the_word_meant(tmp_path):
    path = tmp_path / "bad.jsonl.gz"
    with gzip.open(path, "wt") as out:
        out.write("".join(line + "\n" for line, _ in REFUSED))
    bad = scan_files(str(path), cli.DEFAULT_SPEC.read_text(), skip_bad=True).bad
    assert [b.number for b in bad] == list(range(1, len(REFUSED) + 1))
    assert list(zip([line for line, _ in REFUSED], hints(bad))) == REFUSED


def test_csv_cells_and_lines_that_cannot_be_read(tmp_path):
    path = tmp_path / "bybit_liquidations_2024-05-14.csv"
    path.write_text("exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n"
                    "bybit,BTCUSDT,1715644860001000,1715644860003000,,sel,61210.5,0.75\n"
                    "bybit,BTCUSDT,1715644860001000,1715644860003000,,sell,61210.5,x\n")
    bad = scan_files(str(path), cli.DEFAULT_SPEC.read_text(), skip_bad=True).bad
    assert hints(bad) == ['did you mean "sell"?', None]  # the second error names its column already
    # without the line (stdin), only what the error says; nothing known, no hint
    assert hint(None, "parse: unknown variant `derivative`, expected one of `derivatives`, `orderbook`, "
                      "`liquidation`") == 'did you mean "derivatives"?'
    assert [hint(line, error) for line, error in [
        (None, 'parse: invalid type: string "abc", expected f64'),
        ("[" * 100_000, "parse: recursion limit exceeded at line 1 column 129"),
        ('{"a":1}', "something new"),
    ]] == [None, "at column 129: ..." + "[" * 60 + " <- here", None]


def test_a_file_compressed_twice_is_named_as_such(tmp_path):
    path = tmp_path / "day.jsonl.gz"
    path.write_bytes(gzip.compress(gzip.compress(b'{"symbol":"A"}\n' * 50)))
    bad = scan_files(str(path), cli.DEFAULT_SPEC.read_text(), skip_bad=True).bad
    assert "not valid UTF-8" in bad[0].error
    assert hints(bad[:1]) == ["the line begins as gzip data does: a file compressed twice?"]


def test_read_line_plain_and_gzip(tmp_path):
    long = "x" * 200_000  # across read chunks
    lines = ["\ufefffirst", "second\r", "", long, "last without end"]
    data = "\n".join(lines).encode()
    plain, zipped = tmp_path / "a.jsonl", tmp_path / "a.jsonl.anything"
    plain.write_bytes(data)
    zipped.write_bytes(gzip.compress(data[:10]) + gzip.compress(data[10:]))  # two gzip members
    for path in (plain, zipped):
        assert read_lines(str(path), [5, 1, 2, 3, 4, 9]) == \
            {1: "first", 2: "second", 3: "", 4: long, 5: "last without end"}
        assert read_line(str(path), 4, limit=10) == "x" * 10
    assert read_line("-", 1) is None
    assert read_line(str(tmp_path / "missing"), 1) is None
    (tmp_path / "broken.gz").write_bytes(gzip.compress(data)[:40])
    assert read_line(str(tmp_path / "broken.gz"), 4) is None


@pytest.mark.parametrize("line", ["", "null", "[]", "{}", '{"event":5}', '["orderbook"]', "\x00" * 3])
def test_odd_lines_never_raise(line):
    for error in ("parse: invalid type: integer `5`, expected f64", "parse: missing field `kind`",
                  "parse: invalid length 1, expected 5 elements in sequence",
                  'bad spec: missing string "symbol"', "parse: expected value at line 1 column 1"):
        result = hint(line, error)
        assert result is None or "\n" not in result
