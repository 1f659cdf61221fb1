#!/usr/bin/env python3
"""Whole-run benchmarks of the real updater under Wine, each measured in the
same run as its baselines, in alternating rounds (medians of at least 7).

The first baseline of each is the bare updater (bench/programs/BareUpdater.cpp):
plain Win32 and miniz doing the same run with the calls every step of the
run names and no more. Under Wine it is the ceiling a program that does what
the updater must do can reach, so the updater must come in under it.

  session_bench.py update    three packages (about 200 MiB, about 2,500 files)
      from nginx into an install folder where every file is replaced.
      RESULT update ratio=<ours/bare> native_ratio=<ours/native> ...: native
      is curl, unzip, a cp backup and an fsynced copy of every file. Checks
      once that the bare updater leaves the install folder exactly as ours
      does; reports ours' peak memory, also for an update ten times smaller.
  session_bench.py noop      an up-to-date run over 50 packages.
      RESULT noop ratio=<ours/bare> native_ratio=<ours/(trivial program + curl)>
  session_bench.py pipeline  three packages of about 64 MiB each from nginx
      limited to the rate at which downloading takes about as long as
      installing. RESULT pipeline ratio=<overlapped/sequential>: overlapped
      is one run of ours; sequential is the same update made by three runs of
      ours, one package each, so no download can overlap an install.

Every round is timed to the exit of the Windows process itself: Wine is
started directly and waited for, never polled. Exits 0 whatever the result.
"""
import hashlib
import os
import random
import shutil
import socket
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
WINE = os.environ.get("ORV_WINE", "/usr/lib/wine/wine64")
# ORV_BENCH_EXE: another build of ours to measure (an older one, say) against
# the same baselines.
EXE = Path(os.environ.get("ORV_BENCH_EXE", BUILD / "bin" / "OrvUpdaterW7.exe"))
BARE = BUILD / "tools" / "BareUpdater.exe"
ROUNDS = max(7, int(os.environ.get("ORV_BENCH_ROUNDS", "7")))
SERVERS = str(ROOT / "tests" / "servers" / "testservers.py")
GOALS = {"update": 0.95, "noop": 0.85, "pipeline": 0.7}


def say(text):
    print("[bench %s] %s" % (sys.argv[1], text), file=sys.stderr, flush=True)


