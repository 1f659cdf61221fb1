#!/usr/bin/env bash
# Resuming over a dropping link: a 64 MiB file fetched by the updater's
# downloader under Wine (bench/programs/DownloadBench.cpp) through the fault
# server's relay to nginx, which cuts every answer after 8 MiB, against the
# same download through the same relay without cuts. nginx's access log says
# how many bytes left the server; the trace log how often the download went on.
#   RESULT resume bytes_ratio=<nginx sent/size> ok=<0|1> time_ratio=<cut/unbroken> ...
# ok is 1 when every round's copy is exact and went on 7 times in one try.
# Environment (set by ./run bench): ORV_BUILD_DIR, ORV_WINE_RUN, ORV_WINEPREFIX.
#   ORV_BENCH_ROUNDS  rounds (default 5, at least 3)
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ORV_BUILD_DIR:-$ROOT/build/x86_64}
WINE_RUN=${ORV_WINE_RUN:-$ROOT/cmake/wine-run.sh}
PREFIX=${ORV_WINEPREFIX:-$BUILD/wineprefix}
ROUNDS=${ORV_BENCH_ROUNDS:-5}
[ "$ROUNDS" -ge 3 ] 2>/dev/null || ROUNDS=3
WORK=$BUILD/bench-resume
DOCROOT=$WORK/docroot
OUT=$WORK/out
SERVERS=$WORK/servers
TOOL=$BUILD/tools/DownloadBench.exe

say() { printf '[bench resume] %s\n' "$*" >&2; }
result_unavailable() {
    say "$1"
    echo "RESULT resume bytes_ratio=0 ok=0 time_ratio=0 goal_bytes_max=1.05 goal_time_max=1.3 error=$2"
    exit 0
}

[ -f "$TOOL" ] || result_unavailable "missing $TOOL (run ./run build)" no-tool
mkdir -p "$DOCROOT" "$OUT"
if [ "$(stat -c %s "$DOCROOT/big-64m.bin" 2>/dev/null || echo 0)" != 67108864 ]; then
    head -c 67108864 /dev/urandom > "$DOCROOT/big-64m.bin.tmp" && mv "$DOCROOT/big-64m.bin.tmp" "$DOCROOT/big-64m.bin"
fi

stop_servers() { python3 "$ROOT/tests/servers/testservers.py" stop --dir "$SERVERS" >/dev/null 2>&1; }
trap 'stop_servers; rm -f "$OUT"/*' EXIT
python3 "$ROOT/tests/servers/testservers.py" start --dir "$SERVERS" --docroot "$DOCROOT" --lifetime 1800 >/dev/null ||
    result_unavailable "the servers did not start" no-server
FAULT=$(sed -n 's/^fault=//p' "$SERVERS/endpoints.txt")
NGINX_LOG=$(sed -n 's/^http_log=//p' "$SERVERS/endpoints.txt")

"$WINE_RUN" "$PREFIX" --init
WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -p60 >/dev/null 2>&1 || true

/usr/bin/python3 - "$FAULT" "$DOCROOT" "$OUT" "$TOOL" "$WINE_RUN" "$PREFIX" "$ROUNDS" "$NGINX_LOG" <<'PY'
import filecmp
import os
import re
import statistics
import subprocess
import sys

fault, docroot, out, tool, wine_run, prefix, rounds, nginx_log = sys.argv[1:7] + [int(sys.argv[7]), sys.argv[8]]
SOURCE = os.path.join(docroot, "big-64m.bin")
SIZE = os.path.getsize(SOURCE)
TRACE = os.path.join(out, "updater-w7-trace.log")


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def fetch(cuts):
    """One download through the relay: seconds, bytes nginx sent, resumed lines, exact copy."""
    target = os.path.join(out, "copy.bin")
    for path in (target, TRACE):
        if os.path.exists(path):
            os.remove(path)
    os.sync()
    logged = os.path.getsize(nginx_log)
    report = os.path.join(out, "report.txt")
    with open(report, "w") as f:
        subprocess.call([wine_run, prefix, tool, fault + "cut/%s/big-64m.bin" % cuts, winpath(target)], stdout=f,
                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    with open(report) as f:
        fields = dict(item.split("=", 1) for item in f.read().split() if "=" in item)
    with open(nginx_log) as f:
        f.seek(logged)
        sent = sum(int(n) for n in re.findall(r'"GET /big-64m.bin HTTP/1.1" 20[06] (\d+)', f.read()))
    with open(TRACE, encoding="utf-8") as f:
        trace = f.read()
    exact = fields.get("result") == "PASS" and filecmp.cmp(target, SOURCE, shallow=False)
    tries = len(re.findall(r"\| Download (?:PASS|FAIL) \|", trace))
    return {"seconds": float(fields.get("seconds", "0")), "sent": sent,
            "resumed": len(re.findall(r"\| Download resumed \|", trace)), "exact": exact and tries == 1}


fetch("0")  # warm-up: page cache, nginx, the prefix
cut, whole = [], []
for r in range(rounds):
    pair = [("8388608", cut), ("0", whole)]
    for cuts, samples in pair if r % 2 == 0 else reversed(pair):
        samples.append(fetch(cuts))
    print("round %d: cut every 8 MiB %.2fs (%d resumed, %.3fx sent), unbroken %.2fs" % (
        r + 1, cut[-1]["seconds"], cut[-1]["resumed"], cut[-1]["sent"] / SIZE, whole[-1]["seconds"]), file=sys.stderr)
ok = all(s["exact"] and s["resumed"] == 7 for s in cut) and all(s["exact"] for s in whole)
ours = statistics.median(s["seconds"] for s in cut)
baseline = statistics.median(s["seconds"] for s in whole)
print("RESULT resume bytes_ratio=%.3f ok=%d time_ratio=%.2f goal_bytes_max=1.05 goal_time_max=1.3 ours=%.2fs "
      "baseline=%.2fs rounds=%d resumed=%d file_mib=%d" % (
          max(s["sent"] for s in cut) / SIZE, ok, ours / baseline, ours, baseline, rounds, cut[0]["resumed"],
          SIZE // 1048576))
PY
exit 0
