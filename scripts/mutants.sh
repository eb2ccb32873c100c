#!/usr/bin/env bash
# The mutation check: applies each deliberate bug of scripts/mutants.txt to core/ and app/ on its
# own, rebuilds, runs the unit and integration tests, and reports which bugs they catch. Every
# file is put back as it was, also when the run is interrupted. Needs the test setup
# (scripts/setup.sh --test); builds without sanitizers in build/mutants, for speed.
#   scripts/mutants.sh [PATTERN]   only the bugs whose line matches PATTERN
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/mutants"
list="$root/scripts/mutants.txt"
report="$build/report.txt"
pattern="${1:-}"

"$root/scripts/setup.sh" --test
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNIMBREL_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$build" >/dev/null
# The quick unit tests first: most bugs are caught there, and the slow real-pm2 tests then need
# not run at all.
suite() {
    local kind
    for kind in unit integration; do
        ctest --test-dir "$build" -L "$kind" --stop-on-failure --parallel 2 </dev/null >/dev/null 2>&1 || return 1
    done
}
suite || { echo "mutants: the suite fails without any bug; nothing to measure" >&2; exit 1; }

backup="$(mktemp)"
current=""
# Never a failing status of its own: under `set -e` that would end the script (and, in the EXIT
# trap, set its status).
restore() {
    if [[ -n "$current" ]]; then
        cp "$backup" "$root/$current"
        current=""
    fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

mkdir -p "$build"
: >"$report"
caught=0
total=0
# The list comes on its own descriptor: a test that reads its standard input (a terminal's
# `script`) would otherwise eat the rest of it.
while IFS=$'\t' read -r -u 3 file from to what; do
    [[ -z "$file" || "$file" == \#* ]] && continue
    [[ -n "$pattern" && "$file $what" != *$pattern* ]] && continue
    total=$((total + 1))
    cp "$root/$file" "$backup"
    current="$file"
    # Exactly one literal occurrence is replaced; \n in the list stands for a line break.
    if ! FROM="$from" TO="$to" perl -0777 -i -pe '
            BEGIN { ($f, $t) = map { s/\\n/\n/g; s/\\t/\t/g; s/^<deleted>$//; $_ } ($ENV{FROM}, $ENV{TO}); }
            $n = () = /\Q$f\E/g; die "found $n times\n" if $n != 1; s/\Q$f\E/$t/;' "$root/$file"; then
        echo "stale    $file: $what" | tee -a "$report"
        restore
        continue
    fi
    if ! cmake --build "$build" >/dev/null 2>&1; then
        echo "invalid  $file: $what (does not build)" | tee -a "$report"
        total=$((total - 1))
        restore
        continue
    elif suite; then
        result="MISSED  "
    else
        result="caught  "
        caught=$((caught + 1))
    fi
    echo "$result $file: $what" | tee -a "$report"
    restore
done 3<"$list"
cmake --build "$build" >/dev/null
echo "mutants: the tests caught $caught of $total bugs" | tee -a "$report"
# 0 only when every bug was caught (a stale one counts as missed).
[[ $caught -eq $total ]]
