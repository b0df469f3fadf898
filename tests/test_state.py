"""Saved states: round trips, resuming a radar from one, and refusing damaged or hostile bytes."""
import array
import json
import os
import struct
import threading

import pytest
from hypothesis import given, settings, strategies as st

from zolvar_radar import Radar, load_state, save_state

SPEC = {"venues": ["binance", "okéx"], "symbols": ["BTCUSDT", ""],
        "signals": [{"kind": "oi_delta", "params": [2, 0.05], "weight": 2},
                    {"kind": "funding_flip", "params": [0.0005]},
                    {"kind": "book_imbalance", "params": [0.6], "weight": 0.5},
                    {"kind": "liq_cluster", "params": [3, 100]},
                    {"kind": "oi_price_divergence", "params": [2, 0.02]}],
        "threshold": 0.0, "limit": 6}
WINDOW = 4  # one more than the longest look-back
ALERTS = '{"cmd":"alerts"}'

# --- the documented layout, written independently of the library ----------

_CRC_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ 0x82F63B78 if _c & 1 else _c >> 1
    _CRC_TABLE.append(_c)


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = _CRC_TABLE[(c ^ b) & 0xFF] ^ (c >> 8)
    return c ^ 0xFFFFFFFF


def u64(n):
    return struct.pack("<Q", n)


def text(b, length=None):
    return u64(len(b) if length is None else length) + b


def frame(spec=b"", data=b"", kind=1, version=1, flags=0, magic=b"ZRSTATE\0"):
    body = magic + struct.pack("<HBBQQ", version, kind, flags, len(spec), len(data)) + spec + data
    return body + struct.pack("<I", crc32c(body))


def spec_section(signals=((0, (1.0, 0.5), 1.0),), threshold=0.0, limit=None, venues=(), symbols=(),
                 limit_flag=None, signal_count=None):
    out = u64(len(venues)) + b"".join(text(v) for v in venues)
    out += u64(len(symbols)) + b"".join(text(s) for s in symbols)
    out += u64(len(signals) if signal_count is None else signal_count)
    for kind, params, weight in signals:
        out += bytes([kind]) + u64(len(params)) + b"".join(struct.pack("<d", p) for p in params)
        out += struct.pack("<d", weight)
    flag = (limit is not None) if limit_flag is None else limit_flag
    return out + struct.pack("<dBQ", threshold, flag, limit or 0)


def symbol_record(name=b"A", ts=0, book=None, rows=(), liqs=(), row_count=None, liq_count=None, book_flag=None):
    out = text(name) + struct.pack("<q", ts)
    out += bytes([book is not None if book_flag is None else book_flag])
    out += struct.pack("<dd", *book) if book is not None else b""
    out += u64(len(rows) if row_count is None else row_count) + b"".join(struct.pack("<ddd", *r) for r in rows)
    return out + u64(len(liqs) if liq_count is None else liq_count) + b"".join(struct.pack("<d", q) for q in liqs)


def data_section(records=(), window=2, count=None):
    return u64(window) + u64(len(records) if count is None else count) + b"".join(records)


def feed(radar, symbol, event):
    answer = radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
    assert answer == '{"ok":true}', answer


# --- round trips ------------------------------------------------------------

def fed(spec, events):
    r = Radar(json.dumps(spec))
    for symbol, event in events:
        feed(r, symbol, event)
    return r


def deriv(ts, oi, fr=1e-4, mp=100.0):
    return ["derivatives", ts, oi, fr, mp]


ROUND_TRIPS = {
    "empty radar": [],
    "many symbols": [(f"S{k:04d}", deriv(k, 100 + k)) for k in range(500)],
    "partial windows": [("BTC", deriv(1, 100)), ("BTC", ["liquidation", 2, "sell", 5, 1])],
    "full windows": [("BTC", deriv(t, 100 + t * t)) for t in range(11)]
                    + [("BTC", ["liquidation", t, "buy", t, 1]) for t in range(9)],
    "negative zero and extremes": [("x", deriv(-2**63, -0.0, -0.0, 1e308)),
                                   ("x", ["orderbook", 2**63 - 1, 5e-324, 1.7976931348623157e308, 0, 0]),
                                   ("x", ["liquidation", 0, "sell", -5e-324, 1])],
    "unusual symbols": [(s, deriv(i, 10 + i)) for i, s in
                        enumerate(["", "é", "日本", "a\"b\\c\n", "\x00\x7f", "😀", "Z" * 300])],
}


