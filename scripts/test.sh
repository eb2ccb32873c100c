#!/usr/bin/env bash
# Sets up, builds the test configuration (AddressSanitizer, UndefinedBehaviorSanitizer and
# libstdc++ assertions), runs every test, a short fuzzing round of the parsers and the package
# check, and builds the benchmarks (optimised, without sanitizers) so that they keep compiling.
# Extra arguments go to ctest (for example -R Store, or -L unit for the quick loop).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/test"

"$root/scripts/setup.sh" --test
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DNIMBREL_SANITIZE=ON -DNIMBREL_BUILD_TESTS=ON
fi
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --parallel 2 "$@"

# A short fuzzing round of every parser of tool output (longer runs: scripts/fuzz.sh SECONDS).
"$root/scripts/fuzz.sh" 10

# The Debian package is well formed and its program runs; nothing is installed.
"$root/scripts/package.sh" --check

# The benchmarks build where they are measured: optimised, without sanitizers.
bench="$root/build/bench"
if [[ ! -f "$bench/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_BENCH=ON
fi
cmake --build "$bench"
