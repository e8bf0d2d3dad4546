#!/usr/bin/env bash
# Builds the Windows toolchain the Windows lane needs, from Debian's source
# packages only, on a Debian 12 machine with nothing but apt:
#
#   tools/build-windows-toolchain.sh [OUT_DIR]     # default: build-toolchain/
#
# makes OUT_DIR/qt<version>-openssl3-mingw64.tar.xz (Qt 5.15 qtbase as shared
# DLLs for x86_64-w64-mingw32, linked to OpenSSL 3, with the Linux host tools
# and OpenSSL's DLLs, headers and import libraries in the same tree) and
# OUT_DIR/zstd-<version>-mingw64.tar.xz (libzstd, one top folder). Hand them
# to the lane with UPDATER_QT_MINGW_TARBALL and UPDATER_ZSTD_MINGW_TARBALL.
#
# About 20 minutes on 2 cores, most of it Qt; about 2.5 GB of disk while it
# runs. Work happens in OUT_DIR/scratch (TOOLCHAIN_SCRATCH overrides it);
# each finished stage leaves a stamp there, so a second run goes on where the
# first one stopped. Build output goes to OUT_DIR/scratch/build.log.
#
# Needs root (or sudo) for apt-get: it installs the build packages and adds
# deb-src entries for the machine's own mirrors and suites. Nothing is
# installed into /usr/x86_64-w64-mingw32 and the machine's alternatives are
# left alone: the -posix MinGW compilers are called by name.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT_DIR=${1:-$ROOT/build-toolchain}
mkdir -p "$OUT_DIR"
OUT_DIR=$(cd "$OUT_DIR" && pwd)
SCRATCH=${TOOLCHAIN_SCRATCH:-$OUT_DIR/scratch}
mkdir -p "$SCRATCH"
SCRATCH=$(cd "$SCRATCH" && pwd)
LOG=$SCRATCH/build.log
JOBS=$(nproc)
TRIPLET=x86_64-w64-mingw32

SRC=$SCRATCH/src            # unpacked Debian sources
ZLIB=$SCRATCH/zlib          # libz.a and its headers, for Qt's -system-zlib
OSSL=$SCRATCH/openssl       # OpenSSL's install_sw
QT_BUILD=$SCRATCH/qt-build  # Qt's shadow build
QT_PREFIX=$SCRATCH/qt-prefix
SHIM=$SCRATCH/shim          # x86_64-w64-mingw32-gcc/g++ -> the -posix ones

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# One line per stage with its duration; the output goes to the log, named
# (with its last lines) when a stage fails. A stamp marks a finished stage.
stage() {
    local name=$1
    shift
    if [ -f "$SCRATCH/.done-$name" ]; then
        echo "toolchain: $name: done in an earlier run"
        return 0
    fi
    local start=$SECONDS
    echo "=== $name ($(date '+%H:%M:%S'))" >>"$LOG"
    # errexit must hold inside the stage: a subshell tested by `if` or `||`
    # would run with it switched off.
    local rc
    set +e
    ( set -euo pipefail; "$@" ) >>"$LOG" 2>&1
    rc=$?
    set -e
    if [ "$rc" -ne 0 ]; then
        echo "toolchain: $name FAILED after $(elapsed $start); the log is $LOG:" >&2
        tail -n 20 "$LOG" | sed 's/^/    /' >&2
        exit 1
    fi
    touch "$SCRATCH/.done-$name"
    echo "toolchain: $name: $(elapsed $start)"
}

elapsed() {
    local s=$((SECONDS - $1))
    printf '%dm%02ds' $((s / 60)) $((s % 60))
}

