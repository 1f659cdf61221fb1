"""Screenshot of the progress window in the middle of a download.

The window is shown by the ShowProgressWindow test tool (the program's own
ProgressWindow with the program's own manifest), captured from the X display
with ImageMagick into <build>/artifacts/progress-window.png, and checked by
its pixels: both bars filled to their share, text drawn on every line.
"""
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

BUILD_DIR = Path(os.environ.get("ORV_BUILD_DIR", "."))
TOOLS_DIR = Path(os.environ.get("ORV_TEST_TOOLS_DIR", BUILD_DIR / "tools"))
WINE_RUN = os.environ.get("ORV_WINE_RUN", "")
PREFIX = os.environ.get("ORV_WINEPREFIX", "")
ARTIFACT = BUILD_DIR / "artifacts" / "progress-window.png"


def windows_path(path: Path) -> str:
    return "Z:" + str(path.resolve()).replace("/", "\\")


def read_placements(path: Path) -> dict:
    placements = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        name, _, value = line.partition("=")
        x, y, w, h = (int(v) for v in value.split(","))
        placements[name] = (x, y, w, h)
    return placements


def pixel(image: Path, x: int, y: int) -> str:
    return subprocess.run(
        ["convert", str(image), "-format", f"%[pixel:p{{{x},{y}}}]", "info:"],
        check=True, capture_output=True, text=True).stdout.strip()


def colour_count(image: Path, box) -> int:
    x, y, w, h = box
    out = subprocess.run(
        ["convert", str(image), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-format", "%k", "info:"],
        check=True, capture_output=True, text=True).stdout.strip()
    return int(out)


def inside(window, control):
    """A control's box relative to the window's top-left corner."""
    return (control[0] - window[0], control[1] - window[1], control[2], control[3])


def problems_in(image: Path, placements: dict) -> list:
    window = placements["window"]
    found = []
    for name, share in (("downloadBar", 0.5), ("overallBar", 0.25)):
        x, y, w, h = inside(window, placements[name])
        mid = y + h // 2
        filled = pixel(image, x + int(w * share * 0.5), mid)
        empty = pixel(image, x + int(w * (share + (1 - share) * 0.5)), mid)
        if filled == empty:
            found.append(f"{name}: filled part {filled} looks like the empty part")
        placements[name + ".filled"] = filled
    if placements["downloadBar.filled"] != placements["overallBar.filled"]:
        found.append("the two bars are filled in different colours")
    for name in ("statusText", "detailText", "downloadText"):
        if colour_count(image, inside(window, placements[name])) < 2:
            found.append(f"{name}: no text drawn")
    return found


@pytest.mark.skipif(not os.environ.get("DISPLAY"), reason="needs an X display (./run test starts Xvfb)")
@pytest.mark.skipif(shutil.which("import") is None, reason="needs ImageMagick")
def test_progress_window_screenshot(tmp_path):
    # The test display has no window manager to draw title bars; let Wine
    # draw them itself so the picture shows the window as users see it.
    subprocess.run([WINE_RUN, PREFIX, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated",
                    "/t", "REG_SZ", "/d", "N", "/f"], check=True, capture_output=True)
    ready = tmp_path / "ready.txt"
    release = tmp_path / "release"
    manifest = BUILD_DIR / "generated" / "OrvUpdaterW7.manifest"
    command = [WINE_RUN, PREFIX, str(TOOLS_DIR / "ShowProgressWindow.exe"),
               "/ready:" + windows_path(ready), "/release:" + windows_path(release),
               "/manifest:" + windows_path(manifest), "/timeout:120000"]
    tool = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        deadline = time.monotonic() + 90
        while not ready.exists():
            assert tool.poll() is None, "the tool ended early: " + tool.stderr.read().decode(errors="replace")
            assert time.monotonic() < deadline, "the window never became ready"
            time.sleep(0.1)
        placements = read_placements(ready)
        x, y, w, h = placements["window"]
        assert (w, h) == (650, 285)

        ARTIFACT.parent.mkdir(parents=True, exist_ok=True)
        # Other suites may briefly put their own windows on the same desktop:
        # take the picture again until it shows ours unobstructed.
        problems = ["not captured"]
        for _ in range(10):
            subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root",
                            "-crop", f"{w}x{h}+{x}+{y}", "+repage", str(ARTIFACT)], check=True)
            problems = problems_in(ARTIFACT, dict(placements))
            if not problems:
                break
            time.sleep(1)
        assert not problems, problems
    finally:
        release.touch()
        try:
            code = tool.wait(timeout=60)
        except subprocess.TimeoutExpired:
            # The wrapper and the Wine process it started share our new group.
            os.killpg(tool.pid, signal.SIGKILL)
            tool.wait()
            raise
    assert code == 0, tool.stderr.read().decode(errors="replace")
