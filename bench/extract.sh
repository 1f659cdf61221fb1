#!/usr/bin/env bash
# Extraction benchmark. Two packages made by Info-ZIP: 200 MiB (about 2,000
# small files and a few large ones) and the 2,000 small files alone. Each is
# extracted by ExtractBench.exe under Wine (the updater's extraction, which
# flushes every file before it counts it) and by the native baseline doing the
# same durable work: `unzip -o -q`, then an fsync of every extracted file.
# Plain `unzip` (nothing flushed) is an extra figure. The three sides take
# turns in every round, in a rotating order, and the medians count; the
# ratio's spread over the rounds is printed too.
#
# Where the time goes: every round also runs ExtractBench --stages, bare loops
# of the calls extraction makes (inflate and CRC into nothing; folders;
# create, seek where a piece does not follow on, write, flush, size check,
# close per file), and replays the
# same calls natively from the plan it writes, so Wine's own cost per call
# stands beside ours. What the bare loops do not explain is the per-entry
# overhead of the extraction itself ("rest").
# Environment (set by ./run bench): ORV_BUILD_DIR, ORV_WINE_RUN, ORV_WINEPREFIX.
#   ORV_BENCH_ROUNDS  rounds (default 5, at least 5)
set -uo pipefail

BUILD=${ORV_BUILD_DIR:?}
WINE_RUN=${ORV_WINE_RUN:?}
PREFIX=${ORV_WINEPREFIX:?}
ROUNDS=${ORV_BENCH_ROUNDS:-5}
[ "$ROUNDS" -ge 5 ] 2>/dev/null || ROUNDS=5
WORK=$BUILD/bench-extract
TOOL=$BUILD/tools/ExtractBench.exe

if [ ! -f "$TOOL" ]; then
    echo "ExtractBench.exe is missing: build the x86_64 test tree first"
    echo "RESULT extract ratio=nan ours=nans baseline=nans goal_max=1.25"
    exit 0
fi

# A warm wineserver for the prefix, as during the test suite: otherwise every
# run pays for starting Wine's own services on our 2 cores. It lingers 60 s
# after the last Windows program ends and then stops by itself, taking those
# services with it.
"$WINE_RUN" "$PREFIX" --init
WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -p60 >/dev/null 2>&1 || true

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
STAGES = ["inflate", "folders", "create", "seek", "write", "flush", "close", "verify"]


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


def fresh(dest):
    """Removes the last output and writes back everything dirty, so no side
    pays for the one before it."""
    shutil.rmtree(dest, ignore_errors=True)
    os.sync()


def run_wine(args, report):
    # Output goes to a file, not a pipe: Wine's service processes inherit the
    # handles and would keep a pipe open after the program ends.
    with open(report, "w") as out:
        started = time.monotonic()
        code = subprocess.call([wine_run, prefix, tool] + args, stdout=out, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL)
        wall = time.monotonic() - started
    with open(report) as f:
        text = f.read()
    if code != 0:
        sys.exit("ExtractBench %s failed (%d): %s" % (args[0], code, text))
    return dict(item.split("=") for item in text.split() if "=" in item), wall


def run_ours(zip_path, dest):
    fresh(dest)
    fields, wall = run_wine([winpath(zip_path), winpath(dest)], os.path.join(work, "ours.out"))
    return {"seconds": int(fields["elapsed_ms"]) / 1000.0, "peak": int(fields["peak_ws_kib"]) / 1024.0,
            "wall": wall}


def unzip_into(zip_path, dest):
    os.makedirs(dest)
    child = subprocess.Popen(["unzip", "-o", "-q", zip_path, "-d", dest])
    _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("unzip failed")
    return usage.ru_maxrss / 1024.0


def fsync_every_file(dest):
    for root, _, files in os.walk(dest):
        for name in files:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)


def run_durable(zip_path, dest):
    fresh(dest)
    started = time.monotonic()
    rss = unzip_into(zip_path, dest)
    fsync_every_file(dest)
    return {"seconds": time.monotonic() - started, "rss": rss}


def run_plain(zip_path, dest):
    fresh(dest)
    started = time.monotonic()
    rss = unzip_into(zip_path, dest)
    return {"seconds": time.monotonic() - started, "rss": rss}


def read_plan(path):
    plan = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            kind, _, rest = line.rstrip("\n").partition(" ")
            name, _, pieces = rest.partition(" ")
            plan.append((kind, name.replace("\\", "/"), [int(p) for p in pieces.split(",") if p]))
    return plan


def replay_natively(plan, dest):
    """The calls of the bare Wine loops, made natively: seconds per stage."""
    fresh(dest)
    os.makedirs(dest)
    spent = dict.fromkeys(STAGES, 0)
    clock = time.perf_counter_ns
    data = b"x" * max([max(p) for _, _, p in plan if p] + [1])
    made_folder = None
    for kind, name, pieces in plan:
        target = os.path.join(dest, name)
        folder = target if kind == "D" else os.path.dirname(target)
        if kind == "D" or folder != made_folder:
            t = clock()
            if not os.path.isdir(folder):
                os.makedirs(folder, exist_ok=True)
            spent["folders"] += clock() - t
        if kind == "D":
            continue
        made_folder = folder
        t = clock()
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        spent["create"] += clock() - t
        view = memoryview(data)
        for piece in pieces:
            # Pieces follow on from each other: no seek, as in the extraction.
            t = clock()
            os.write(fd, view[:piece])
            spent["write"] += clock() - t
        t = clock()
        os.fsync(fd)
        t2 = clock()
        os.fstat(fd)
        t3 = clock()
        os.close(fd)
        spent["flush"] += t2 - t
        spent["verify"] += t3 - t2
        spent["close"] += clock() - t3
    return {k: v / 1e9 for k, v in spent.items()}


