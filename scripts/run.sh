#!/usr/bin/env bash
# Sets up, builds Nimbrel (Release) and runs it with the given arguments, for example
# `scripts/run.sh --control list`. Build messages go to standard error, so standard output is
# Nimbrel's own.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/release"

"$root/scripts/setup.sh" >&2
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
fi
cmake --build "$build" >&2
exec "$build/app/nimbrel" "$@"
