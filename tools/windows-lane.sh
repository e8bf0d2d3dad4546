#!/usr/bin/env bash
# Windows lane: cross-builds updater.exe, updater-publish.exe and the Qt Test
# executables with Debian's MinGW-w64 and a Windows Qt linked to OpenSSL 3,
# gathers the folder a vendor ships, and runs the Qt tests and the process
# tests of the real updater.exe under Wine.
#
#   tools/windows-lane.sh            # build dir: build-win/ in the checkout
#
# The toolchain archives (qt5.15.*-openssl3-mingw64.tar.xz and
# zstd-*-mingw64.tar.xz) are looked for in ../shared/toolchains and then in
# build-toolchain/, where tools/build-windows-toolchain.sh puts them.
# UPDATER_QT_MINGW_TARBALL names the Qt archive, UPDATER_ZSTD_MINGW_TARBALL the
# libzstd one (linked statically), WINDOWS_LANE_DIR the build folder. Without
# a Qt archive the lane is skipped (exit 0), unless UPDATER_BUILD_TOOLCHAIN=1:
# then the archives are built first (about 20-30 minutes on 2 cores).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SHARED_TOOLCHAINS=$(cd "$ROOT/.." && pwd)/shared/toolchains
OWN_TOOLCHAINS=$ROOT/build-toolchain
LANE_DIR=${WINDOWS_LANE_DIR:-$ROOT/build-win}
BUILD_DIR="$LANE_DIR/build"

# The newest archive matching a pattern in the shared folder, else in the
# folder the toolchain script fills; empty when there is none.
find_archive() {
    local dir found
    for dir in "$SHARED_TOOLCHAINS" "$OWN_TOOLCHAINS"; do
        found=$(ls -1 "$dir"/$1 2>/dev/null | sort -V | tail -n 1 || true)
        if [ -n "$found" ]; then echo "$found"; return 0; fi
    done
}

find_archives() {
    TARBALL=${UPDATER_QT_MINGW_TARBALL:-$(find_archive 'qt5.15.*-openssl3-mingw64.tar.xz')}
    ZSTD_TARBALL=${UPDATER_ZSTD_MINGW_TARBALL:-$(find_archive 'zstd-*-mingw64.tar.xz')}
}

find_archives
if { [ ! -f "$TARBALL" ] || [ ! -f "$ZSTD_TARBALL" ]; } && [ "${UPDATER_BUILD_TOOLCHAIN:-}" = 1 ]; then
    echo "Windows lane: no toolchain archives; building them with tools/build-windows-toolchain.sh"
    "$ROOT/tools/build-windows-toolchain.sh" "$OWN_TOOLCHAINS"
    find_archives
fi

if [ ! -f "$TARBALL" ]; then
    cat <<EOF
Windows lane skipped: no Windows Qt toolchain${TARBALL:+ at $TARBALL} (Qt 5.15 for x86_64-w64-mingw32 linked to OpenSSL 3).
  Build it from Debian's sources with tools/build-windows-toolchain.sh (about 20-30 minutes on 2 cores, 2.5 GB of disk, apt-get as root or sudo);
  the lane then finds build-toolchain/*-mingw64.tar.xz, or set UPDATER_QT_MINGW_TARBALL and UPDATER_ZSTD_MINGW_TARBALL; UPDATER_BUILD_TOOLCHAIN=1 builds them first.
EOF
    exit 0
fi
# Unpacked into a folder named after the archive, so another Qt 5.15.x gets
# a folder (and a build configured against it) of its own.
QT_DIR="$LANE_DIR/$(basename "$TARBALL" .tar.xz)"

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
    echo "Windows lane: no libzstd for MinGW${ZSTD_TARBALL:+ at $ZSTD_TARBALL} (zstd for x86_64-w64-mingw32: tools/build-windows-toolchain.sh makes build-toolchain/zstd-*-mingw64.tar.xz, or set UPDATER_ZSTD_MINGW_TARBALL)" >&2
    exit 1
fi
ZSTD_DIR="$LANE_DIR/$(basename "$ZSTD_TARBALL" .tar.xz)"
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
