"""Events of the usual shapes are decoded straight from the command text;
any other shape goes through the parsed tree. Both must agree exactly."""
import json
import re

from hypothesis import given, settings, strategies as st

from zolvar_radar import Radar

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [1, 0.1]}, {"kind": "funding_flip", "params": [0.001]},
                               {"kind": "book_imbalance", "params": [0.5]}, {"kind": "liq_cluster", "params": [2, 10]},
                               {"kind": "oi_price_divergence", "params": [1, 0.1]}], "threshold": -1})

number_text = st.one_of(
    st.integers(-2**64, 2**64).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.sampled_from(["-0", "0.0", "1e400", "1E5", "-1e-400", "01", "1.", '"5"', "null", "true", "[]", "{}"]),
)
keys = st.sampled_from(["kind", "ts", "open_interest", "funding_rate", "mark_price", "bid_volume", "ask_volume",
                        "best_bid", "best_ask", "side", "qty", "price", "note", "t\\u0073"])
tag_text = st.sampled_from(['"derivatives"', '"orderbook"', '"liquidation"', '"trade"', '"Orderbook"',
                            '"orderb\\u006fok"', "5", "null"])
side_text = st.sampled_from(['"buy"', '"sell"', '"SELL"', '{"sell":null}', '{"buy":{}}', "1"])


@st.composite
def members(draw):
    """The members of an event object, likely but not sure to be valid."""
    kind = draw(st.sampled_from(["derivatives", "orderbook", "liquidation"]))
    fields = {"derivatives": ["ts", "open_interest", "funding_rate", "mark_price"],
              "orderbook": ["ts", "bid_volume", "ask_volume", "best_bid", "best_ask"],
              "liquidation": ["ts", "side", "qty", "price"]}[kind]
    chosen = [("kind", f'"{kind}"')] + [(k, draw(st.integers(-10**6, 10**6).map(str)) if k != "side" else '"buy"')
                                        for k in fields]
    for key in draw(st.lists(keys, max_size=3)):  # damage or extras
        value = draw(tag_text if key == "kind" else side_text if key == "side" else number_text)
        chosen.insert(draw(st.integers(0, len(chosen))), (key, value))
    if draw(st.booleans()):
        chosen = draw(st.permutations(chosen))
    return [f'"{k}":{v}' for k, v in chosen]


def event(members, through_tree):
    # an array-valued member is outside the direct reader's shapes; put last,
    # it leaves the positions of earlier errors where they were
    return "{" + ",".join(members + (['"zz":[]'] if through_tree else [])) + "}"


@settings(max_examples=300, deadline=None)
@given(st.lists(members(), min_size=1, max_size=4))
def test_direct_and_tree_decoding_agree(events):
    direct, tree = Radar(SPEC), Radar(SPEC)
    for m in events:
        a = direct.command('{"cmd":"feed","symbol":"s","event":' + event(m, False) + "}")
        b = tree.command('{"cmd":"feed","symbol":"s","event":' + event(m, True) + "}")
        assert a == b, (m, a, b)
    assert direct.command('{"cmd":"alerts"}') == tree.command('{"cmd":"alerts"}')
    for through_tree in (False, True):
        batch = "[" + ",".join(event(m, through_tree) for m in events) + "]"
        result = Radar(SPEC).command('{"cmd":"scan","events":{"s":' + batch + "}}")
        if not through_tree:
            direct_scan = result
    # earlier events carry the extra member too, which moves later positions
    unplaced = lambda text: re.sub(r" at line \d+ column \d+", "", text)  # noqa: E731
    assert unplaced(direct_scan) == unplaced(result)


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(["derivatives", "orderbook", "liquidation", "trade"]),
       st.lists(st.one_of(number_text, side_text), max_size=6))
def test_array_events_read_directly_match_their_object_form(kind, values):
    names = {"derivatives": ["ts", "open_interest", "funding_rate", "mark_price"],
             "orderbook": ["ts", "bid_volume", "ask_volume", "best_bid", "best_ask"],
             "liquidation": ["ts", "side", "qty", "price"]}.get(kind)
    array = '{"cmd":"feed","symbol":"s","event":["' + kind + '"' + "".join("," + v for v in values) + "]}"
    a = Radar(SPEC)
    response = a.command(array)
    if response == '{"ok":true}' and names:
        # accepted: the object form through the tree gives the same state
        obj = ",".join(f'"{n}":{v}' for n, v in zip(names, values))
        b = Radar(SPEC)
        assert b.command('{"cmd":"feed","symbol":"s","event":{"zz":[],"kind":"' + kind + '",' + obj + "}}") == response
        assert a.command('{"cmd":"alerts"}') == b.command('{"cmd":"alerts"}')


