#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the full build (application, libraries, tests, benchmarks) with warnings as errors, all tests;
#   2. the core libraries again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. each libFuzzer target for a bounded time (clang).
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
status=0

echo "== Build"
cmake --preset default -DQB_WERROR=ON >/dev/null
cmake --build build -j"$jobs"

echo "== Tests"
(cd build && ctest -j"$jobs" --output-on-failure --timeout 600) || status=1

echo "== Core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize -DQB_WERROR=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest -j"$jobs" -L core --output-on-failure --timeout 900) || status=1

if command -v clang++ >/dev/null 2>&1 && ls tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
    echo "== Fuzzing (bounded)"
    cmake --preset fuzz >/dev/null
    cmake --build build-fuzz -j"$jobs"
    ./scripts/run-fuzzers.sh build-fuzz "${QB_FUZZ_SECONDS:-20}" || status=1
fi

if [ "$status" -ne 0 ]; then
    echo "Some tests failed."
fi
exit "$status"