@pytest.mark.parametrize("events", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_a_loaded_state_is_the_saved_radar(events):
    original = fed(SPEC, events)
    state = save_state(original)
    restored = load_state(state)
    assert restored.command(ALERTS) == original.command(ALERTS)
    assert save_state(restored) == state
    # both carry on the same way, the rings included
    for r in (original, restored):
        for symbol in ("x", "BTC", "new"):
            feed(r, symbol, deriv(99, 7))
            feed(r, symbol, ["liquidation", 99, "buy", 3, 1])
    assert restored.command(ALERTS) == original.command(ALERTS)
    assert save_state(restored) == save_state(original)


def test_bytes_follow_the_documented_layout():
    r = fed(SPEC, [("b", deriv(5, 100, -0.0)), ("b", ["orderbook", 6, 3, 1, 0, 0]), ("a", ["liquidation", -1, "buy", 2, 1])])
    signals = [(0, (2, 0.05), 2.0), (1, (0.0005,), 1.0), (2, (0.6,), 0.5), (3, (3, 100), 1.0), (4, (2, 0.02), 1.0)]
    spec = spec_section(signals, 0.0, 6, [b"binance", "okéx".encode()], [b"BTCUSDT", b""])
    data = data_section([symbol_record(b"a", -1, liqs=[2.0]),
                         symbol_record(b"b", 6, book=(3, 1), rows=[(100, -0.0, 100)])], window=WINDOW)
    assert save_state(r) == frame(spec, data)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: array.array("B", b),
                                  lambda b: memoryview(b"..." + b)[3:]],
                         ids=["bytes", "bytearray", "memoryview", "array", "sliced view"])
def test_any_bytes_like_object_loads(wrap):
    state = save_state(fed(SPEC, [("a", deriv(1, 2))]))
    assert save_state(load_state(wrap(state))) == state


@pytest.mark.parametrize("call, arg", [(load_state, "text"), (load_state, None), (load_state, 5),
                                       (load_state, [1, 2]), (save_state, b"x"), (save_state, None)])
def test_wrong_argument_types_raise_type_error(call, arg):
    with pytest.raises(TypeError):
        call(arg)


def test_a_loaded_radar_belongs_to_the_loading_thread():
    restored = load_state(save_state(fed(SPEC, [("a", deriv(1, 2))])))
    errors = []

    def elsewhere():
        for call in (lambda: restored.command(ALERTS), lambda: save_state(restored)):
            try:
                call()
            except RuntimeError as e:
                errors.append(e)

    worker = threading.Thread(target=elsewhere)
    worker.start()
    worker.join()
    assert len(errors) == 2
    assert save_state(restored)


# --- resuming ---------------------------------------------------------------

numbers = st.one_of(st.integers(-10**9, 10**9), st.floats(allow_nan=False, allow_infinity=False))
stamps = st.integers(-2**63, 2**63 - 1)
events = st.tuples(
    st.sampled_from(["BTC", "ETH", "", "é"]),
    st.one_of(st.tuples(st.just("derivatives"), stamps, numbers, numbers, numbers).map(list),
              st.tuples(st.just("orderbook"), stamps, numbers, numbers, numbers, numbers).map(list),
              st.tuples(st.just("liquidation"), stamps, st.sampled_from(["buy", "sell"]), numbers, numbers)
              .map(list)))


@settings(max_examples=150, deadline=None)
@given(st.lists(events, max_size=40), st.data())
def test_load_then_feed_equals_feeding_everything(history, data):
    split = data.draw(st.integers(0, len(history)))
    resumed = load_state(save_state(fed(SPEC, history[:split])))
    for symbol, event in history[split:]:
        feed(resumed, symbol, event)
    whole = fed(SPEC, history)
    assert resumed.command(ALERTS) == whole.command(ALERTS)
    assert save_state(resumed) == save_state(whole)


