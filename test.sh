#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the application and the benchmarks as released (optimised), with warnings as errors;
#   2. everything, tests included, under AddressSanitizer and UndefinedBehaviorSanitizer, and every test run there
#      (the Qt tests and the gallery on the offscreen platform; leaks that system libraries keep are listed in
#      scripts/lsan-suppressions.txt). The tests run once, in this build: building them twice would cost the
#      script its time budget on a machine without a compiler cache;
#   3. each libFuzzer target for a bounded time (clang), the targets side by side.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
status=0

# Prints how long the stage that just ended took, so a slow stage shows before the script outgrows its budget.
stage_start=$SECONDS
took() {
    echo "-- $1 took $((SECONDS - stage_start)) s"
    stage_start=$SECONDS
}

echo "== Build of the application and the benchmarks"
cmake --preset default -DQB_WERROR=ON >/dev/null
cmake --build build -j"$jobs" --target quillobrandt benchmarks
took "Build"

echo "== All tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize -DQB_WERROR=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
took "Sanitized build"
(cd build-sanitize && \
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
    LSAN_OPTIONS="suppressions=$(pwd)/../scripts/lsan-suppressions.txt:print_suppressions=0" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest -j"$jobs" --output-on-failure --timeout 900) || status=1
took "Sanitized tests"

if command -v clang++ >/dev/null 2>&1 && ls tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
    echo "== Fuzzing (bounded)"
    cmake --preset fuzz >/dev/null
    cmake --build build-fuzz -j"$jobs"
    took "Fuzz build"
    ./scripts/run-fuzzers.sh build-fuzz "${QB_FUZZ_SECONDS:-20}" || status=1
    took "Fuzzing"
fi

if [ "$status" -ne 0 ]; then
    echo "Some tests failed."
fi
exit "$status"
