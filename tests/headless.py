"""Opening a report in headless Chromium, offline, to see what a reader sees."""

import html
import re
import os
import shutil
import subprocess

import pytest

# Appended to a copy of the page only: the report itself carries no script.
PROBE = """<script>
window.addEventListener("load", () => {
  const images = [...document.images];
  const loaded = images.filter(i => i.complete && i.naturalWidth > 0).map(i => i.naturalWidth + "x" + i.naturalHeight);
  document.body.insertAdjacentHTML("beforeend", `<pre id=probe>images ${images.length} loaded ${loaded.join(",")}</pre>`);
});
</script>"""


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if found := shutil.which(name):
            return found
    pytest.skip("headless Chromium is not installed (apt-get install chromium): the page is not rendered")


def run(*args: str) -> str:
    # a sanitizer runtime preloaded for the suite is not the browser's to carry
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    done = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-proxy-server",
                           "--virtual-time-budget=10000", *args], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def render(page, folder, width=1300, height=2400):
    """The page's DOM after loading (with the sizes of the images that loaded) and a screenshot's path."""
    probed = folder / "probed.html"
    probed.write_text(page.read_text(encoding="utf-8").replace("</body>", PROBE + "</body>"), encoding="utf-8")
    dom = run("--dump-dom", probed.as_uri())
    shot = folder / (page.stem + ".screenshot.png")
    run(f"--screenshot={shot}", f"--window-size={width},{height}", "--hide-scrollbars", page.as_uri())
    return dom, shot


def loaded_images(dom: str) -> tuple[int, list[str]]:
    found = re.search(r"images (\d+) loaded ([\dx,]*)", dom)
    assert found, "the page never finished loading"
    return int(found.group(1)), [s for s in found.group(2).split(",") if s]


def cells(dom: str, table_after: str) -> list[list[str]]:
    """The text of each row of the first table after a heading, tags stripped."""
    part = dom.split(table_after, 1)[1].split("</table>", 1)[0]
    return [[html.unescape(re.sub(r"<[^>]+>", "", c)).strip() for c in re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row, re.S)]
            for row in re.findall(r"<tr[^>]*>(.*?)</tr>", part, re.S)]
