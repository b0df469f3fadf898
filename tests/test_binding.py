import gc
import glob
import importlib.metadata
import inspect
import json
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zolvar_radar
from zolvar_radar import Radar, _zolvar_radar

VERSION_CMD = '{"cmd":"version"}'
SENT = "_zolvar_radar::PyRadar is unsendable, but sent to another thread"
DROPPED = "_zolvar_radar::PyRadar is unsendable, but is being dropped on another thread"
HAS_NOTES = sys.version_info >= (3, 11)

# Stand-ins filled per target: TEXT by a valid argument, PARAM by the parameter name.
TEXT, PARAM = object(), object()

TARGETS = {
    "new": ("Radar.__new__()", "spec_json"),
    "command": ("Radar.command()", "cmd_json"),
}


def call(target, radar, spec_json, args, kwargs):
    text = spec_json if target == "new" else VERSION_CMD
    param = TARGETS[target][1]
    args = [text if a is TEXT else a for a in args]
    kwargs = {(param if k is PARAM else k): (text if v is TEXT else v) for k, v in kwargs.items()}
    return Radar(*args, **kwargs) if target == "new" else radar.command(*args, **kwargs)


def run_in_thread(fn):
    outcome = {}

    def body():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # handed back to the test thread
            outcome["error"] = exc

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{f} missing 1 required positional argument: '{p}'"),
        ((TEXT, TEXT), {}, "{f} takes 1 positional arguments but 2 were given"),
        ((TEXT, TEXT, TEXT), {"bogus": TEXT}, "{f} takes 1 positional arguments but 3 were given"),
        ((TEXT,), {"bogus": TEXT}, "{f} got an unexpected keyword argument 'bogus'"),
        ((), {"bogus": TEXT}, "{f} got an unexpected keyword argument 'bogus'"),
        ((TEXT,), {PARAM: TEXT}, "{f} got multiple values for argument '{p}'"),
    ],
)
def test_argument_matching_errors(target, args, kwargs, message, radar, spec_json):
    func, param = TARGETS[target]
    with pytest.raises(TypeError) as info:
        call(target, radar, spec_json, args, kwargs)
    assert str(info.value) == message.format(f=func, p=param)
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (5, TypeError, "'int' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (b"{}", TypeError, "'bytes' object is not an instance of 'str'"),
        ("\udc80", UnicodeEncodeError, "surrogates not allowed"),
        # a text of a million characters or more, not ASCII, is encoded another way
        ("é" + " " * (1 << 20) + "\udc80", UnicodeEncodeError, "surrogates not allowed"),
    ],
)
def test_argument_conversion_errors(target, by_keyword, value, exc_type, message, radar, spec_json):
    param = TARGETS[target][1]
    args, kwargs = ((), {PARAM: value}) if by_keyword else ((value,), {})
    with pytest.raises(exc_type) as info:
        call(target, radar, spec_json, args, kwargs)
    assert message in str(info.value)
    expected_notes = [f"while processing '{param}'"] if HAS_NOTES else None
    assert getattr(info.value, "__notes__", None) == expected_notes
    # a failed conversion must give the borrow back
    assert json.loads(radar.command(VERSION_CMD)) == {"version": "0.1.3"}


def test_keyword_and_positional_are_equivalent(spec_json):
    class Text(str):
        pass

    by_position, by_keyword = Radar(spec_json), Radar(spec_json=Text(spec_json))
    for cmd in [VERSION_CMD, "not json", '{"cmd":"alerts"}']:
        expected = by_position.command(cmd)
        assert by_keyword.command(cmd_json=cmd) == expected
        assert by_keyword.command(Text(cmd)) == expected


def test_constructor_error_is_value_error():
    with pytest.raises(ValueError) as info:
        Radar("")
    assert str(info.value) == "parse: EOF while parsing a value at line 1 column 0"


@pytest.mark.parametrize("cmd", ["", "x", "[]", '{"cmd":"nope"}', '{"cmd":"feed"}'])
def test_command_failures_are_answered_not_raised(radar, cmd):
    response = json.loads(radar.command(cmd))
    assert response["ok"] is False and isinstance(response["error"], str)


def test_handles_are_independent(spec_json):
    a, b = Radar(spec_json), Radar(spec_json)
    event = {"kind": "derivatives", "ts": 1, "open_interest": 1, "funding_rate": 0, "mark_price": 1}
    assert json.loads(a.command(json.dumps({"cmd": "feed", "symbol": "BTCUSDT", "event": event}))) == {"ok": True}
    assert json.loads(a.command('{"cmd":"alerts"}'))["scanned"] == 1
    assert json.loads(b.command('{"cmd":"alerts"}'))["scanned"] == 0


def test_module_surface(radar):
    assert _zolvar_radar.__all__ == ["__version__", "Radar"]
    assert zolvar_radar.Radar is _zolvar_radar.Radar
    assert _zolvar_radar.__doc__ == "The native module (`zolvar_radar._zolvar_radar`)."
    assert Path(_zolvar_radar.__file__).name.startswith("_zolvar_radar.abi3.")
    versions = {zolvar_radar.__version__, Radar.version(), radar.version(), importlib.metadata.version("zolvar_radar")}
    assert versions == {"0.1.3"}
    assert json.loads(radar.command(VERSION_CMD)) == {"version": "0.1.3"}