envelope_values = {
    "cmd": st.sampled_from(['"feed"', '"fe\\u0065d"', '"Feed"', '"feed_batch"', '"alerts"', "5", "null"]),
    "symbol": st.sampled_from(['"BTC"', '"B\\u0054C"', '"\u00e9\u20ac"', '""', '"a b"', "7", "null", "[]"]),
    "note": st.sampled_from(["1", '"x"', "[1,{}]"]),
}
unplaced = lambda text: re.sub(r" at line \d+ column \d+", "", text)  # noqa: E731


@st.composite
def feed_envelopes(draw):
    """Feed command texts, usually of the plain shape, sometimes not."""
    chosen = [("cmd", '"feed"'), ("symbol", '"BTC"'), ("event", event(draw(members()), False))]
    for key in draw(st.lists(st.sampled_from(["cmd", "symbol", "note", "event"]), max_size=2)):
        value = event(draw(members()), False) if key == "event" else draw(envelope_values[key])
        chosen.insert(draw(st.integers(0, len(chosen))), (key, value))
    if draw(st.booleans()):
        chosen = draw(st.permutations(chosen))
    body = ",".join(f'"{k}":{v}' for k, v in chosen)
    before, after = draw(st.sampled_from(["", " ", "\n\t"])), draw(st.sampled_from(["", " \r\n", " x", "}", ",", "{}"]))
    return before, body, after


@settings(max_examples=400, deadline=None)
@given(st.lists(feed_envelopes(), min_size=1, max_size=4))
def test_plain_feed_commands_and_the_general_path_agree(commands):
    # the unknown member first keeps the plain reader out of the way
    direct, general = Radar(SPEC), Radar(SPEC)
    for before, body, after in commands:
        a = direct.command(before + "{" + body + "}" + after)
        b = general.command(before + '{"zz":[],' + body + "}" + after)
        assert unplaced(a) == unplaced(b), (body, a, b)
    assert direct.command('{"cmd":"alerts"}') == general.command('{"cmd":"alerts"}')


@st.composite
def file_lines(draw):
    """A JSON Lines line of any member order: the event with its symbol among its members, or wrapped."""
    symbol = ("symbol", draw(envelope_values["symbol"]))
    if draw(st.booleans()):
        chosen = [(k, v) for k, v in (m.split(":", 1) for m in draw(members()))]
        chosen.insert(draw(st.integers(0, len(chosen))), symbol)
    else:
        chosen = [symbol, ("event", event(draw(members()), False))]
        if draw(st.booleans()):  # a whole event beside it too, which the "event" member overrides
            chosen += [tuple(m.split(":", 1)) for m in draw(members())]
        for key in draw(st.lists(st.sampled_from(["note", "symbol", "event"]), max_size=2)):
            value = draw(envelope_values[key]) if key != "event" else event(draw(members()), False)
            chosen.insert(draw(st.integers(0, len(chosen))), (key, value))
        if draw(st.booleans()):
            chosen = draw(st.permutations(chosen))
    return ",".join(f'"{k.strip(chr(34))}":{v}' for k, v in chosen)


@settings(max_examples=300, deadline=None)
@given(st.lists(file_lines(), min_size=1, max_size=5))
def test_file_lines_of_any_shape_read_as_the_tree_reads_them(tmp_path_factory, lines):
    from zolvar_radar._engine import engine

    folder = tmp_path_factory.mktemp("lines")
    results = []
    # the nested unknown member first keeps the one-pass reader out of the way
    for name, head in (("direct.jsonl", "{"), ("tree.jsonl", '{"zz":[],')):
        path = folder / name
        path.write_text("".join(head + line + "}\n" for line in lines))
        text, bad, _, events, *_ = engine.FileScan([str(path)], SPEC, None, True, False).run()
        results.append((text, [(b[1], unplaced(b[2])) for b in bad], events))
    assert results[0] == results[1], lines
