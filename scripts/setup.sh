#!/usr/bin/env bash
# Installs what Nimbrel needs on Debian 12 or Ubuntu 24.04 and later (their Qt is 6.4 or newer):
# compilers, CMake, Qt 6, the tools the program reads (lsof, netstat, ps) and a CJK font. With --test also the test and
# benchmark libraries and the pinned pm2 the integration tests run. Installs only what is
# missing, asks nothing, and is quick when everything is already there. --package adds what
# building and checking the Debian package takes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

with_tests=0
with_packaging=0
[[ "${1:-}" == "--test" ]] && with_tests=1 && with_packaging=1
[[ "${1:-}" == "--package" ]] && with_packaging=1

as_root() {
    if [[ $EUID -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo -n "$@"
    else
        echo "setup: '$*' needs root; run it as root or install sudo" >&2
        exit 1
    fi
}

# qt6-wayland: Qt's Wayland platform plugin, so that Wayland sessions run natively.
# libxcb1-dev: to see an X11 tray come.
packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-svg-dev qt6-wayland libgl-dev
          libxcb1-dev qt6-translations-l10n fonts-noto-cjk lsof net-tools procps)
if ((with_tests)); then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev
               xvfb trayer xdotool x11-utils imagemagick)
    # The headless Wayland desktop of the desktop tests: sway with XWayland, waybar's tray on
    # a private D-Bus session, grim for pictures, and what the virtual input client builds from.
    packages+=(sway xwayland waybar grim dbus-daemon dbus-bin libwayland-dev libwayland-bin
               libxkbcommon-dev)
fi
if ((with_packaging)); then
    packages+=(dpkg-dev desktop-file-utils appstream)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
# Node may come from elsewhere than Debian (NodeSource, nvm): only install it when there is none.
if ((with_tests)); then
    command -v node >/dev/null || missing+=(nodejs)
    command -v npm >/dev/null || missing+=(npm)
fi

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}" >&2
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >&2
fi

if ((with_tests)); then
    # The pinned pm2 lives in the test folder, never globally: the tests must not meet the
    # user's own pm2 and its apps.
    pm2_dir="$root/tests/pm2"
    stamp="$pm2_dir/node_modules/.nimbrel-lock"
    if ! cmp -s "$pm2_dir/package-lock.json" "$stamp" 2>/dev/null; then
        echo "setup: installing the pinned pm2 into tests/pm2" >&2
        (cd "$pm2_dir" && npm ci --no-audit --no-fund --loglevel=error >&2)
        cp "$pm2_dir/package-lock.json" "$stamp"
    fi
fi