symbols = st.one_of(st.text("ab\x00\x7fé", max_size=3), st.text("ab\x00é", max_size=4).map("PERPETUA".__add__))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.lists(symbols, max_size=30), max_size=5))
def test_symbols_added_between_saves_are_saved_in_order(batches):
    # A load refuses symbols out of order: each save must put the new ones in place.
    r, history = Radar(json.dumps(SPEC)), []
    for batch in batches:
        for k, symbol in enumerate(batch):
            history.append((symbol, deriv(k, 100 + k)))
            feed(r, symbol, history[-1][1])
        state = save_state(r)
        assert save_state(load_state(state)) == state == save_state(fed(SPEC, history))


# --- refusing damage --------------------------------------------------------

SMALL = [("a", deriv(1, 100)), ("b", ["orderbook", 2, 3, 1, 0, 0]), ("b", ["liquidation", 3, "buy", 4, 1])]
ONE_SIGNAL = spec_section()
GOOD_SYMBOL = symbol_record(liqs=[1.0])

REFUSED = {
    "foreign bytes": (b"PK\x03\x04" + bytes(40), "not a zolvar_radar state"),
    "magic prefix only": (b"ZRST", "state truncated"),
    "newer version": (frame(ONE_SIGNAL, data_section(), version=7), "unsupported state version 7"),
    "unknown kind": (frame(ONE_SIGNAL, data_section(), kind=3), "unsupported state kind 3"),
    "flags": (frame(ONE_SIGNAL, data_section(), flags=2), "state corrupt: flags 2"),
    "open bars missing": (frame(ONE_SIGNAL, data_section(), flags=1), "state corrupt: bars section ends early"),
    "trailing bytes": (frame(ONE_SIGNAL, data_section()) + b"\0", "state corrupt: 1 bytes after the checksum"),
    "partial state with a spec": (frame(ONE_SIGNAL, data_section(), kind=2),
                                  "state corrupt: a partial state with a specification"),
    "partial state as a radar": (frame(b"", data_section(), kind=2), "state is a partial scan state, not a radar's"),
    "window mismatch": (frame(ONE_SIGNAL, data_section(window=61)),
                        "state window 61 does not match the specification's window 2"),
    "out of order": (frame(ONE_SIGNAL, data_section([symbol_record(b"b", liqs=[1]), symbol_record(b"a", liqs=[1])])),
                     "state corrupt: symbols out of order"),
    "repeated symbol": (frame(ONE_SIGNAL, data_section([GOOD_SYMBOL, GOOD_SYMBOL])), "state corrupt: symbols out of order"),
    "too many rows": (frame(ONE_SIGNAL, data_section([symbol_record(rows=[(1, 2, 3)] * 5)])),
                      "state corrupt: 5 derivatives rows for a window of 2"),
    "too many liquidations": (frame(ONE_SIGNAL, data_section([symbol_record(liqs=[1] * 3)])),
                              "state corrupt: 3 liquidations for a window of 2"),
    "surrogate in a symbol": (frame(ONE_SIGNAL, data_section([symbol_record(b"\xed\xa0\x80", liqs=[1])])),
                              "state corrupt: symbol is not UTF-8"),
    "overlong venue": (frame(spec_section(venues=[b"\xc0\x80"]), data_section()), "state corrupt: venue is not UTF-8"),
    "NaN quantity": (frame(ONE_SIGNAL, data_section([symbol_record(liqs=[float("nan")])])),
                     "state corrupt: non-finite number"),
    "infinite threshold": (frame(spec_section(threshold=float("inf")), data_section()),
                           "state corrupt: non-finite number"),
    "presence byte": (frame(ONE_SIGNAL, data_section([symbol_record(liqs=[1], book_flag=2)])),
                      "state corrupt: presence byte 2"),
    "absent limit with a value": (frame(spec_section(limit=9, limit_flag=0), data_section()),
                                  "state corrupt: a value for an absent limit"),
    "unknown signal": (frame(spec_section([(5, (), 1.0)]), data_section()), "state corrupt: unknown signal kind 5"),
    "invalid spec": (frame(spec_section([]), data_section()),
                     "state corrupt: bad spec: at least one signal is required"),
    "duplicate signal": (frame(spec_section([(1, (1.0,), 1.0)] * 2), data_section()),
                         "state corrupt: bad spec: duplicate signal: funding_flip(1)"),
    "symbol without data": (frame(ONE_SIGNAL, data_section([symbol_record()])), "state corrupt: a symbol without data"),
    "window below 2": (frame(b"", data_section(window=1), kind=2), "state corrupt: window 1 is below 2"),
    "unread bytes": (frame(ONE_SIGNAL + b"\0", data_section()),
                     "state corrupt: 1 unread bytes in the specification section"),
    "section ends early": (frame(ONE_SIGNAL[:-3], data_section()), "state corrupt: specification section ends early"),
}

