#!/usr/bin/env bash
# Builds the Debian package (build/package/nimbrel_*.deb). With --check it also validates the
# desktop entry and the AppStream file, installs the package on this machine, runs the
# installed program without a display, and removes the package again (root or sudo needed for
# that part; without them it is skipped with a note).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/package"

# The check runs the installed program against the pinned pm2 of the tests.
if [[ "${1:-}" == "--check" ]]; then
    "$root/scripts/setup.sh" --test >&2
else
    "$root/scripts/setup.sh" --package >&2
fi
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build" >/dev/null
(cd "$build" && cpack >/dev/null)
package="$(ls -t "$build"/nimbrel_*.deb | head -n 1)"
echo "package: $package"
[[ "${1:-}" == "--check" ]] || exit 0

desktop-file-validate "$root/data/dev.nimbrel.Nimbrel.desktop"
appstreamcli validate --no-net --pedantic "$root/data/dev.nimbrel.Nimbrel.metainfo.xml" >/dev/null ||
    appstreamcli validate --no-net "$root/data/dev.nimbrel.Nimbrel.metainfo.xml"

if [[ $EUID -ne 0 ]] && ! sudo -n true 2>/dev/null; then
    echo "package: installing needs root; skipped the install check" >&2
    exit 0
fi
as_root() { if [[ $EUID -eq 0 ]]; then "$@"; else sudo -n "$@"; fi; }
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
trap 'as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq nimbrel >/dev/null' EXIT

for path in /usr/bin/nimbrel /usr/share/applications/dev.nimbrel.Nimbrel.desktop \
    /usr/share/icons/hicolor/scalable/apps/nimbrel.svg /usr/share/metainfo/dev.nimbrel.Nimbrel.metainfo.xml; do
    [[ -e "$path" ]] || { echo "package: $path is missing" >&2; exit 1; }
done

# The installed program, with a private home and a private pm2, and no display.
home="$(mktemp -d /tmp/nb-package-XXXXXX)"
mkdir -p "$home/config/Nimbrel"
printf '{"pm2Path": "%s"}\n' "$root/tests/pm2/node_modules/pm2/bin/pm2" >"$home/config/Nimbrel/Nimbrel.json"
status=0
output="$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" XDG_CONFIG_HOME="$home/config" \
    PM2_HOME="$home/pm2" /usr/bin/nimbrel --control list)" || status=$?
env HOME="$home" PM2_HOME="$home/pm2" "$root/tests/pm2/node_modules/pm2/bin/pm2" kill >/dev/null 2>&1 || true
rm -rf "$home"
if [[ $status -ne 0 || -n "$output" ]]; then
    echo "package: the installed nimbrel --control list gave status $status and '$output'" >&2
    exit 1
fi
echo "package: installs, and the installed program runs"