def native_inflate(zip_path):
    started = time.monotonic()
    subprocess.run(["unzip", "-t", "-q", zip_path], check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - started


def run_stages(zip_path, dest, label):
    plan_path = os.path.join(work, "plan-%s.txt" % label)
    fresh(dest)
    fields, _ = run_wine(["--stages", winpath(zip_path), winpath(dest), winpath(plan_path)],
                         os.path.join(work, "stages.out"))
    wine = {k: int(fields[k + "_us"]) / 1e6 for k in STAGES}
    native = replay_natively(read_plan(plan_path), dest)
    native["inflate"] = native_inflate(zip_path)
    return wine, native, int(fields["entries"])


def same_tree(a, b):
    return subprocess.run(["diff", "-rq", a, b], capture_output=True).returncode == 0


def med(samples, key):
    return statistics.median(s[key] for s in samples)


big_zip, small_zip = make_packages()
packages = [("big", big_zip), ("small", small_zip)]
dest_ours = os.path.join(work, "out-ours")
dest_base = os.path.join(work, "out-baseline")
for label, path in packages:
    print("package %s: %s (%.1f MiB)" % (label, path, os.path.getsize(path) / MIB))

# One untimed round warms the page cache and the Wine prefix, and checks both
# sides produce the same tree.
run_ours(big_zip, dest_ours)
run_plain(big_zip, dest_base)
if not same_tree(dest_ours, dest_base):
    sys.exit("extracted trees differ")

sides = {"ours": run_ours, "durable": run_durable, "unzip": run_plain}
order = list(sides)
results = {label: {side: [] for side in sides} for label, _ in packages}
stages = {label: {"wine": [], "native": []} for label, _ in packages}
entries = {}
for r in range(rounds):
    turn = order[r % len(order):] + order[:r % len(order)]
    for label, path in packages:
        for side in turn:
            results[label][side].append(sides[side](path, dest_ours if side == "ours" else dest_base))
        wine, native, entries[label] = run_stages(path, dest_base, label)
        stages[label]["wine"].append(wine)
        stages[label]["native"].append(native)
    big = results["big"]
    print("round %d: big ours %.2fs (wall %.2fs) unzip+fsync %.2fs unzip %.2fs | small ours %.2fs unzip+fsync %.2fs"
          " unzip %.2fs" % (r + 1, big["ours"][-1]["seconds"], big["ours"][-1]["wall"], big["durable"][-1]["seconds"],
                            big["unzip"][-1]["seconds"], results["small"]["ours"][-1]["seconds"],
                            results["small"]["durable"][-1]["seconds"], results["small"]["unzip"][-1]["seconds"]))
shutil.rmtree(dest_ours, ignore_errors=True)
shutil.rmtree(dest_base, ignore_errors=True)

figures = {}
for label, _ in packages:
    res = results[label]
    ours = med(res["ours"], "seconds")
    base = med(res["durable"], "seconds")
    ratios = [o["seconds"] / b["seconds"] for o, b in zip(res["ours"], res["durable"])]
    figures[label] = {"ours": ours, "base": base, "plain": med(res["unzip"], "seconds"),
                      "lo": min(ratios), "hi": max(ratios)}
    wine = {k: med(stages[label]["wine"], k) for k in STAGES}
    native = {k: med(stages[label]["native"], k) for k in STAGES}
    rest = ours - sum(wine.values())
    print("\nwhere the time goes, %s package (%d entries), medians in ms:" % (label, entries[label]))
    print("  %-26s %9s %9s" % ("stage", "wine", "native"))
    for k in STAGES:
        print("  %-26s %9.0f %9.0f" % (k + (" and CRC" if k == "inflate" else ""), wine[k] * 1e3, native[k] * 1e3))
    # Also carries the difference between two runs' flushes, the noisiest
    # figure here: read it beside the spread.
    print("  %-26s %9.0f" % ("per-entry rest", rest * 1e3))
    print("  %-26s %9.0f %9.0f (unzip + fsync)" % ("total", ours * 1e3, base * 1e3))
    figures[label]["stages"] = " ".join(
        ["%s_%s_ms=%.0f" % (label, k, wine[k] * 1e3) for k in STAGES] + ["%s_rest_ms=%.0f" % (label, rest * 1e3)] +
        ["%s_native_%s_ms=%.0f" % (label, k, native[k] * 1e3) for k in STAGES])
print()

big, small = figures["big"], figures["small"]
big_res = results["big"]
print("RESULT extract ratio=%.2f ours=%.2fs baseline=%.2fs goal_max=1.25 ratio_spread=%.2f..%.2f "
      "unzip=%.2fs ratio_vs_unzip=%.2f small_ratio=%.2f small_ours=%.2fs small_baseline=%.2fs "
      "small_ratio_spread=%.2f..%.2f small_unzip=%.2fs rounds=%d ours_wall=%.2fs peak_ws_mib=%.1f "
      "peak_ws_small_files_mib=%.1f unzip_rss_mib=%.1f %s %s" %
      (big["ours"] / big["base"], big["ours"], big["base"], big["lo"], big["hi"], big["plain"],
       big["ours"] / big["plain"], small["ours"] / small["base"], small["ours"], small["base"], small["lo"],
       small["hi"], small["plain"], rounds, med(big_res["ours"], "wall"),
       max(s["peak"] for s in big_res["ours"]), max(s["peak"] for s in results["small"]["ours"]),
       max(s["rss"] for s in big_res["unzip"]), big["stages"], small["stages"]))
PY
rc=$?
if [ $rc -ne 0 ]; then
    echo "RESULT extract ratio=nan ours=nans baseline=nans goal_max=1.25"
fi
exit 0
