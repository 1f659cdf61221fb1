"""Support for the end-to-end scenarios: the built updater under Wine, driven
from outside the way a user or an IT script drives it (command line, files,
exit code, trace log, message boxes), against nginx on loopback."""
import datetime
import os
import re
import signal
import subprocess
import tempfile
import time
import urllib.request
import zipfile
from pathlib import Path

BUILD_DIR = Path(os.environ.get("ORV_BUILD_DIR", "."))
TOOLS_DIR = Path(os.environ.get("ORV_TEST_TOOLS_DIR", BUILD_DIR / "tools"))
EXE = Path(os.environ.get("ORV_TEST_EXE", BUILD_DIR / "bin" / "OrvUpdaterW7.exe"))
# A DLL that leaves "<its path>.loaded" beside itself when loaded.
PLANTED_DLL = Path(os.environ.get("ORV_TEST_FIXTURES_DIR", BUILD_DIR / "fixtures")) / "planted" / "version.dll"
WINE_RUN = os.environ.get("ORV_WINE_RUN", "")
PREFIX = os.environ.get("ORV_WINEPREFIX", "")
SERVERS_FILE = os.environ.get("ORV_TEST_SERVERS_FILE", "")
PUBLISH_TOOL = os.environ.get("ORV_PUBLISH_TOOL", str(BUILD_DIR.parent / "native" / "orvpublish"))
SIGNING_KEY = Path(os.environ.get("ORV_TEST_SIGNING_KEY", BUILD_DIR / "testkey" / "private.pem"))

TRACE = "updater-w7-trace.log"
LINE = re.compile(r"^(INFO|WARN|FAIL) \| Seq=(\d+) \| (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \| (.*)$")
RUN_ONCE = r"HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce"
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"


def winpath(path) -> str:
    """The Windows view of a Unix path (Wine's Z: drive)."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def unixpath(text) -> Path:
    """The Unix path of a Windows path on Wine's Z: drive."""
    assert text.startswith("Z:\\"), text
    return Path(text[2:].replace("\\", "/"))


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


def wine_start(args, stdin=subprocess.DEVNULL) -> subprocess.Popen:
    # Output goes to a file, never a pipe: Wine's background processes
    # (the desktop, services) may inherit it and outlive the program, and a
    # pipe would then never reach its end.
    output = tempfile.TemporaryFile()
    proc = subprocess.Popen([WINE_RUN, PREFIX] + [str(a) for a in args], stdin=stdin, stdout=output,
                            stderr=subprocess.STDOUT, start_new_session=True)
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


