#!/usr/bin/env bash
# Runs every built fuzz target for a bounded time, seeded from tests/fuzz/corpus/<target>/ when present.
# Usage: run-fuzzers.sh <build-dir> <seconds-per-target>
set -uo pipefail
build_dir=$1
seconds=$2
status=0
for target in "$build_dir"/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    work=$(mktemp -d)
    seeds="tests/fuzz/corpus/$name"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null
    echo "-- $name for ${seconds}s"
    if ! (cd "$work" && "$OLDPWD/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
            -print_final_stats=0 "$work" >"$work/log.txt" 2>&1); then
        echo "FAILED: $name"
        tail -40 "$work/log.txt"
        status=1
    fi
    rm -rf "$work"
done
exit $status
