#!/usr/bin/env bash
# Builds the Debian package (build/package/nimbrel_*.deb). With --check it also validates the
# desktop entry, the AppStream file, the package's control fields and contents, simulates the
# install of its dependencies, and runs the packaged program unpacked into a temporary folder
# without a display. The check never installs or removes anything on this machine.
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

# The check never installs into or removes from this machine: the user may have Nimbrel
# installed, and the tests must leave it as it is.
fail() { echo "package: $*" >&2; exit 1; }
for field in Package Version Architecture Maintainer Description Depends; do
    [[ -n "$(dpkg-deb --field "$package" "$field")" ]] || fail "the control field $field is empty"
done
depends="$(dpkg-deb --field "$package" Depends)"
for needed in qt6-qpa-plugins lsof net-tools procps fonts-noto-cjk libqt6widgets6; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
contents="$(dpkg-deb --contents "$package")"
for path in ./usr/bin/nimbrel ./usr/share/applications/dev.nimbrel.Nimbrel.desktop \
    ./usr/share/icons/hicolor/scalable/apps/nimbrel.svg ./usr/share/metainfo/dev.nimbrel.Nimbrel.metainfo.xml; do
    grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
done
# Every dependency can be met from this machine's package sources (a simulation: nothing changes).
apt-get install --simulate -qq "$package" >/dev/null || fail "apt cannot meet the dependencies"

# The packaged program, unpacked into a throwaway folder, with a private home and a private pm2,
# and no display.
scratch="$(mktemp -d /tmp/nb-package-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$package" "$scratch/root"
mkdir -p "$scratch/config/Nimbrel"
printf '{"pm2Path": "%s"}\n' "$root/tests/pm2/node_modules/pm2/bin/pm2" >"$scratch/config/Nimbrel/Nimbrel.json"
status=0
output="$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" \
    PM2_HOME="$scratch/pm2" "$scratch/root/usr/bin/nimbrel" --control list)" || status=$?
env HOME="$scratch" PM2_HOME="$scratch/pm2" "$root/tests/pm2/node_modules/pm2/bin/pm2" kill >/dev/null 2>&1 || true
if [[ $status -ne 0 || -n "$output" ]]; then
    fail "the packaged nimbrel --control list gave status $status and '$output'"
fi
echo "package: well formed, its dependencies can be met, and the packaged program runs"