def wait_until(condition, what, timeout=60):
    """For effects of processes nobody waits for."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "gave up waiting for " + what
        time.sleep(0.05)


def _lines(folder, name):
    """The trace log as [level, seq, time, message]; every line is one event."""
    path = Path(folder) / name
    raw = path.read_bytes() if path.exists() else b""
    assert not raw.startswith(b"\xef\xbb\xbf"), "the trace log carries no byte-order mark"
    assert raw == b"" or raw.endswith(b"\r\n"), "every trace line ends in CR LF"
    lines = []
    for text in raw.decode("utf-8").split("\r\n")[:-1]:
        match = LINE.match(text)
        assert match, "a trace line that is not one whole event: %r" % text
        lines.append([match.group(1), int(match.group(2)), match.group(3), match.group(4)])
    return lines


def logged(text) -> str:
    """A message as the trace log writes it: line breaks escaped."""
    return text.replace("\r", "\\r").replace("\n", "\\n")


def runs(folder, name=TRACE, timed=False) -> list:
    """The trace log cut into runs: each starts at its "Session start" line
    and is a list of (level, message), or (time, level, message) when timed."""
    result = []
    for level, seq, stamp, message in _lines(folder, name):
        if message.startswith("Session start | "):
            assert seq == 1, "a run's first line has Seq=1"
            result.append([])
        assert result, "a line before any session start: %r" % message
        when = datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f")
        result[-1].append((when, level, message) if timed else (level, message))
    return result


def last_run(folder, timed=False) -> list:
    found = runs(folder, timed=timed)
    assert found, "no run in the trace log of %s" % folder
    return found[-1]


def find(run, prefix, level=None) -> list:
    return [m for lv, m in run if m.startswith(prefix) and (level is None or lv == level)]


def read_endpoints() -> dict:
    assert SERVERS_FILE, "ORV_TEST_SERVERS_FILE is not set: run the suite through ./run test"
    with open(SERVERS_FILE) as f:
        return dict(line.strip().partition("=")[::2] for line in f)


def ask_fault_server(endpoints, route) -> bool:
    """Asks the fault server about a gate ("arrived?name=X", "open?name=X")."""
    with urllib.request.urlopen(endpoints["fault"] + route, timeout=90) as answer:
        return answer.status == 200


def write_manifest(path, packages: dict):
    """A server manifest listing packages {name: version}."""
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


def publish(folder, packages: dict):
    """Serves {zip name: (version, {relative path: content})} and its manifest from folder."""
    for name, (_, files) in packages.items():
        make_zip(Path(folder) / name, files)
    write_manifest(Path(folder) / "updater.xml", {n: v for n, (v, _) in packages.items()})


def orvpublish(*args) -> subprocess.CompletedProcess:
    return subprocess.run([PUBLISH_TOOL] + [str(a) for a in args], capture_output=True, text=True, timeout=300)


def build_site(release, layout, site, *options, key=SIGNING_KEY) -> subprocess.CompletedProcess:
    """orvpublish build of a release folder with the layout text."""
    (Path(release) / "layout.txt").write_text(layout)
    return orvpublish("build", "--layout", Path(release) / "layout.txt", "--release", Path(release) / "files",
                      "--site", site, "--key", key, *options)


def publish_signed(folder, packages: dict, *options, key=SIGNING_KEY):
    """A signed site in folder of {zip name: (version, {relative path: content})}."""
    with tempfile.TemporaryDirectory() as release:
        layout = ""
        for name, (version, files) in packages.items():
            write_files(Path(release) / "files", files)
            layout += "package %s\nversion %s\n%s\n" % (name, version, "".join("files %s\n" % f for f in files))
        built = build_site(release, layout, folder, *options, key=key)
    assert built.returncode == 0, built.stderr


def write_files(root, files: dict):
    for relative, content in files.items():
        path = Path(root) / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())


def tree(folder) -> dict:
    """Every file below folder as {relative posix path: bytes}."""
    root = Path(folder)
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def started(program) -> list:
    """The starts a LaunchRecorder copy recorded: [(working folder, command line)]."""
    path = Path(str(program) + ".launched")
    lines = path.read_bytes().decode("utf-8").splitlines() if path.exists() else []
    return [tuple(line.split("|", 1)) for line in lines]


def clear_reboot_registry():
    """Clears our RunOnce value and the delayed moves (a later wineserver start would carry them out)."""
    wine(["reg", "delete", SESSION_MANAGER, "/v", "PendingFileRenameOperations", "/f"])
    wine(["reg", "delete", RUN_ONCE, "/v", "OrvUpdaterW7Finish", "/f"])


def split_command(command) -> list:
    """A command line split as Windows splits it (no escaped quotes inside)."""
    return [t.replace('"', "") for t in re.findall(r'(?:[^\s"]|"[^"]*")+', command)]


def registry_value(key, name):
    """The data of a registry value as `reg query` shows it, or None."""
    for line in wine(["reg", "query", key, "/v", name]).stdout.splitlines():
        fields = line.strip().split("    ", 2)
        if len(fields) == 3 and fields[0] == name:
            return fields[2]
    return None


class Holder:
    """A running Windows process, holding `path` open with the given share
    mode when one is given, until `release()` (or the end of a with block)."""

    def __init__(self, work, path=None, share=0, exe=TOOLS_DIR / "HoldOpen.exe"):
        pid_file = Path(work) / ("holder-%d.pid" % time.monotonic_ns())
        self.proc = wine_start([exe, winpath(pid_file)] + ([winpath(path), share] if path else []),
                               stdin=subprocess.PIPE)
        wait_until(lambda: pid_file.exists() or self.proc.poll() is not None, "the holder to start")
        assert self.proc.poll() is None, "HoldOpen could not start (exit %d)" % self.proc.returncode
        self.pid = int(pid_file.read_text())

    def release(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.proc.poll() is None:
            kill_group(self.proc)


class BoxAnswerer:
    """Reads and answers a message box of one caption (or reads a window of
    another class) while the updater runs: start it before the box shows,
    then `finish()` returns the records of the boxes it answered."""

    def __init__(self, folder, press, caption=None, window_class=None, timeout_ms=20000):
        self.out = Path(folder) / ("boxes-%d.txt" % time.monotonic_ns())
        args = [TOOLS_DIR / "BoxAnswerer.exe", "/press:" + press, "/timeout:%d" % timeout_ms,
                "/out:" + winpath(self.out)]
        args += (["/caption:" + caption] if caption is not None else []) + (
            ["/class:" + window_class] if window_class else [])
        self.proc = wine_start(args)

    def finish(self, timeout=60) -> list:
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(self.proc)
            raise AssertionError("the box answerer hung: " + output_of(self.proc))
        if not self.out.exists():
            return []
        record = {"controls": []}
        for line in self.out.read_text(encoding="utf-8").splitlines():
            key, _, value = line.partition("=")
            value = re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r"}.get(m.group(1), m.group(1)), value)
            if key == "control":
                record["controls"].append(value.split("|", 4))
            else:
                record[key] = value
        return [record]
