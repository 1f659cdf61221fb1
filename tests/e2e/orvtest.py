"""Support for the end-to-end scenarios: the built updater under Wine, driven
from outside the way a user or an IT script drives it (command line, files,
exit code, trace log, message boxes), against nginx on loopback."""
import os
import re
import signal
import subprocess
import tempfile
import time
import zipfile
from pathlib import Path

BUILD_DIR = Path(os.environ.get("ORV_BUILD_DIR", "."))
TOOLS_DIR = Path(os.environ.get("ORV_TEST_TOOLS_DIR", BUILD_DIR / "tools"))
EXE = Path(os.environ.get("ORV_TEST_EXE", BUILD_DIR / "bin" / "OrvUpdaterW7.exe"))
WINE_RUN = os.environ.get("ORV_WINE_RUN", "")
PREFIX = os.environ.get("ORV_WINEPREFIX", "")
SERVERS_FILE = os.environ.get("ORV_TEST_SERVERS_FILE", "")

TRACE = "updater-w7-trace.log"
LINE = re.compile(r"^(INFO|WARN|FAIL) \| Seq=(\d+) \| \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| (.*)$")


def winpath(path) -> str:
    """The Windows view of a Unix path (Wine's Z: drive)."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def wine(args, timeout=120) -> subprocess.CompletedProcess:
    """Runs a Windows program of the build; a program still running after
    `timeout` seconds is killed with its whole process group and the test
    fails, so no scenario can hang the suite."""
    proc = wine_start(args)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        raise AssertionError("timed out after %ss: %s" % (timeout, " ".join(map(str, args))))
    return subprocess.CompletedProcess(args, proc.returncode, output_of(proc))


def wine_start(args) -> subprocess.Popen:
    # Output goes to a file, never a pipe: Wine's background processes
    # (the desktop, services) may inherit it and outlive the program, and a
    # pipe would then never reach its end.
    output = tempfile.TemporaryFile()
    proc = subprocess.Popen([WINE_RUN, PREFIX] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                            stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
    proc.output_file = output
    return proc


def output_of(proc) -> str:
    proc.output_file.seek(0)
    return proc.output_file.read().decode("utf-8", "replace")


def kill_group(proc: subprocess.Popen):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def run_updater(*args, exe=EXE, timeout=120) -> int:
    """Runs the updater with the given arguments and returns its exit code."""
    return wine([exe] + list(args), timeout=timeout).returncode


def trace(folder, name=TRACE) -> list:
    """The trace log of an install folder as (level, seq, message) tuples; a
    message may span lines (attempt summaries do)."""
    path = Path(folder) / name
    if not path.exists():
        return []
    raw = path.read_bytes()
    assert not raw.startswith(b"\xef\xbb\xbf"), "the trace log carries no byte-order mark"
    assert raw == b"" or raw.endswith(b"\r\n"), "every trace line ends in CR LF"
    lines = []
    for text in raw.decode("utf-8").split("\r\n")[:-1]:
        match = LINE.match(text)
        if match:
            lines.append([match.group(1), int(match.group(2)), match.group(3)])
        else:
            assert lines, "the trace log starts with a malformed line: %r" % text
            lines[-1][2] += "\r\n" + text
    return [tuple(line) for line in lines]


def runs(folder, name=TRACE) -> list:
    """The trace log cut into runs: each starts at its "Session start" line."""
    result = []
    for level, seq, message in trace(folder, name):
        if message.startswith("Session start | "):
            assert seq == 1, "a run's first line has Seq=1"
            result.append([])
        assert result, "a line before any session start: %r" % message
        result[-1].append((level, message))
    return result


def last_run(folder) -> list:
    found = runs(folder)
    assert found, "no run in the trace log of %s" % folder
    return found[-1]


def messages(run, level=None) -> list:
    return [m for lv, m in run if level is None or lv == level]


def find(run, prefix, level=None) -> list:
    return [m for lv, m in run if m.startswith(prefix) and (level is None or lv == level)]


def read_endpoints() -> dict:
    assert SERVERS_FILE, "ORV_TEST_SERVERS_FILE is not set: run the suite through ./run test"
    values = {}
    with open(SERVERS_FILE) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            values[key] = value
    return values


def write_manifest(path, packages: dict, text=None):
    """A server manifest listing packages {name: version}."""
    if text is None:
        entries = "".join("    <%s>%s</%s>\r\n" % (n, v, n) for n, v in packages.items())
        text = '<?xml version="1.0"?>\r\n<Updater>\r\n  <version>\r\n%s  </version>\r\n</Updater>\r\n' % entries
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(text, encoding="utf-8", newline="")


def read_state(path) -> dict:
    """A state document as {name: version}, in document order."""
    text = Path(path).read_bytes().decode("utf-8")
    return dict(re.findall(r"^    <([^ >]+)[^>]*>([^<]*)</\1>\r$", text, re.M))


def make_zip(path, files: dict):
    """A package ZIP holding {relative name: bytes or text}."""
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data if isinstance(data, bytes) else data.encode("utf-8"))


class BoxAnswerer:
    """Reads and answers message boxes of one caption while the updater runs:
    start it before the updater, then `finish()` returns one dict per box."""

    def __init__(self, folder, press="default", caption=None, count=1, timeout_ms=20000):
        self.out = Path(folder) / ("boxes-%d.txt" % time.monotonic_ns())
        args = [TOOLS_DIR / "BoxAnswerer.exe", "/press:" + press, "/count:%d" % count,
                "/timeout:%d" % timeout_ms, "/out:" + winpath(self.out)]
        if caption is not None:
            args.append("/caption:" + caption)
        self.proc = wine_start(args)

    def finish(self, timeout=60) -> list:
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(self.proc)
            raise AssertionError("the box answerer hung: " + output_of(self.proc))
        if not self.out.exists():
            return []
        boxes = []
        for block in self.out.read_text(encoding="utf-8").split("\n\n"):
            record = {}
            for line in block.splitlines():
                key, _, value = line.partition("=")
                record[key] = re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r"}.get(m.group(1), m.group(1)), value)
            if record:
                boxes.append(record)
        return boxes

    def stop(self):
        if self.proc.poll() is None:
            kill_group(self.proc)


def tree(folder) -> dict:
    """Every file below folder as {relative posix path: bytes}."""
    root = Path(folder)
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}