HUGE = [2**64 - 1, 2**63, 2**40, 10**6]
COUNTS = {
    "symbols": lambda n: frame(ONE_SIGNAL, data_section([GOOD_SYMBOL], count=n)),
    "rows": lambda n: frame(b"", data_section([symbol_record(row_count=n)], window=2**64 - 1), kind=2),
    "liquidations": lambda n: frame(b"", data_section([symbol_record(liq_count=n)], window=2**64 - 1), kind=2),
    "name length": lambda n: frame(ONE_SIGNAL, data_section([text(b"A", n) + GOOD_SYMBOL[9:]])),
    "signals": lambda n: frame(spec_section(signal_count=n), data_section()),
    "venues": lambda n: frame(u64(n) + ONE_SIGNAL[8:], data_section()),
    "spec length": lambda n: frame(ONE_SIGNAL, data_section())[:12] + u64(n) + frame(ONE_SIGNAL, data_section())[20:],
}


@pytest.mark.parametrize("state, message", REFUSED.values(), ids=REFUSED.keys())
def test_refused_states_say_why(state, message):
    with pytest.raises(ValueError) as caught:
        load_state(state)
    assert str(caught.value) == message


@pytest.mark.parametrize("n", HUGE)
@pytest.mark.parametrize("build", COUNTS.values(), ids=COUNTS.keys())
def test_huge_counts_are_refused_before_anything_is_allocated(build, n):
    with pytest.raises(ValueError, match="^state (corrupt|truncated)"):
        load_state(build(n))


def test_every_truncation_is_refused():
    state = save_state(fed(SPEC, SMALL))
    for size in range(len(state)):
        with pytest.raises(ValueError, match="^state truncated$"):
            load_state(state[:size])


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_damaged_states_are_refused(data):
    state = bytearray(save_state(fed(SPEC, data.draw(st.lists(events, max_size=6)))))
    for at in data.draw(st.lists(st.integers(0, len(state) - 1), min_size=1, max_size=4, unique=True)):
        if data.draw(st.booleans()):
            state[at] ^= 1 << data.draw(st.integers(0, 7))
        else:
            state[at] = data.draw(st.integers(0, 255).filter(lambda b, old=state[at]: b != old))
    with pytest.raises(ValueError, match="^(state |unsupported state |not a zolvar_radar state)"):
        load_state(bytes(state))


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="needs /proc and a build without AddressSanitizer")
def test_refused_loads_keep_nothing():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    hostile = [build(2**40) for build in COUNTS.values()] + [s for s, _ in REFUSED.values()]
    almost = frame(ONE_SIGNAL, data_section([symbol_record(f"S{k:05d}".encode(), liqs=[1]) for k in range(2000)]
                                            + [symbol_record(b"A", liqs=[1])]))
    for _ in range(200):  # warm up the allocator
        for state in hostile + [almost]:
            with pytest.raises(ValueError):
                load_state(state)
    start = rss()
    for _ in range(2000):
        for state in hostile + [almost]:
            with pytest.raises(ValueError):
                load_state(state)
    assert rss() - start < 1 << 20
