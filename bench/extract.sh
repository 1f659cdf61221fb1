#!/usr/bin/env bash
# Extraction benchmark: a 200 MiB package made by Info-ZIP (about 2,000 small
# files and a few large ones) extracted by ExtractBench.exe under Wine and by
# the native `unzip -o -q`, alternating in the same run. Time ratio is ours /
# unzip (medians); peak working set is reported for this package and for one
# holding only the small files, to show memory does not grow with entry size.
# Environment (set by ./run bench): ORV_BUILD_DIR, ORV_WINE_RUN, ORV_WINEPREFIX.
#   ORV_BENCH_ROUNDS  timed runs of each side (default 5)
set -uo pipefail

BUILD=${ORV_BUILD_DIR:?}
WINE_RUN=${ORV_WINE_RUN:?}
PREFIX=${ORV_WINEPREFIX:?}
ROUNDS=${ORV_BENCH_ROUNDS:-5}
WORK=$BUILD/bench-extract
TOOL=$BUILD/tools/ExtractBench.exe

if [ ! -x "$TOOL" ] && [ ! -f "$TOOL" ]; then
    echo "ExtractBench.exe is missing: build the x86_64 test tree first"
    echo "RESULT extract ratio=nan ours=nans baseline=nans goal_max=1.25"
    exit 0
fi

# A warm wineserver for the prefix, as during the test suite: otherwise every
# run pays for starting Wine's own services on our 2 cores. It lingers 30 s
# after the last Windows program ends and then stops by itself, taking those
# services with it.
"$WINE_RUN" "$PREFIX" --init
WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -p30 >/dev/null 2>&1 || true

/usr/bin/python3 - "$WORK" "$TOOL" "$WINE_RUN" "$PREFIX" "$ROUNDS" <<'PY'
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

work, tool, wine_run, prefix, rounds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
MIB = 1024 * 1024


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def make_packages():
    """Builds the packages once; later runs reuse them."""
    big_zip = os.path.join(work, "package-200mib-v2.zip")
    small_zip = os.path.join(work, "package-small-files.zip")
    stamp = os.path.join(work, "packages-v2.ready")
    if os.path.exists(stamp):
        return big_zip, small_zip
    shutil.rmtree(work, ignore_errors=True)
    src = os.path.join(work, "src")
    rng = random.Random(7)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    for i in range(2000):
        folder = os.path.join(src, "small", "d%02d" % (i % 40))
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(4 * 1024, 60 * 1024)
        text = bytearray()
        while len(text) < size:
            text += b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
        with open(os.path.join(folder, "f%04d.txt" % i), "wb") as f:
            f.write(text[:size])
    os.makedirs(os.path.join(src, "large"), exist_ok=True)
    for i in range(4):
        # Incompressible: these make up most of the package's 200 MiB.
        with open(os.path.join(src, "large", "blob%d.bin" % i), "wb") as f:
            for _ in range(42):
                f.write(os.urandom(MIB))
    subprocess.run(["zip", "-q", "-r", "-X", big_zip, "small", "large"], cwd=src, check=True)
    subprocess.run(["zip", "-q", "-r", "-X", small_zip, "small"], cwd=src, check=True)
    shutil.rmtree(src)
    open(stamp, "w").close()
    return big_zip, small_zip


def run_ours(zip_path, dest):
    shutil.rmtree(dest, ignore_errors=True)
    report = os.path.join(work, "ours.out")
    # Output goes to a file, not a pipe: Wine's service processes inherit the
    # handles and would keep a pipe open after the program ends.
    with open(report, "w") as out:
        started = time.monotonic()
        code = subprocess.call([wine_run, prefix, tool, winpath(zip_path), winpath(dest)],
                               stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wall = time.monotonic() - started
    with open(report) as f:
        text = f.read()
    if code != 0:
        sys.exit("ExtractBench failed (%d): %s" % (code, text))
    fields = dict(item.split("=") for item in text.split() if "=" in item)
    return int(fields["elapsed_ms"]) / 1000.0, int(fields["peak_ws_kib"]) / 1024.0, wall


def run_unzip(zip_path, dest):
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    started = time.monotonic()
    child = subprocess.Popen(["unzip", "-o", "-q", zip_path, "-d", dest])
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("unzip failed")
    return wall, usage.ru_maxrss / 1024.0


def same_tree(a, b):
    result = subprocess.run(["diff", "-rq", a, b], capture_output=True)
    return result.returncode == 0


big_zip, small_zip = make_packages()
dest_ours = os.path.join(work, "out-ours")
dest_unzip = os.path.join(work, "out-unzip")
print("package: %s (%.1f MiB)" % (big_zip, os.path.getsize(big_zip) / MIB))

# One untimed round of each warms the page cache and the Wine prefix, and
# checks both sides produce the same tree.
run_ours(big_zip, dest_ours)
run_unzip(big_zip, dest_unzip)
if not same_tree(dest_ours, dest_unzip):
    sys.exit("extracted trees differ")

ours, ours_wall, base, peaks, base_rss = [], [], [], [], []
for r in range(rounds):
    seconds, peak, wall = run_ours(big_zip, dest_ours)
    ours.append(seconds)
    ours_wall.append(wall)
    peaks.append(peak)
    seconds, rss = run_unzip(big_zip, dest_unzip)
    base.append(seconds)
    base_rss.append(rss)
    print("round %d: ours %.2fs (wall with Wine start %.2fs, peak %.1f MiB)  unzip %.2fs" %
          (r + 1, ours[-1], wall, peak, seconds))
_, small_peak, _ = run_ours(small_zip, dest_ours)
shutil.rmtree(dest_ours, ignore_errors=True)
shutil.rmtree(dest_unzip, ignore_errors=True)

o = statistics.median(ours)
b = statistics.median(base)
print("RESULT extract ratio=%.2f ours=%.2fs baseline=%.2fs goal_max=1.25 ours_wall=%.2fs "
      "peak_ws_mib=%.1f peak_ws_small_files_mib=%.1f unzip_rss_mib=%.1f" %
      (o / b, o, b, statistics.median(ours_wall), max(peaks), small_peak, max(base_rss)))
PY
rc=$?
if [ $rc -ne 0 ]; then
    echo "RESULT extract ratio=nan ours=nans baseline=nans goal_max=1.25"
fi
exit 0
