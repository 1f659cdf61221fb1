#!/usr/bin/env bash
# Download throughput: a 256 MiB file from nginx on loopback, fetched by the
# updater's downloader under Wine (bench/programs/DownloadBench.cpp) and, as
# the baseline, read by a bare WinHTTP loop with the same 64 KiB buffer under
# the same Wine: the most the first backend can get out of the platform at
# all. Native `curl -o` is an extra figure. The three take turns in every
# round, in a rotating order, and the medians count; the ratio's spread over
# the rounds is printed too.
#
# Where the time goes: every round also runs the bare loop again writing each
# piece to a file and flushing it at the end (DownloadBench --stages), with
# reads, writes, flush and close timed apart. What the downloader needs beyond
# that loop is its own overhead (worker thread, counters, the log line, the
# move into place): "driver".
# The peak working set is measured for the 256 MiB file and for a 16 MiB one:
# it should not grow with the file.
#   RESULT download ratio=<ours/bare WinHTTP throughput> ours=<MiB/s> baseline=<MiB/s> goal_min=0.95 ...
# Environment (set by ./run bench): ORV_BUILD_DIR, ORV_WINE_RUN, ORV_WINEPREFIX.
#   ORV_BENCH_ROUNDS  rounds (default 5, at least 5)
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ORV_BUILD_DIR:-$ROOT/build/x86_64}
WINE_RUN=${ORV_WINE_RUN:-$ROOT/cmake/wine-run.sh}
PREFIX=${ORV_WINEPREFIX:-$BUILD/wineprefix}
ROUNDS=${ORV_BENCH_ROUNDS:-5}
[ "$ROUNDS" -ge 5 ] 2>/dev/null || ROUNDS=5
WORK=$BUILD/bench-download
DOCROOT=$WORK/docroot
OUT=$WORK/out
TOOL=$BUILD/tools/DownloadBench.exe

say() { printf '[bench download] %s\n' "$*" >&2; }
result_unavailable() {
    say "$1"
    echo "RESULT download ratio=0 ours=0MiB/s baseline=0MiB/s goal_min=0.95 error=$2"
    exit 0
}

[ -f "$TOOL" ] || result_unavailable "missing $TOOL (run ./run build)" no-tool
mkdir -p "$DOCROOT" "$OUT"

make_file() {
    local path=$1 bytes=$2
    if [ "$(stat -c %s "$path" 2>/dev/null || echo 0)" != "$bytes" ]; then
        say "creating $(basename "$path")"
        head -c "$bytes" /dev/urandom > "$path.tmp" && mv "$path.tmp" "$path"
    fi
}
make_file "$DOCROOT/big-256m.bin" 268435456
make_file "$DOCROOT/small-16m.bin" 16777216

SERVERS=$WORK/servers
stop_servers() { python3 "$ROOT/tests/servers/testservers.py" stop --dir "$SERVERS" >/dev/null 2>&1; }
trap 'stop_servers; rm -f "$OUT"/*' EXIT
python3 "$ROOT/tests/servers/testservers.py" start --dir "$SERVERS" --http-only --docroot "$DOCROOT" \
    --lifetime 1800 >/dev/null || result_unavailable "nginx did not start" no-server
BASE=$(sed -n 's/^http=//p' "$SERVERS/endpoints.txt")
say "nginx at $BASE"

# A warm wineserver for the prefix: otherwise every run pays for starting
# Wine's own services. It stops by itself 60 s after the last program ends.
"$WINE_RUN" "$PREFIX" --init
WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -p60 >/dev/null 2>&1 || true

/usr/bin/python3 - "$BASE" "$DOCROOT" "$OUT" "$TOOL" "$WINE_RUN" "$PREFIX" "$ROUNDS" <<'PY'
import filecmp
import os
import statistics
import subprocess
import sys
import time

base, docroot, out, tool, wine_run, prefix, rounds = sys.argv[1:7] + [int(sys.argv[7])]
MIB = 1024 * 1024
BIG, SMALL = "big-256m.bin", "small-16m.bin"
big_mib = os.path.getsize(os.path.join(docroot, BIG)) / MIB


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def fail(why, code):
    print("[bench download] " + why, file=sys.stderr)
    print("RESULT download ratio=0 ours=0MiB/s baseline=0MiB/s goal_min=0.95 error=" + code)
    sys.exit(0)


def fresh(*paths):
    """Removes the last output and writes back everything dirty, so no side
    pays for the one before it."""
    for path in paths:
        if os.path.exists(path):
            os.remove(path)
    os.sync()