install_packages() {
    local packages=(build-essential perl python3 dpkg-dev xz-utils cmake make
                    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
                    binutils-mingw-w64-x86-64 libwine-dev)
    local missing=() package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "installing ${missing[*]}"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# deb-src entries for every enabled deb entry of the machine, in the same
# format: deb822 stanzas for *.sources, one-line entries for sources.list.
# Written only when the machine has no deb-src entry of its own.
add_deb_src() {
    local dir=/etc/apt/sources.list.d
    # Only the files that exist: a pattern that matches nothing is no file
    # (and grep given no file would read its standard input).
    local lists=() sources=() file
    for file in /etc/apt/sources.list "$dir"/*.list; do
        [ -f "$file" ] && lists+=("$file")
    done
    for file in "$dir"/*.sources; do
        [ -f "$file" ] && sources+=("$file")
    done
    if { [ "${#lists[@]}" -gt 0 ] && grep -qs '^[[:space:]]*deb-src[[:space:]]' "${lists[@]}"; } \
        || { [ "${#sources[@]}" -gt 0 ] && grep -qsi '^Types:.*deb-src' "${sources[@]}"; }; then
        echo "deb-src entries present"
        return 0
    fi
    local tmp=$SCRATCH/deb-src.tmp
    if [ "${#sources[@]}" -gt 0 ]; then
        awk '
            function flush() {
                if (stanza != "" && isdeb && enabled) printf "%s\n", stanza
                stanza = ""; isdeb = 0; enabled = 1
            }
            BEGIN { enabled = 1 }
            /^[[:space:]]*#/ { next }
            /^[[:space:]]*$/ { flush(); next }
            tolower($1) == "types:" {
                for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
                stanza = stanza "Types: deb-src\n"; next
            }
            tolower($1) == "enabled:" && tolower($2) == "no" { enabled = 0 }
            { stanza = stanza $0 "\n" }
            END { flush() }
        ' "${sources[@]}" >"$tmp"
        [ -s "$tmp" ] && $SUDO cp "$tmp" "$dir/updater-toolchain-src.sources"
    fi
    if [ "${#lists[@]}" -gt 0 ]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "${lists[@]}" 2>/dev/null >"$tmp" || true
        [ -s "$tmp" ] && $SUDO cp "$tmp" "$dir/updater-toolchain-src.list"
    fi
    rm -f "$tmp"
    ls "$dir"/updater-toolchain-src.* >/dev/null 2>&1 || { echo "no deb entries to mirror" >&2; return 1; }
    cat "$dir"/updater-toolchain-src.*
}

fetch_sources() {
    add_deb_src
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    rm -rf "$SRC"
    mkdir -p "$SRC"
    local package
    for package in qtbase-opensource-src zlib openssl libzstd; do
        fetch_source "$package"
    done
}

# The newest version the mirrors carry; a mirror may list a version (often a
# security update) whose files it does not have, so older ones are tried next.
fetch_source() {
    local package=$1 version
    for version in $(source_versions "$package"); do
        if (cd "$SRC" && apt-get source --only-source "$package=$version"); then
            echo "$package $version" >>"$SRC/fetched"
            return 0
        fi
        echo "$package $version: not downloadable, trying an older version" | tee -a "$SRC/skipped"
        rm -rf "$SRC/${package}_$version"* "$SRC/$package"-*/
    done
    echo "no source of $package could be fetched" >&2
    return 1
}

# All versions of a source package the deb-src entries list, newest first.
source_versions() {
    local versions=() v i j t
    mapfile -t versions < <(apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p' | sort -u)
    for ((i = 0; i < ${#versions[@]}; i++)); do
        for ((j = i + 1; j < ${#versions[@]}; j++)); do
            if dpkg --compare-versions "${versions[j]}" gt "${versions[i]}"; then
                t=${versions[i]}; versions[i]=${versions[j]}; versions[j]=$t
            fi
        done
    done
    printf '%s\n' "${versions[@]}"
}

# The unpacked source folder of a Debian source package.
srcdir() {
    find "$SRC" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | sort | tail -n 1
}

# Upstream version: no epoch, no Debian revision, no +dfsg suffix.
upstream_version() {
    (cd "$1" && dpkg-parsechangelog -S Version) | sed -e 's/^[0-9]*://' -e 's/-[^-]*$//' -e 's/[+~].*$//'
}

debian_version() {
    (cd "$1" && dpkg-parsechangelog -S Version)
}

# Calls by name without touching the machine's alternatives: a folder first on
# PATH where the unsuffixed compiler names lead to the -posix ones.
make_shim() {
    mkdir -p "$SHIM"
    local tool target
    for tool in gcc g++ c++ cpp; do
        target=/usr/bin/$TRIPLET-$tool-posix
        if [ -x "$target" ]; then ln -sf "$target" "$SHIM/$TRIPLET-$tool"; fi
    done
}

build_zlib() {
    local src
    src=$(srcdir zlib)
    rm -rf "$ZLIB" "$SCRATCH/zlib-obj"
    mkdir -p "$ZLIB/lib" "$ZLIB/include" "$SCRATCH/zlib-obj"
    local file
    for file in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback \
                inffast inflate inftrees trees uncompr zutil; do
        $TRIPLET-gcc-posix -O2 -I"$src" -c "$src/$file.c" -o "$SCRATCH/zlib-obj/$file.o"
    done
    $TRIPLET-ar rcs "$ZLIB/lib/libz.a" "$SCRATCH"/zlib-obj/*.o
    cp "$src/zlib.h" "$src/zconf.h" "$ZLIB/include/"
}

build_openssl() {
    local src
    src=$(srcdir openssl)
    rm -rf "$OSSL" "$SCRATCH/openssl-build"
    mkdir -p "$SCRATCH/openssl-build"
    cd "$SCRATCH/openssl-build"
    PATH=$SHIM:$PATH "$src/Configure" mingw64 shared no-tests \
        --cross-compile-prefix=$TRIPLET- --prefix="$OSSL" --libdir=lib
    PATH=$SHIM:$PATH make -j"$JOBS" build_sw
    PATH=$SHIM:$PATH make install_sw
}

build_zstd() {
    local src version stage_dir
    src=$(srcdir libzstd)
    version=$(upstream_version "$src")
    stage_dir=$SCRATCH/zstd-stage/zstd-$version-mingw64
    rm -rf "$SCRATCH/zstd-build" "$SCRATCH/zstd-stage"
    cmake -S "$src/build/cmake" -B "$SCRATCH/zstd-build" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage_dir" \
        -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF \
        -DZSTD_BUILD_SHARED=ON -DZSTD_BUILD_STATIC=ON \
        -DZSTD_MULTITHREAD_SUPPORT=ON -DZSTD_LEGACY_SUPPORT=OFF
    cmake --build "$SCRATCH/zstd-build" --parallel "$JOBS"
    cmake --install "$SCRATCH/zstd-build"
    $TRIPLET-strip --strip-unneeded "$stage_dir"/bin/*.dll
    cp "$src/COPYING" "$src/LICENSE" "$stage_dir/"
    tar -C "$SCRATCH/zstd-stage" -cf - "zstd-$version-mingw64" | xz -T0 -6 >"$OUT_DIR/zstd-$version-mingw64.tar.xz.part"
    mv "$OUT_DIR/zstd-$version-mingw64.tar.xz.part" "$OUT_DIR/zstd-$version-mingw64.tar.xz"
}

# Debian's source leaves out src/3rdparty/wintab (tablet support of the
# Windows platform plugin); Wine's headers declare the same interface.
add_wintab() {
    local src=$1 wine=/usr/include/wine/wine/windows
    mkdir -p "$src/src/3rdparty/wintab"
    {
        echo '#include <windows.h>'
        echo '#define WINELIB_NAME_AW(n) n##W'
        echo '#define DECL_WINELIB_TYPE_AW(t) typedef WINELIB_NAME_AW(t) t;'
        echo '#define API WINAPI'
        cat "$wine/wintab.h"
    } >"$src/src/3rdparty/wintab/wintab.h"
    cp "$wine/pktdef.h" "$src/src/3rdparty/wintab/pktdef.h"
}

configure_qt() {
    local src
    src=$(srcdir qtbase-opensource-src)
    [ -f "$src/src/3rdparty/wintab/wintab.h" ] || add_wintab "$src"
    rm -rf "$QT_BUILD" "$QT_PREFIX"
    mkdir -p "$QT_BUILD"
    cd "$QT_BUILD"
    PATH=$SHIM:$PATH OPENSSL_LIBS="-L$OSSL/lib -lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32" \
    "$src/configure" -xplatform win32-g++ -device-option CROSS_COMPILE=$TRIPLET- \
        -prefix "$QT_PREFIX" -opensource -confirm-license -release -shared \
        -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
        -system-zlib -I "$ZLIB/include" -L "$ZLIB/lib" \
        -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
        -no-sql-mysql -no-sql-psql -no-sql-odbc -no-sql-sqlite \
        -openssl-linked -I "$OSSL/include" -L "$OSSL/lib" -no-vulkan
    grep -E 'directly linked to OpenSSL.*yes' "$QT_BUILD/config.summary"
}

build_qt() {
    cd "$QT_BUILD"
    PATH=$SHIM:$PATH make -j"$JOBS"
}

install_qt() {
    cd "$QT_BUILD"
    rm -rf "$QT_PREFIX"
    PATH=$SHIM:$PATH make install
}

# The archive's tree: Qt's install plus OpenSSL's runtime, headers and import
# libraries; DLLs stripped; the modules the project does not use left out.
package_qt() {
    local version=$1 stage_dir=$SCRATCH/qt-stage
    local name=qt$version-openssl3-mingw64
    rm -rf "$stage_dir"
    cp -a "$QT_PREFIX" "$stage_dir"
    cp "$OSSL"/bin/*.dll "$stage_dir/bin/"
    if [ -f "$OSSL/bin/openssl.exe" ]; then cp "$OSSL/bin/openssl.exe" "$stage_dir/bin/"; fi
    cp -r "$OSSL/include/openssl" "$stage_dir/include/"
    cp "$OSSL/lib/libssl.dll.a" "$OSSL/lib/libcrypto.dll.a" "$stage_dir/lib/"
    local module
    for module in Sql Xml PrintSupport; do
        rm -rf "$stage_dir/bin/Qt5$module.dll" "$stage_dir/lib/libQt5$module.a" \
               "$stage_dir/lib/Qt5$module.prl" "$stage_dir/lib/pkgconfig/Qt5$module.pc" \
               "$stage_dir/lib/cmake/Qt5$module" "$stage_dir/include/Qt$module"
    done
    rm -rf "$stage_dir/plugins/sqldrivers" "$stage_dir/plugins/printsupport"
    rm -f "$stage_dir"/mkspecs/modules/qt_lib_{sql,xml,printsupport}{,_private}.pri
    find "$stage_dir" -name '*.dll' -exec $TRIPLET-strip --strip-unneeded {} +
    local tool    # the Linux host tools; qmake comes unstripped
    for tool in "$stage_dir"/bin/*; do
        if [ "$(head -c 4 "$tool" | od -An -c | tr -d ' \n')" = '177ELF' ]; then strip --strip-unneeded "$tool"; fi
    done
    tar -C "$stage_dir" -cf - . | xz -T0 -6 >"$OUT_DIR/$name.tar.xz.part"
    mv "$OUT_DIR/$name.tar.xz.part" "$OUT_DIR/$name.tar.xz"
}

main() {
    local total=$SECONDS
    echo "toolchain: building into $OUT_DIR (scratch $SCRATCH, $JOBS jobs, log $LOG)"
    stage packages install_packages
    stage sources fetch_sources
    make_shim

    local qt_src zlib_src ossl_src zstd_src qt_version
    qt_src=$(srcdir qtbase-opensource-src)
    zlib_src=$(srcdir zlib)
    ossl_src=$(srcdir openssl)
    zstd_src=$(srcdir libzstd)
    if [ -z "$qt_src" ] || [ -z "$zlib_src" ] || [ -z "$ossl_src" ] || [ -z "$zstd_src" ]; then
        echo "toolchain: sources missing in $SRC; remove $SCRATCH/.done-sources and run again" >&2
        exit 1
    fi
    qt_version=$(upstream_version "$qt_src")
    echo "toolchain: Debian sources: qtbase $(debian_version "$qt_src"), zlib $(debian_version "$zlib_src")," \
         "openssl $(debian_version "$ossl_src"), libzstd $(debian_version "$zstd_src")"
    if [ -f "$SRC/skipped" ]; then sed 's/^/toolchain: note: /' "$SRC/skipped"; fi
    case $qt_version in
        5.15.*) ;;
        *) echo "toolchain: Debian's qtbase is $qt_version; the project needs Qt 5.15" >&2; exit 1 ;;
    esac
    case $(upstream_version "$ossl_src") in
        3.*) ;;
        *) echo "toolchain: Debian's openssl is $(upstream_version "$ossl_src"); Qt must link OpenSSL 3" >&2; exit 1 ;;
    esac

    stage zlib build_zlib
    stage openssl build_openssl
    stage zstd build_zstd
    stage qt-configure configure_qt
    stage qt-build build_qt
    stage qt-install install_qt
    stage qt-package package_qt "$qt_version"

    echo "toolchain: finished in $(elapsed $total):"
    echo "  UPDATER_QT_MINGW_TARBALL=$OUT_DIR/qt$qt_version-openssl3-mingw64.tar.xz"
    echo "  UPDATER_ZSTD_MINGW_TARBALL=$OUT_DIR/zstd-$(upstream_version "$zstd_src")-mingw64.tar.xz"
}

main
