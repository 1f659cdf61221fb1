#!/usr/bin/env bash
# Reading a package document must cost the same per entry at 100,000 entries
# as at 10,000. Both sizes are timed in one process, interleaved, and the
# result compares the large read with the small one: linear growth gives a
# ratio of 10, quadratic growth 100.
set -u
name=manifest-scaling
small=10000
large=100000
repeats=${ORV_BENCH_REPEATS:-9}
goal=15

bench_exe=$ORV_BUILD_DIR/tools/ManifestBench.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
result=$work/result.txt

fail() {
    echo "manifest-scaling: $*" >&2
    echo "RESULT $name ratio=nan ours=nanms baseline=nanms goal_max=$goal"
    exit 0
}

[ -f "$bench_exe" ] || fail "missing $bench_exe (build the test tree first)"
winpath=$(printf 'Z:%s' "$result" | tr '/' '\\')
# No pipes to the program: Wine's services started with it would inherit them.
"$ORV_WINE_RUN" "$ORV_WINEPREFIX" "$bench_exe" "$small" "$large" "$repeats" "$winpath" \
    </dev/null >/dev/null 2>&1 || fail "benchmark program failed"
[ -s "$result" ] || fail "no result written"

declare -A figure
for pair in $(cat "$result"); do
    figure[${pair%%=*}]=${pair#*=}
done
small_read=${figure[small_read_us]:-0}
large_read=${figure[large_read_us]:-0}
small_write=${figure[small_write_us]:-0}
large_write=${figure[large_write_us]:-0}
[ "$small_read" -gt 0 ] && [ "$small_write" -gt 0 ] || fail "no usable timings: $(cat "$result")"

awk -v n="$name" -v sr="$small_read" -v lr="$large_read" -v sw="$small_write" -v lw="$large_write" \
    -v s="$small" -v l="$large" -v g="$goal" 'BEGIN {
        ratio = lr / sr
        printf "entries: %d vs %d; read %.1f ms vs %.1f ms; write %.1f ms vs %.1f ms\n", s, l, sr / 1000, lr / 1000, sw / 1000, lw / 1000
        printf "RESULT %s ratio=%.2f ours=%.1fms baseline=%.1fms goal_max=%d per_entry_ratio=%.2f write_ratio=%.2f\n",
            n, ratio, lr / 1000, sr / 1000, g, ratio / (l / s), lw / sw
    }'
exit 0
