"""Screenshot of the progress window in the middle of a download.

The ShowProgressWindow tool shows the program's own ProgressWindow under the
program's own manifest; ImageMagick captures it from the X display into
<build>/artifacts/progress-window.png, and its pixels are checked: both bars
filled to their share in one colour, text drawn on every line."""
import os
import shutil
import subprocess
import time

import orvtest

ARTIFACT = orvtest.BUILD_DIR / "artifacts" / "progress-window.png"


def convert(image, *args):
    return subprocess.run(["convert", str(image), *args, "info:"], check=True, capture_output=True,
                          text=True).stdout.strip()


def problems_in(image, placements):
    wx, wy = placements["window"][:2]
    found, fills = [], []
    for name, share in (("downloadBar", 0.5), ("overallBar", 0.25)):
        x, y, w, h = placements[name]
        x, mid = x - wx, y - wy + h // 2
        filled, empty = (convert(image, "-format", "%%[pixel:p{%d,%d}]" % (x + int(w * at), mid))
                         for at in (share / 2, (share + 1) / 2))
        fills.append(filled)
        if filled == empty:
            found.append("%s: the filled part looks like the empty part" % name)
    if fills[0] != fills[1]:
        found.append("the two bars are filled in different colours")
    for name in ("statusText", "detailText", "downloadText"):
        x, y, w, h = placements[name]
        if int(convert(image, "-crop", "%dx%d+%d+%d" % (w, h, x - wx, y - wy), "+repage", "-format", "%k")) < 2:
            found.append(name + ": no text drawn")
    return found


def test_progress_window_screenshot(tmp_path):
    # Under ./run test a missing display or ImageMagick is a failure: the
    # picture is an artifact of every run.
    assert os.environ.get("DISPLAY"), "no X display (./run test starts Xvfb)"
    assert shutil.which("import") and shutil.which("convert"), "ImageMagick is missing"
    # The test display has no window manager: let Wine draw the title bar.
    orvtest.wine(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
                  "/d", "N", "/f"]).check_returncode()
    ready, release = tmp_path / "ready.txt", tmp_path / "release"
    tool = orvtest.wine_start([orvtest.TOOLS_DIR / "ShowProgressWindow.exe", "/ready:" + orvtest.winpath(ready),
                               "/release:" + orvtest.winpath(release),
                               "/manifest:" + orvtest.winpath(orvtest.BUILD_DIR / "generated" / "OrvUpdaterW7.manifest")])
    try:
        deadline = time.monotonic() + 90
        while not ready.exists():
            assert tool.poll() is None and time.monotonic() < deadline, "the window never became ready"
            time.sleep(0.1)
        placements = {name: tuple(map(int, value.split(","))) for name, _, value in
                      (line.partition("=") for line in ready.read_text().splitlines())}
        x, y, w, h = placements["window"]
        assert (w, h) == (650, 285)
        ARTIFACT.parent.mkdir(parents=True, exist_ok=True)
        # The window may still be painting: capture until it shows what it should.
        for _ in range(10):
            subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", "-crop",
                            "%dx%d+%d+%d" % (w, h, x, y), "+repage", str(ARTIFACT)], check=True)
            problems = problems_in(ARTIFACT, placements)
            if not problems:
                break
            time.sleep(1)
        assert not problems, problems
    finally:
        release.touch()
        try:
            tool.wait(timeout=60)
        except subprocess.TimeoutExpired:
            orvtest.kill_group(tool)
    assert tool.returncode == 0, tool.stderr.read().decode(errors="replace")
