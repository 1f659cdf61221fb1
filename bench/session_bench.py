#!/usr/bin/env python3
"""Whole-run benchmarks of the real updater under Wine, each against a native
baseline doing the same work in the same run, in alternating rounds.

  session_bench.py update   three packages (about 200 MiB, about 2,500 files)
      from nginx into an install folder where every file is replaced. The
      baseline: curl each ZIP, unzip it, back up each replaced file with cp,
      copy each file over its target and fsync it (the updater's copies are
      durable too). Also the updater's peak working set for the same update
      at a tenth of the size: memory must not grow with the packages.
  session_bench.py noop     an up-to-date run over 50 packages against a bare
      Wine start of a trivial program plus curl of the manifest.

Prints one line: RESULT <name> ratio=<ours/baseline> ours=<s> baseline=<s>
goal_max=<g> plus the spread of the rounds. Exits 0 whatever the result.
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("ORV_BUILD_DIR", ROOT / "build" / "x86_64"))
WINE_RUN = os.environ.get("ORV_WINE_RUN", str(ROOT / "cmake" / "wine-run.sh"))
PREFIX = os.environ.get("ORV_WINEPREFIX", str(BUILD / "wineprefix"))
EXE = BUILD / "bin" / "OrvUpdaterW7.exe"
ROUNDS = int(os.environ.get("ORV_BENCH_ROUNDS", "5"))
SERVERS = str(ROOT / "tests" / "servers" / "testservers.py")


def say(text):
    print("[bench %s] %s" % (sys.argv[1], text), file=sys.stderr, flush=True)


def winpath(path) -> str:
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def manifest(packages: dict) -> str:
    rows = "".join("    <%s>%s</%s>\r\n" % (n, v, n) for n, v in packages.items())
    return '<?xml version="1.0"?>\r\n<Updater>\r\n  <version>\r\n%s  </version>\r\n</Updater>\r\n' % rows


def layout(scale: float) -> dict:
    """{package: {relative path: size}}: one large file, and many small ones."""
    return {
        "Orvw_Lum.zip": {"Orvw_Lum.dat": int(120 * 1048576 * scale)},
        "OrvReports.zip": {"Reports/r%04d.dat" % i: 20480 for i in range(int(2000 * scale))},
        "OrvData.zip": {"Data/d%03d.dat" % i: 81920 for i in range(int(500 * scale))},
    }


def build_world(folder: Path, scale: float):
    """Packages on the server side and an install folder of old files (once)."""
    if (folder / "ready").exists():
        return
    shutil.rmtree(folder, ignore_errors=True)
    rng = random.Random(7)
    site, old = folder / "site", folder / "install-template"
    site.mkdir(parents=True)
    for package, files in layout(scale).items():
        with zipfile.ZipFile(site / package, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            for relative, size in files.items():
                z.writestr(relative, rng.randbytes(size))
                target = old / relative
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(b"old " * (size // 4))
    (site / "updater.xml").write_text(manifest({p: "2.0" for p in layout(scale)}), newline="")
    (old / "updater-w7.xml").write_text(manifest({p: "1.0" for p in layout(scale)}), newline="")
    (folder / "ready").touch()


def start_server(docroot: Path, workdir: Path) -> str:
    out = subprocess.run([sys.executable, SERVERS, "start", "--http-only", "--docroot", str(docroot), "--dir",
                          str(workdir)], check=True, capture_output=True, text=True).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)["http"]


def stop_server(workdir: Path):
    subprocess.run([sys.executable, SERVERS, "stop", "--dir", str(workdir)], capture_output=True)


def run_wine(args) -> tuple:
    """Seconds and peak resident memory (bytes) of one Windows program."""
    start = time.monotonic()
    proc = subprocess.Popen([WINE_RUN, PREFIX] + [str(a) for a in args], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        peak = max(peak, wine_peak(str(args[0])))
        time.sleep(0.02)
    seconds = time.monotonic() - start
    if proc.returncode != 0:
        raise RuntimeError("%s exited %d" % (args[0], proc.returncode))
    return seconds, peak


def wine_peak(program: str) -> int:
    """VmHWM of the Wine process running the program, 0 while not found."""
    name = os.path.basename(program).encode()
    for pid in os.listdir("/proc"):
        try:
            if pid.isdigit() and name in open("/proc/%s/cmdline" % pid, "rb").read().split(b"\0")[1]:
                for line in open("/proc/%s/status" % pid):
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) * 1024
        except (OSError, IndexError):
            pass
    return 0


def fresh_install(world: Path) -> Path:
    target = world / "install"
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(world / "install-template", target)
    subprocess.run(["sync"])
    return target


def ours_update(world: Path, url: str) -> tuple:
    install = fresh_install(world)
    result = run_wine([EXE, "/silent", "/autoinstall", "/nolaunch", "/server:" + url, "/installpath:" + winpath(install)])
    state = (install / "updater-w7.xml").read_text()
    assert state.count(">2.0<") == 3, "the updater did not install every package"
    return result


def baseline_update(world: Path, url: str) -> float:
    install = fresh_install(world)
    work = world / "baseline"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir()
    start = time.monotonic()
    for package in layout(1):
        subprocess.run(["curl", "-s", "-f", "-o", str(work / package), url + package], check=True)
        extract = work / ("x-" + package)
        subprocess.run(["unzip", "-q", "-o", str(work / package), "-d", str(extract)], check=True)
        relatives = [str(p.relative_to(extract)) for p in extract.rglob("*") if p.is_file()]
        (install / "backup").mkdir(exist_ok=True)
        subprocess.run(["xargs", "-0", "cp", "--parents", "-t", str(install / "backup")],
                       input="\0".join(relatives).encode(), cwd=install, check=True)
        for relative in relatives:
            with open(extract / relative, "rb") as fin, open(install / relative, "wb") as fout:
                shutil.copyfileobj(fin, fout, 1048576)
                fout.flush()
                os.fsync(fout.fileno())
    return time.monotonic() - start


def bench_update():
    world = BUILD / "bench-update"
    small = BUILD / "bench-update-small"
    build_world(world, 1.0)
    build_world(small, 0.1)
    servers = BUILD / "bench-update-servers"
    url = start_server(world / "site", servers / "big")
    url_small = start_server(small / "site", servers / "small")
    try:
        ours, base, peaks = [], [], []
        for round_ in range(ROUNDS):
            b = baseline_update(world, url)
            o, peak = ours_update(world, url)
            ours.append(o)
            base.append(b)
            peaks.append(peak)
            say("round %d: ours %.2fs (peak %.1f MiB), baseline %.2fs" % (round_ + 1, o, peak / 1048576, b))
        _, peak_small = ours_update(small, url_small)
    finally:
        stop_server(servers / "big")
        stop_server(servers / "small")
    # Peak resident memory of the Wine process as Linux sees it (VmHWM).
    report("update", ours, base, 1.5, "peak_ws_mib=%.1f peak_ws_20mib_update_mib=%.1f" % (
        max(peaks) / 1048576, peak_small / 1048576))


def bench_noop():
    world = BUILD / "bench-noop"
    shutil.rmtree(world, ignore_errors=True)
    install, site = world / "install", world / "site" / "ORVW"
    install.mkdir(parents=True)
    site.mkdir(parents=True)
    packages = {"Pkg%02d.zip" % i: "3.%d" % i for i in range(50)}
    for name in packages:
        (install / (name[:-4] + ".dll")).write_bytes(b"installed")
    (install / "updater-w7.xml").write_text(manifest(packages), newline="")
    (site / "updater.xml").write_text(manifest(packages), newline="")
    servers = world / "servers"
    url = start_server(world / "site", servers) + "ORVW/"
    # A trivial program that writes one small file (its start record) beside itself.
    trivial = world / "trivial.exe"
    shutil.copyfile(BUILD / "tools" / "LaunchRecorder.exe", trivial)
    try:
        ours, base = [], []
        for round_ in range(ROUNDS + 2):
            start = time.monotonic()
            run_wine([trivial])
            subprocess.run(["curl", "-s", "-f", "-o", str(world / "m.xml"), url + "updater.xml"], check=True)
            b = time.monotonic() - start
            o, _ = run_wine([EXE, "/silent", "/nolaunch", "/server:" + url, "/installpath:" + winpath(install)])
            if round_ >= 2:  # the first rounds warm Wine and the page cache
                ours.append(o)
                base.append(b)
                say("round %d: ours %.3fs, baseline %.3fs" % (round_ - 1, o, b))
        log = (install / "updater-w7-trace.log").read_text(encoding="utf-8")
        assert log.count("Package current | ") == 50 * (ROUNDS + 2), "every package must be found current"
    finally:
        stop_server(servers)
    report("noop", ours, base, 2, "packages=50")


def report(name, ours, base, goal, extra):
    o, b = statistics.median(ours), statistics.median(base)
    print("RESULT %s ratio=%.2f ours=%.3fs baseline=%.3fs goal_max=%s rounds=%d ours_range=%.3f..%.3f "
          "baseline_range=%.3f..%.3f %s" % (name, o / b, o, b, goal, len(ours), min(ours), max(ours), min(base),
                                            max(base), extra))


if __name__ == "__main__":
    try:
        {"update": bench_update, "noop": bench_noop}[sys.argv[1]]()
    except Exception as error:  # a benchmark reports; it does not judge
        say("failed: %s" % error)
        print("RESULT %s ratio=0 ours=0s baseline=0s goal_max=%s error=%s" % (
            sys.argv[1], {"update": 1.5, "noop": 2}[sys.argv[1]], type(error).__name__))
