#!/usr/bin/env bash
# Prepares a Debian 12 machine for this project and builds it:
# installs the missing Debian packages (as root, or through sudo), then
# configures and builds the native tree in build/ (BUILD_DIR overrides it).
#
#   tools/setup.sh          everything the tests need, and every target
#   tools/setup.sh --demo   only what the demo needs: the updater and the
#                           release tool, built quietly (the build's output
#                           goes to build/setup.log, shown when it fails)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
DEMO_ONLY=
[ "${1:-}" = "--demo" ] && DEMO_ONLY=1

DEMO_PACKAGES=(
    g++ make cmake pkg-config            # the build
    qtbase5-dev qtbase5-dev-tools        # Qt 5.15: Core, Gui, Widgets, Network, Test
    libssl-dev openssl                   # signatures (libcrypto); the TLS tests' certificates
    libzstd-dev                          # deltas: the updater and the release tool link libzstd
    nginx-light                          # the real server of the integration tests and the demo
    fonts-wqy-microhei                   # a CJK font, so the dialog's Chinese texts render
)
PACKAGES=(
    "${DEMO_PACKAGES[@]}"
    xvfb xauth                           # a display for screenshots
    python3                              # http.server in the compatibility suite; test servers
    e2fsprogs                            # chattr: read-only folders even for root
    zstd                                 # the delta benchmarks' peer (zstd --patch-from)
    binutils-mingw-w64-x86-64            # windres: the Windows resource script is checked
    g++-mingw-w64-x86-64-posix           # the Windows entry is syntax-checked
    curl time procps util-linux          # benchmarks, process handling, setpriv
    apache2 lighttpd caddy               # the compatibility suite's other web servers
    squid tinyproxy                      # ... and its proxies
)

[ -z "$DEMO_ONLY" ] || PACKAGES=("${DEMO_PACKAGES[@]}")
missing=()
for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    # Packages such as nginx try to start their system service; this project
    # runs its own servers, so keep the daemons from starting while installing.
    policy=/usr/sbin/policy-rc.d
    added_policy=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
        $SUDO chmod 755 "$policy"
        added_policy=1
    fi
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    [ -z "$added_policy" ] || $SUDO rm -f "$policy"
fi

if [ -n "$DEMO_ONLY" ]; then
    log="$BUILD_DIR/setup.log"
    mkdir -p "$BUILD_DIR"
    if ! { cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
           cmake --build "$BUILD_DIR" --parallel "$(nproc)" --target updater updater-publish; } >"$log" 2>&1; then
        tail -n 30 "$log"
        echo "setup: the build failed; its whole output is in $log"
        exit 1
    fi
    echo "setup: built the updater and updater-publish in $BUILD_DIR/src (output: $log)"
    exit 0
fi

# Qt sends nothing for localhost or a loopback address through a proxy, so the
# proxy tests address their servers by a name of this machine that resolves
# to 127.0.0.1 only. Give the machine one when its own name does not.
addresses=$(getent ahosts "$(hostname)" 2>/dev/null | awk '{print $1}' | sort -u || true)
if [ -z "$addresses" ] || printf '%s\n' "$addresses" | grep -qv -e '^127\.' -e '^::1$'; then
    if ! grep -q '^127\.0\.0\.1[[:space:]]\+updater-test-host$' /etc/hosts; then
        SUDO=
        [ "$(id -u)" -eq 0 ] || SUDO=sudo
        echo '127.0.0.1 updater-test-host' | $SUDO tee -a /etc/hosts >/dev/null
    fi
fi

cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
