#!/usr/bin/env bash
# Windows lane: cross-builds updater.exe, updater-publish.exe and the Qt Test
# executables with Debian's MinGW-w64 and the Windows Qt from
# ../shared/toolchains, gathers the folder a vendor ships, and runs the Qt
# tests and the process tests of the real updater.exe under Wine.
#
#   tools/windows-lane.sh            # build dir: build-win/ in the checkout
#
# UPDATER_QT_MINGW_TARBALL overrides the toolchain archive,
# UPDATER_ZSTD_MINGW_TARBALL the libzstd one (linked statically), WINDOWS_LANE_DIR
# the build folder. Without the archive the lane is skipped (exit 0).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TARBALL=${UPDATER_QT_MINGW_TARBALL:-$(cd "$ROOT/.." && pwd)/shared/toolchains/qt5.15.8-openssl3-mingw64.tar.xz}
ZSTD_TARBALL=${UPDATER_ZSTD_MINGW_TARBALL:-$(cd "$ROOT/.." && pwd)/shared/toolchains/zstd-1.5.4-mingw64.tar.xz}
LANE_DIR=${WINDOWS_LANE_DIR:-$ROOT/build-win}
QT_DIR="$LANE_DIR/qt5.15.8-openssl3-mingw64"
ZSTD_DIR="$LANE_DIR/zstd-1.5.4-mingw64"
BUILD_DIR="$LANE_DIR/build"

if [ ! -f "$TARBALL" ]; then
    echo "Windows lane skipped: no toolchain at $TARBALL (Qt 5.15.8 for x86_64-w64-mingw32 with OpenSSL 3: copy shared/toolchains/ beside the checkout, or set UPDATER_QT_MINGW_TARBALL; shared/toolchains/README.md says how to rebuild it)"
    exit 0
fi

# Debian packages the lane needs; a fresh machine has none of them.
# fonts-wqy-microhei: the Chinese font the offscreen platform gets under Wine.
# openssl: the TLS tests make their own CA and certificates with it.
PACKAGES=(cmake make xz-utils curl locales nginx-light fonts-wqy-microhei openssl
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
          osslsigncode)    # Authenticode signing of the package and its test
missing=()
for package in "${PACKAGES[@]}"; do
    dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Windows lane: installing ${missing[*]}"
    SUDO=
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Unpacked once per archive; a changed archive is unpacked afresh.
stamp=$(stat -c '%s %Y' "$TARBALL")
if [ ! -f "$QT_DIR/.unpacked" ] || [ "$(cat "$QT_DIR/.unpacked")" != "$stamp" ]; then
    echo "Windows lane: unpacking $TARBALL"
    rm -rf "$QT_DIR"
    mkdir -p "$QT_DIR"
    tar -xJf "$TARBALL" -C "$QT_DIR"
    echo "$stamp" >"$QT_DIR/.unpacked"
fi

if [ ! -f "$ZSTD_TARBALL" ]; then
    echo "Windows lane: no libzstd for MinGW at $ZSTD_TARBALL (zstd 1.5.4 for x86_64-w64-mingw32: copy shared/toolchains/ beside the checkout, or set UPDATER_ZSTD_MINGW_TARBALL)" >&2
    exit 1
fi
# The archive holds one top folder; its CMake package files are relocatable.
zstd_stamp=$(stat -c '%s %Y' "$ZSTD_TARBALL")
if [ ! -f "$ZSTD_DIR/.unpacked" ] || [ "$(cat "$ZSTD_DIR/.unpacked")" != "$zstd_stamp" ]; then
    echo "Windows lane: unpacking $ZSTD_TARBALL"
    rm -rf "$ZSTD_DIR"
    mkdir -p "$ZSTD_DIR"
    tar -xJf "$ZSTD_TARBALL" -C "$ZSTD_DIR" --strip-components=1
    echo "$zstd_stamp" >"$ZSTD_DIR/.unpacked"
fi

# A build folder configured against another Qt (an older toolchain) keeps
# that Qt in its cache: start it afresh.
if [ -f "$BUILD_DIR/CMakeCache.txt" ] && ! grep -q "^Qt5_DIR:PATH=$QT_DIR/" "$BUILD_DIR/CMakeCache.txt"; then
    echo "Windows lane: $BUILD_DIR was configured against another Qt; starting it afresh"
    rm -rf "$BUILD_DIR"
fi

cmake -S "$ROOT" -B "$BUILD_DIR" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$QT_DIR;$ZSTD_DIR" \
    -DOPENSSL_ROOT_DIR="$QT_DIR" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON
# Only what the lane runs: the deployed folder, the Qt Test executables and
# the small Windows helpers of the process tests.
cmake --build "$BUILD_DIR" --parallel 2 --target wine_lane

ctest --test-dir "$BUILD_DIR" --label-regex '^wine$' --output-on-failure
