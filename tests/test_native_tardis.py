"""The native tests of the tardis CSV row decoder (tests/native), built and run by their script."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).parent / "native" / "run.sh"

pytestmark = [
    pytest.mark.skipif(
        not (shutil.which("cmake") and shutil.which("sh") and (shutil.which("c++") or shutil.which("g++"))),
        reason="needs cmake and a C++ compiler",
    ),
    # the sanitized run of the suite has already built and run them once, unsanitized
    pytest.mark.skipif(os.environ.get("ZOLVAR_NATIVE_TESTS") == "skip", reason="ZOLVAR_NATIVE_TESTS=skip"),
]


def test_native_tardis_decoder(pytestconfig, tmp_path):
    # kept in pytest's cache when there is one, so that later runs only rebuild what changed
    cache = getattr(pytestconfig, "cache", None)
    build = cache.mkdir("native-build") if cache is not None else tmp_path
    env = {**os.environ, "RADAR_NATIVE_BUILD_DIR": str(build)}
    done = subprocess.run(["sh", str(SCRIPT)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "cases passed" in done.stdout
