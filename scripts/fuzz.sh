#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60), starting from
# the captured outputs in tests/fixtures. The test command runs a short smoke round of it;
# longer runs are for hunting: `scripts/fuzz.sh 600`. Findings land in build/fuzz/findings.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
seconds="${1:-60}"

"$root/scripts/setup.sh" --test
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNIMBREL_FUZZ=ON >/dev/null
fi
cmake --build "$build" >/dev/null

declare -A seeds=(
    [tool_output]="ps_linux.txt lsof_linux.txt netstat_linux.txt"
    [pm2_list]="jlist_three_apps.json jlist_cold_start.txt jlist_version_mismatch.txt"
    [pm2_reply]=""
    [proc_files]=""
)
mkdir -p "$build/findings"
for target in "${!seeds[@]}"; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    for seed in ${seeds[$target]}; do
        cp "$root/tests/fixtures/$seed" "$corpus/"
    done
    echo "fuzz: $target for ${seconds}s"
    "$build/tests/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$build/findings/$target-" -print_final_stats=0 \
        2>"$build/$target.log" || { tail -40 "$build/$target.log"; exit 1; }
    grep -E '^(#[0-9]+\s+DONE|Done)' "$build/$target.log" | tail -1 || true
done
