#!/usr/bin/env bash
# Download throughput: a 256 MiB file from nginx on loopback, fetched by the
# updater's downloader under Wine (bench/programs/DownloadBench.cpp) and by native
# `curl -o`, alternately in the same run. The best of several runs of each
# counts (the machine is shared and noisy). The updater's peak working set
# is measured for the 256 MiB file and for a 16 MiB one: it should not grow
# with the file. For proportion, the same body is also read by bare WinHTTP
# calls into memory (winhttp_ceiling): the most the first backend can get
# out of the platform's WinHTTP at all.
#   RESULT download ratio=<ours/curl throughput> ours=<MiB/s> baseline=<MiB/s> goal_min=0.8 ...
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ORV_BUILD_DIR:-$ROOT/build/x86_64}
WINE_RUN=${ORV_WINE_RUN:-$ROOT/cmake/wine-run.sh}
PREFIX=${ORV_WINEPREFIX:-$BUILD/wineprefix}
RUNS=${ORV_BENCH_RUNS:-3}
WORK=$BUILD/bench-download
DOCROOT=$WORK/docroot
OUT=$WORK/out
TOOL=$BUILD/tools/DownloadBench.exe
BIG=big-256m.bin
SMALL=small-16m.bin
BIG_BYTES=268435456
SMALL_BYTES=16777216

say() { printf '[bench download] %s\n' "$*" >&2; }
result_unavailable() {
    say "$1"
    echo "RESULT download ratio=0 ours=0MiB/s baseline=0MiB/s goal_min=0.8 error=$2"
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
make_file "$DOCROOT/$BIG" "$BIG_BYTES"
make_file "$DOCROOT/$SMALL" "$SMALL_BYTES"

SERVERS=$WORK/servers
stop_servers() { python3 "$ROOT/tests/servers/testservers.py" stop --dir "$SERVERS" >/dev/null 2>&1; }
trap 'stop_servers; rm -f "$OUT"/*' EXIT
python3 "$ROOT/tests/servers/testservers.py" start --dir "$SERVERS" --http-only --docroot "$DOCROOT" \
    --lifetime 1800 >/dev/null || result_unavailable "nginx did not start" no-server
BASE=$(sed -n 's/^http=//p' "$SERVERS/endpoints.txt")
say "nginx at $BASE"

winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

# Prints "seconds peak_ws_bytes" of one download by the updater.
ours_once() {
    local name=$1 line
    rm -f "$OUT/ours.bin"
    line=$("$WINE_RUN" "$PREFIX" "$TOOL" "$BASE$name" "$(winpath "$OUT/ours.bin")" 2>/dev/null | tr -d '\r' |
        grep '^seconds=') || return 1
    case "$line" in *result=PASS*) ;; *) return 1 ;; esac
    local seconds=${line#seconds=}; seconds=${seconds%% *}
    local peak=${line#*peak_ws_bytes=}; peak=${peak%% *}
    echo "$seconds $peak"
}

# Prints the seconds of one bare WinHTTP read of the body into memory.
ceiling_once() {
    local line
    line=$("$WINE_RUN" "$PREFIX" "$TOOL" --winhttp-ceiling "$BASE$1" 2>/dev/null | tr -d '\r' | grep '^seconds=') ||
        return 1
    line=${line#seconds=}
    echo "${line%% *}"
}

# Prints the seconds of one download by curl.
curl_once() {
    rm -f "$OUT/curl.bin"
    curl -s -o "$OUT/curl.bin" -w '%{time_total}\n' "$BASE$1"
}

# Warm-up: the page cache, nginx and the Wine prefix.
"$WINE_RUN" "$PREFIX" --init
curl_once "$BIG" >/dev/null
ours_once "$SMALL" >/dev/null || result_unavailable "the updater could not download from nginx" download-failed
cmp -s "$OUT/ours.bin" "$DOCROOT/$SMALL" || result_unavailable "the updater's copy differs" content-differs

best_ours=""
best_curl=""
best_ceiling=""
peak_big=0
min() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b + 0 < a + 0) print b; else print a }'; }
for run in $(seq 1 "$RUNS"); do
    c=$(curl_once "$BIG") || result_unavailable "curl failed" curl-failed
    read -r o peak < <(ours_once "$BIG") || result_unavailable "the updater's download failed" download-failed
    [ "$run" = 1 ] && { cmp -s "$OUT/ours.bin" "$DOCROOT/$BIG" || result_unavailable "the updater's copy differs" content-differs; }
    w=$(ceiling_once "$BIG") || w=""
    say "run $run: curl ${c}s, ours ${o}s (peak working set $((peak / 1048576)) MiB), bare WinHTTP ${w:-?}s"
    best_curl=$(min "$best_curl" "$c")
    [ -n "$w" ] && best_ceiling=$(min "$best_ceiling" "$w")
    best_ours=$(min "$best_ours" "$o")
    [ "$peak" -gt "$peak_big" ] && peak_big=$peak
done
read -r _ peak_small < <(ours_once "$SMALL") || peak_small=0

awk -v bytes="$BIG_BYTES" -v ours="$best_ours" -v curl="$best_curl" -v wh="${best_ceiling:-0}" \
    -v pb="$peak_big" -v ps="$peak_small" 'BEGIN {
    mib = bytes / 1048576
    o = mib / ours; c = mib / curl; w = wh > 0 ? mib / wh : 0
    printf "RESULT download ratio=%.2f ours=%.1fMiB/s baseline=%.1fMiB/s goal_min=0.8 peak_ws_mib=%.1f peak_ws_16mib_file_mib=%.1f winhttp_ceiling=%.1fMiB/s ours_vs_ceiling=%.2f file_mib=%d\n",
        o / c, o, c, pb / 1048576, ps / 1048576, w, (w > 0 ? o / w : 0), mib
}'
exit 0
