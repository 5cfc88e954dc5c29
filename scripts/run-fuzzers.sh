#!/usr/bin/env bash
# Runs every built fuzz target for a bounded time, seeded from tests/fuzz/corpus/<target>/ when present.
# Each target is single-threaded, so they run side by side, as many at once as there are cores.
# Usage: run-fuzzers.sh <build-dir> <seconds-per-target>
set -uo pipefail
build_dir=$(cd "$1" && pwd)
seconds=$2
slots=$(nproc)
results=$(mktemp -d)

fuzz_one() {
    local target=$1 name work seeds
    name=$(basename "$target")
    work=$(mktemp -d)
    seeds="$PWD/tests/fuzz/corpus/$name"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null
    if (cd "$work" && "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
            -print_final_stats=0 "$work" >"$work/log.txt" 2>&1); then
        touch "$results/$name.ok"
    else
        { echo "FAILED: $name"; tail -40 "$work/log.txt"; } >"$results/$name.failed"
    fi
    rm -rf "$work"
}

running=0
for target in "$build_dir"/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    if [ "$running" -ge "$slots" ]; then
        wait -n
        running=$((running - 1))
    fi
    echo "-- $(basename "$target") for ${seconds}s"
    fuzz_one "$target" &
    running=$((running + 1))
done
wait

status=0
for failed in "$results"/*.failed; do
    [ -e "$failed" ] || continue
    cat "$failed"
    status=1
done
rm -rf "$results"
exit $status
