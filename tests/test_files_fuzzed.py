"""Lines of event files found by fuzzing the native reader. Each stands first
in its file, so the reader's buffers are fresh and a read past a value's own
storage shows under the sanitizers."""

import json

import pytest
from zolvar_radar._engine import engine

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [3, 0.05]}], "threshold": 0})
GOOD = '{"symbol":"B","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'


@pytest.mark.parametrize("line, error", [
    # Not objects: no member is looked up in them, there being none.
    ("[1]", 'bad spec: missing string "symbol"'),
    ('[{"symbol":"A","event":{}}]', 'bad spec: missing string "symbol"'),
    ('"event"', 'bad spec: missing string "symbol"'),
    ("[" * 126 + "]" * 126, 'bad spec: missing string "symbol"'),
    # Too deep once inside its "feed" command, but readable alone.
    ("[" * 127 + "]" * 127, "parse: recursion limit exceeded at line 1 column 127"),
])
@pytest.mark.parametrize("threads, range_bytes", [(1, 0), (2, 16)])
def test_a_line_that_is_no_object_is_a_bad_line(tmp_path, line, error, threads, range_bytes):
    path = tmp_path / "events.jsonl"
    path.write_text(line + "\n" + GOOD + "\n")
    _, bad, _, events, *_ = engine.FileScan([str(path)], SPEC, None, True, False, threads, range_bytes).run()
    assert [(b[1], b[2]) for b in bad] == [(1, error)]
    assert events == 1


TICKER = (b"exchange,symbol,timestamp,local_timestamp,funding_rate,open_interest,mark_price\n"
          + b"x,BTCUSDT,1715644800123456,1715644800125001,0.0001,71234.5,61528.3\n" * 3)


@pytest.mark.parametrize("data, bad_lines, events", [
    # A first line refused for its bytes tells nothing: the next one tells
    # the format (would-be headers, then JSON Lines).
    (b"exchange,symbol,timestamp,local_timestamp,id,side,price,amount,\xff\n" + (GOOD.encode() + b"\n") * 6, [1], 6),
    (b"symbol,timestamp,\xc3\n" + (GOOD.encode() + b"\n") * 6, [1], 6),
    # The header comes late, in a later range than the file's start.
    (b"\n" * 100 + b"symbol,timestamp,what\n" + (GOOD.encode() + b"\n") * 2, [101], 0),
    (b" \r\n" * 50 + TICKER, [], 3),
    (b"\xff\n" * 40 + TICKER, list(range(1, 41)), 3),
])
@pytest.mark.parametrize("threads, range_bytes", [(1, 60), (2, 60), (2, 7)])
def test_the_line_that_tells_the_format_is_judged_the_same_in_ranges(tmp_path, data, bad_lines, events,
                                                                     threads, range_bytes):
    path = tmp_path / "events.jsonl"
    path.write_bytes(data)
    whole = engine.FileScan([str(path)], SPEC, None, True, False, 1, 0).run()
    assert [b[1] for b in whole[1]] == bad_lines
    assert whole[3] == events
    ranged = engine.FileScan([str(path)], SPEC, None, True, False, threads, range_bytes).run()
    assert ranged[:4] == whole[:4]


@pytest.mark.parametrize("data", [
    TICKER,
    b"symbol,timestamp,what\n" + (GOOD.encode() + b"\n") * 3,  # a refused header
    (GOOD.encode() + b"\n") * 4,
])
@pytest.mark.parametrize("share", [0.3, 0.6, 0.9])
def test_a_given_range_cut_into_parts_reads_as_the_whole_file(tmp_path, data, share):
    # A range shorter than two parts is still cut into two; the second
    # needs the file's format as much as in a longer one.
    path = tmp_path / "events.jsonl"
    path.write_bytes(data)
    whole = engine.FileScan([str(path)], SPEC, None, True, False, 1, 0).run()
    ranged = engine.FileScan([(str(path), 0, len(data))], SPEC, None, True, False, 1,
                             int(len(data) * share)).run()
    assert ranged[:4] == whole[:4]