def winpath(path) -> str:
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def wine_env() -> dict:
    """What cmake/wine-run.sh gives a program, without its shell in between."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", TMPDIR=PREFIX + ".tmp")
    return env


def run_windows(args) -> tuple:
    """Seconds to the program's exit and its peak resident memory (bytes)."""
    start = time.monotonic()
    proc = subprocess.Popen([WINE] + [str(a) for a in args], env=wine_env(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s exited %d" % (Path(str(args[0])).name, proc.returncode))
    return seconds, usage.ru_maxrss * 1024


def start_wineserver():
    """A warm, persistent wineserver for the whole benchmark (stopped by pid)."""
    subprocess.run([WINE_RUN, PREFIX, "--init"], check=True)
    server = subprocess.Popen([WINE_RUN, PREFIX, "--server"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run_windows([BUILD / "tools" / "LaunchRecorder.exe"])  # warms the prefix's DLLs
    return server


def manifest(packages: dict) -> str:
    rows = "".join("    <%s>%s</%s>\r\n" % (n, v, n) for n, v in packages.items())
    return '<?xml version="1.0"?>\r\n<Updater>\r\n  <version>\r\n%s  </version>\r\n</Updater>\r\n' % rows


def build_world(folder: Path, files_of: dict):
    """Packages on the server side and an install folder of old files (once)."""
    if (folder / "ready").exists():
        return
    shutil.rmtree(folder, ignore_errors=True)
    rng = random.Random(7)
    site, old = folder / "site", folder / "install-template"
    site.mkdir(parents=True)
    for package, files in files_of.items():
        with zipfile.ZipFile(site / package, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            for relative, size in files.items():
                z.writestr(relative, rng.randbytes(size))
                target = old / relative
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(b"old " * (size // 4))
    (site / "updater.xml").write_text(manifest({p: "2.0" for p in files_of}), newline="")
    (old / "updater-w7.xml").write_text(manifest({p: "1.0" for p in files_of}), newline="")
    (folder / "ready").touch()


def start_server(docroot: Path, workdir: Path) -> str:
    out = subprocess.run([sys.executable, SERVERS, "start", "--http-only", "--docroot", str(docroot), "--dir",
                          str(workdir)], check=True, capture_output=True, text=True).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)["http"]


def stop_server(workdir: Path):
    subprocess.run([sys.executable, SERVERS, "stop", "--dir", str(workdir)], capture_output=True)


def fresh_install(world: Path, name: str) -> Path:
    target = world / name
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(world / "install-template", target)
    subprocess.run(["sync"])
    return target


def run_update(program: Path, install: Path, url: str) -> tuple:
    return run_windows([program, "/silent", "/autoinstall", "/nolaunch", "/server:" + url,
                        "/installpath:" + winpath(install)])


def tree(folder: Path) -> dict:
    """{relative path: SHA-256} of every file but the trace log."""
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file() and p.name != "updater-w7-trace.log"}


def trace_lines(folder: Path) -> int:
    return (folder / "updater-w7-trace.log").read_bytes().count(b"\r\n")


def same_result(ours: Path, bare: Path) -> str:
    a, b = tree(ours), tree(bare)
    for path in sorted(set(a) | set(b)):
        if a.get(path) != b.get(path):
            say("results differ at %s (ours %s, bare %s)" % (path, a.get(path, "-")[:12], b.get(path, "-")[:12]))
            return "no"
    return "yes"


def median_range(name: str, values: list) -> str:
    return "%s=%.3fs %s_range=%.3f..%.3f" % (name, statistics.median(values), name, min(values), max(values))


def update_layout(scale: float) -> dict:
    """{package: {relative path: size}}: one large file, and many small ones."""
    return {
        "Orvw_Lum.zip": {"Orvw_Lum.dat": int(120 * 1048576 * scale)},
        "OrvReports.zip": {"Reports/r%04d.dat" % i: 20480 for i in range(int(2000 * scale))},
        "OrvData.zip": {"Data/d%03d.dat" % i: 81920 for i in range(int(500 * scale))},
    }


def native_update(world: Path, url: str) -> float:
    install = fresh_install(world, "install-native")
    work = world / "native"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir()
    start = time.monotonic()
    for package in update_layout(1):
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
    world, small = BUILD / "bench-update", BUILD / "bench-update-small"
    build_world(world, update_layout(1.0))
    build_world(small, update_layout(0.1))
    servers = BUILD / "bench-update-servers"
    url = start_server(world / "site", servers / "big")
    url_small = start_server(small / "site", servers / "small")
    wineserver = start_wineserver()
    times = {"ours": [], "bare": [], "native": []}
    try:
        peaks, same, lines = [], "unchecked", ""
        for round_ in range(ROUNDS):
            # Each round starts with another of the three, so none always
            # meets the page cache the same way.
            order = ["ours", "bare", "native"][round_ % 3:] + ["ours", "bare", "native"][:round_ % 3]
            for who in order:
                if who == "native":
                    times[who].append(native_update(world, url))
                    continue
                install = fresh_install(world, "install-" + who)
                seconds, peak = run_update(EXE if who == "ours" else BARE, install, url)
                times[who].append(seconds)
                if who == "ours":
                    peaks.append(peak)
                    assert (install / "updater-w7.xml").read_text().count(">2.0<") == 3, "ours did not install all"
            if round_ == 0:
                same = same_result(world / "install-ours", world / "install-bare")
                lines = "trace_lines=%d bare_trace_lines=%d" % (trace_lines(world / "install-ours"),
                                                               trace_lines(world / "install-bare"))
            say("round %d: %s" % (round_ + 1, ", ".join("%s %.2fs" % (w, times[w][-1]) for w in order)))
        _, peak_small = run_update(EXE, fresh_install(small, "install-ours"), url_small)
    finally:
        stop_server(servers / "big")
        stop_server(servers / "small")
        wineserver.terminate()
    report("update", times, "same_result=%s %s peak_ws_mib=%.1f peak_ws_20mib_update_mib=%.1f" % (
        same, lines, max(peaks) / 1048576, peak_small / 1048576))


def noop_world(world: Path, name: str) -> Path:
    install = world / name
    install.mkdir(parents=True)
    packages = {"Pkg%02d.zip" % i: "3.%d" % i for i in range(50)}
    for package in packages:
        (install / (package[:-4] + ".dll")).write_bytes(b"installed")
    (install / "updater-w7.xml").write_text(manifest(packages), newline="")
    return install


def bench_noop():
    world = BUILD / "bench-noop"
    shutil.rmtree(world, ignore_errors=True)
    installs = {"ours": noop_world(world, "install-ours"), "bare": noop_world(world, "install-bare")}
    site = world / "site" / "ORVW"
    site.mkdir(parents=True)
    shutil.copyfile(installs["ours"] / "updater-w7.xml", site / "updater.xml")
    servers = world / "servers"
    url = start_server(world / "site", servers) + "ORVW/"
    # The native side: a trivial program that writes one small file (its
    # start record) beside itself, plus curl of the manifest.
    trivial = world / "trivial.exe"
    shutil.copyfile(BUILD / "tools" / "LaunchRecorder.exe", trivial)
    wineserver = start_wineserver()
    times = {"ours": [], "bare": [], "native": []}
    try:
        for round_ in range(ROUNDS + 2):
            order = ["ours", "bare", "native"][round_ % 3:] + ["ours", "bare", "native"][:round_ % 3]
            seconds = {}
            for who in order:
                if who == "native":
                    start = time.monotonic()
                    run_windows([trivial])
                    subprocess.run(["curl", "-s", "-f", "-o", str(world / "m.xml"), url + "updater.xml"], check=True)
                    seconds[who] = time.monotonic() - start
                else:
                    seconds[who] = run_windows([EXE if who == "ours" else BARE, "/silent", "/nolaunch",
                                                "/server:" + url, "/installpath:" + winpath(installs[who])])[0]
            if round_ >= 2:  # the first rounds warm Wine and the page cache
                for who in order:
                    times[who].append(seconds[who])
                say("round %d: %s" % (round_ - 1, ", ".join("%s %.3fs" % (w, seconds[w]) for w in order)))
        for who, install in installs.items():
            log = (install / "updater-w7-trace.log").read_text(encoding="utf-8")
            assert log.count("Package current | ") == 50 * (ROUNDS + 2), "%s must find every package current" % who
        same = "yes" if (installs["ours"] / "updater-w7.xml").read_bytes() == (
            installs["bare"] / "updater-w7.xml").read_bytes() else "no"
    finally:
        stop_server(servers)
        wineserver.terminate()
    report("noop", times, "same_result=%s packages=50" % same)


# ---- pipeline ------------------------------------------------------------

NGINX_CONF = """\
daemon off; master_process off; worker_processes 1; pid {d}/nginx.pid; error_log {d}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off; default_type application/octet-stream; sendfile on;
    client_body_temp_path {d}/body; proxy_temp_path {d}/proxy; fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi; scgi_temp_path {d}/scgi;
    server {{ listen 127.0.0.1:{port}; root {root}; limit_rate {rate}; }}
}}
"""


def start_limited_nginx(docroot: Path, workdir: Path, rate: int) -> tuple:
    """nginx serving docroot at rate bytes per second per connection (0: no limit)."""
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    (workdir / "nginx.conf").write_text(NGINX_CONF.format(d=workdir, port=port, root=docroot, rate=rate))
    proc = subprocess.Popen(["/usr/sbin/nginx", "-p", str(workdir), "-e", str(workdir / "error.log"), "-c",
                             str(workdir / "nginx.conf")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, "http://127.0.0.1:%d/" % port
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("nginx did not start")


def pipeline_layout() -> dict:
    """Three like packages: a large file and many middling ones each, in a
    folder named after the package, so that a run finds it installed."""
    return {"Pipe%s.zip" % p: dict({"Pipe%s/big.dat" % p: 24 * 1048576},
                                   **{"Pipe%s/f%03d.dat" % (p, i): 81920 for i in range(500)}) for p in "ABC"}


def pipeline_sites(world: Path):
    """site/all: the manifest of the whole update; site/stepN: the manifest
    that makes only the first N packages new (the packages are links)."""
    names = list(pipeline_layout())
    for step in range(1, 4):
        folder = world / "site" / ("step%d" % step)
        if folder.exists():
            continue
        folder.mkdir()
        for name in names:
            (folder / name).symlink_to(world / "site" / name)
        versions = {n: ("2.0" if i < step else "1.0") for i, n in enumerate(names)}
        (folder / "updater.xml").write_text(manifest(versions), newline="")


def bench_pipeline():
    world = BUILD / "bench-pipeline"
    build_world(world, pipeline_layout())
    pipeline_sites(world)
    total = sum(os.path.getsize(world / "site" / n) for n in pipeline_layout())
    wineserver = start_wineserver()
    nginx = None
    try:
        # How long installing takes when downloading costs next to nothing;
        # the rate makes the downloads of the update take as long.
        nginx, url = start_limited_nginx(world / "site", world / "nginx", 0)
        install_alone = statistics.median(
            [run_update(EXE, fresh_install(world, "install"), url)[0] for _ in range(3)])
        nginx.kill()
        nginx.wait()
        rate = int(total / install_alone)
        nginx, url = start_limited_nginx(world / "site", world / "nginx", rate)
        start = time.monotonic()
        for name in pipeline_layout():
            subprocess.run(["curl", "-s", "-f", "-o", os.devnull, url + name], check=True)
        download_alone = time.monotonic() - start
        say("install alone %.2fs, download alone %.2fs at %d KiB/s" % (install_alone, download_alone, rate // 1024))
        times = {"overlapped": [], "sequential": []}
        for round_ in range(ROUNDS):
            order = ["overlapped", "sequential"] if round_ % 2 == 0 else ["sequential", "overlapped"]
            for who in order:
                install = fresh_install(world, "install")
                if who == "overlapped":
                    times[who].append(run_update(EXE, install, url)[0])
                else:
                    times[who].append(sum(run_update(EXE, install, url + "step%d/" % s)[0] for s in (1, 2, 3)))
                assert (install / "updater-w7.xml").read_text().count(">2.0<") == 3, "%s did not install all" % who
            say("round %d: %s" % (round_ + 1, ", ".join("%s %.2fs" % (w, times[w][-1]) for w in order)))
    finally:
        if nginx is not None:
            nginx.kill()
            nginx.wait()
        wineserver.terminate()
    o, s = statistics.median(times["overlapped"]), statistics.median(times["sequential"])
    print("RESULT pipeline ratio=%.2f %s %s goal_max=%s rounds=%d rate_kib_s=%d install_alone=%.2fs "
          "download_alone=%.2fs mib=%.0f" % (o / s, median_range("overlapped", times["overlapped"]),
                                              median_range("sequential", times["sequential"]), GOALS["pipeline"],
                                              ROUNDS, rate // 1024, install_alone, download_alone,
                                              total / 1048576))


def report(name, times, extra):
    o, b, n = (statistics.median(times[w]) for w in ("ours", "bare", "native"))
    print("RESULT %s ratio=%.2f native_ratio=%.2f %s %s %s goal_max=%s rounds=%d %s" % (
        name, o / b, o / n, median_range("ours", times["ours"]), median_range("bare", times["bare"]),
        median_range("native", times["native"]), GOALS[name], len(times["ours"]), extra))


if __name__ == "__main__":
    try:
        {"update": bench_update, "noop": bench_noop, "pipeline": bench_pipeline}[sys.argv[1]]()
    except Exception as error:  # a benchmark reports; it does not judge
        say("failed: %s" % error)
        print("RESULT %s ratio=0 goal_max=%s error=%s" % (sys.argv[1], GOALS[sys.argv[1]], type(error).__name__))