def test_class_surface(radar):
    assert (Radar.__name__, Radar.__qualname__, Radar.__module__) == ("Radar", "Radar", "builtins")
    assert Radar.__doc__ == (
        "A radar instance driven by JSON commands.\n\n"
        "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
        "thread that created it."
    )
    assert Radar.command.__doc__ == "Apply a command JSON and return the resulting response JSON."
    assert Radar.version.__doc__ == "The library version."
    assert str(inspect.signature(Radar)) == "(spec_json)"
    assert str(inspect.signature(radar.command)) == "(cmd_json)"
    assert str(inspect.signature(Radar.command)) == "(self, /, cmd_json)"
    assert str(inspect.signature(Radar.version)) == "()"
    with pytest.raises(TypeError):

        class Sub(Radar):
            pass


def test_command_from_other_thread_is_refused(radar):
    with pytest.raises(RuntimeError, match=f"^{SENT}$"):
        run_in_thread(lambda: radar.command(VERSION_CMD))
    # arguments are matched before the thread is checked
    with pytest.raises(TypeError):
        run_in_thread(lambda: radar.command())
    assert json.loads(radar.command(VERSION_CMD)) == {"version": "0.1.3"}


def test_handle_belongs_to_the_thread_that_made_it(monkeypatch, spec_json):
    gc.collect()  # handles left in cycles by earlier tests must not be collected on the thread below
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
    radar, response = run_in_thread(lambda: (lambda r: (r, r.command(VERSION_CMD)))(Radar(spec_json)))
    assert json.loads(response) == {"version": "0.1.3"}
    with pytest.raises(RuntimeError, match=f"^{SENT}$"):
        radar.command(VERSION_CMD)
    del radar
    assert seen == [DROPPED]


def test_release_on_other_thread_is_reported(monkeypatch, spec_json):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value))))
    holder = [Radar(spec_json), Radar(spec_json)]

    def drop_while_raising():
        try:
            [holder.pop(), 1 / 0]  # released during unwinding, with the error pending
        except ZeroDivisionError:
            return "caught"

    assert run_in_thread(drop_while_raising) == "caught"
    run_in_thread(holder.clear)
    assert seen == [(RuntimeError, DROPPED)] * 2


def test_release_on_other_thread_with_default_hook(spec_json):
    script = (
        "import sys, threading\n"
        "from zolvar_radar import Radar\n"
        "holder = [Radar(sys.argv[1])]\n"
        "t = threading.Thread(target=holder.clear); t.start(); t.join()\n"
        "print('alive')\n"
    )
    done = subprocess.run([sys.executable, "-c", script, spec_json], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "alive\n")
    assert DROPPED in done.stderr


@settings(max_examples=300, deadline=None)
@given(st.text())
def test_any_command_text_gets_a_json_answer(text):
    radar = Radar(json.dumps({"signals": [{"kind": "funding_flip", "params": [0.5]}]}))
    assert isinstance(json.loads(radar.command(text)), dict)


@settings(max_examples=300, deadline=None)
@given(st.text())
def test_any_spec_text_builds_or_raises_value_error(text):
    try:
        Radar(text)
    except ValueError as exc:
        assert str(exc).startswith(("parse: ", "bad spec: "))


def find_interpreter(minor):
    """A working python3.<minor>; version-manager shims may exist but refuse to run."""
    candidates = [shutil.which(f"python3.{minor}")]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", f"python3.{minor}")))
    probe = f"import sys; print(sys.version_info[:2] == (3, {minor}))"
    for exe in filter(None, candidates):
        try:
            done = subprocess.run([exe, "-c", probe], capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.SubprocessError):
            continue
        if done.stdout.strip() == "True":
            return exe
    return None


IMPORT_CHECK = r"""
import json, sys
import zolvar_radar
from zolvar_radar import Radar, _zolvar_radar
assert _zolvar_radar.__all__ == ["__version__", "Radar"]
assert json.loads(Radar(sys.argv[1]).command('{"cmd":"version"}')) == {"version": "0.1.3"}
if sys.version_info >= (3, 12):
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    sub = interpreters.create()
    try:
        outcome = interpreters.run_string(sub, "import zolvar_radar")
    except Exception as exc:
        outcome = exc
    interpreters.destroy(sub)
    assert "does not support loading in subinterpreters" in repr(outcome), outcome
print("ok")
"""


@pytest.mark.parametrize("minor", [10, 12, 13])
def test_same_binary_imports_on_other_versions(minor, tmp_path, spec_json):
    exe = find_interpreter(minor)
    if exe is None:
        pytest.skip(f"no python3.{minor} here")
    (tmp_path / "zolvar_radar").symlink_to(Path(zolvar_radar.__file__).parent, target_is_directory=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = str(tmp_path)
    done = subprocess.run(
        [exe, "-s", "-c", IMPORT_CHECK, spec_json], capture_output=True, text=True, env=env, timeout=120
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")


@pytest.mark.parametrize("symbol", ["é€", "BTC"])
def test_large_texts_are_read_like_small_ones(radar, symbol):
    # past a million characters a non-ASCII text is encoded apart from the str
    scan = '{"cmd":"scan","events":{"%s":[["orderbook",1,9.0,1.0,1,2]]}}' % symbol
    padded = scan[:-1] + " " * (1 << 20) + scan[-1]
    assert radar.command(padded) == radar.command(scan)
    assert radar.command(padded[:-1]) == (
        '{"error":"parse: EOF while parsing an object at line 1 column %d","ok":false}' % len(padded[:-1].encode()))
