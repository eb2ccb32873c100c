#!/usr/bin/env bash
# Builds the benchmarks optimised and runs each of them. Extra arguments go to every benchmark
# (for example --benchmark_filter=Shell).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/bench"

"$root/scripts/setup.sh" --test
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_BENCH=ON
fi
cmake --build "$build"
for benchmark in "$build"/bench/nimbrel_*_bench; do
    "$benchmark" "$@"
done