def run_wine(args):
    # Output goes to a file, not a pipe: Wine's service processes inherit the
    # handles and would keep a pipe open after the program ends.
    report = os.path.join(out, "report.txt")
    with open(report, "w") as f:
        subprocess.call([wine_run, prefix, tool] + args, stdout=f, stderr=subprocess.STDOUT,
                        stdin=subprocess.DEVNULL)
    with open(report) as f:
        text = f.read().replace("\r", "")
    fields = dict(item.split("=", 1) for item in text.split() if "=" in item)
    if fields.get("result") != "PASS":
        fail("DownloadBench %s failed: %s" % (args[0], text.strip()), "download-failed")
    return fields


def ours(name=BIG):
    target = os.path.join(out, "ours.bin")
    fresh(target)
    fields = run_wine([base + name, winpath(target)])
    return {"seconds": float(fields["seconds"]), "peak": int(fields["peak_ws_bytes"]) / MIB}


def bare():
    fresh()
    fields = run_wine(["--winhttp-ceiling", base + BIG])
    return {"seconds": float(fields["seconds"]), "reads": int(fields["reads"])}


def curl():
    target = os.path.join(out, "curl.bin")
    fresh(target)
    started = time.monotonic()
    if subprocess.call(["curl", "-s", "-o", target, base + BIG]) != 0:
        fail("curl failed", "curl-failed")
    return {"seconds": time.monotonic() - started}


STAGES = ["open", "read", "write", "flush", "close"]


def stages():
    target = os.path.join(out, "stages.bin")
    fresh(target)
    fields = run_wine(["--stages", base + BIG, winpath(target)])
    figures = {k: int(fields[k + "_us"]) / 1e6 for k in STAGES}
    figures["seconds"] = float(fields["seconds"])
    return figures


def med(samples, key):
    return statistics.median(s[key] for s in samples)


# Warm-up: the page cache, nginx and the Wine prefix; the copy must be exact.
curl()
ours(SMALL)
if not filecmp.cmp(os.path.join(out, "ours.bin"), os.path.join(docroot, SMALL), shallow=False):
    fail("the updater's copy differs", "content-differs")

sides = {"ours": ours, "bare": bare, "curl": curl}
order = list(sides)
results = {side: [] for side in sides}
breakdown = []
for r in range(rounds):
    turn = order[r % len(order):] + order[:r % len(order)]
    for side in turn:
        results[side].append(sides[side]())
    if r == 0 and not filecmp.cmp(os.path.join(out, "ours.bin"), os.path.join(docroot, BIG), shallow=False):
        fail("the updater's copy differs", "content-differs")
    breakdown.append(stages())
    print("round %d: ours %.2fs (peak working set %.1f MiB), bare WinHTTP %.2fs, curl %.2fs, bare + file %.2fs" %
          (r + 1, results["ours"][-1]["seconds"], results["ours"][-1]["peak"], results["bare"][-1]["seconds"],
           results["curl"][-1]["seconds"], breakdown[-1]["seconds"]), file=sys.stderr)
small_peak = ours(SMALL)["peak"]

o, b, c = (med(results[s], "seconds") for s in ("ours", "bare", "curl"))
ratios = [y["seconds"] / x["seconds"] for x, y in zip(results["ours"], results["bare"])]
st = {k: med(breakdown, k) for k in STAGES + ["seconds"]}
driver = o - st["seconds"]
print("where the time goes, medians in ms: bare WinHTTP loop %.0f; the same loop writing a file: open %.0f, "
      "read %.0f, write %.0f, flush %.0f, close %.0f (total %.0f); the downloader %.0f, so its driver adds %.0f" %
      (b * 1e3, st["open"] * 1e3, st["read"] * 1e3, st["write"] * 1e3, st["flush"] * 1e3, st["close"] * 1e3,
       st["seconds"] * 1e3, o * 1e3, driver * 1e3))
print("RESULT download ratio=%.2f ours=%.1fMiB/s baseline=%.1fMiB/s goal_min=0.95 ratio_spread=%.2f..%.2f "
      "curl=%.1fMiB/s ratio_vs_curl=%.2f rounds=%d reads=%d file_mib=%d peak_ws_mib=%.1f peak_ws_16mib_file_mib=%.1f "
      "stage_open_ms=%.0f stage_read_ms=%.0f stage_write_ms=%.0f stage_flush_ms=%.0f stage_close_ms=%.0f "
      "stage_total_ms=%.0f driver_ms=%.0f" %
      (b / o, big_mib / o, big_mib / b, min(ratios), max(ratios), big_mib / c, c / o, rounds,
       results["bare"][0]["reads"], big_mib, max(s["peak"] for s in results["ours"]), small_peak,
       st["open"] * 1e3, st["read"] * 1e3, st["write"] * 1e3, st["flush"] * 1e3, st["close"] * 1e3,
       st["seconds"] * 1e3, driver * 1e3))
PY
exit 0
