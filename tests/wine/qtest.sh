#!/usr/bin/env bash
# qtest.sh PROGRAM.exe ARGS...: the emulator of the cross-built Qt Test
# executables. Runs one under Wine in the lane's prefix, headless, with the
# deployed Qt DLLs and plugins, and, when WINE_TEST_NGINX is set, with nginx
# started here on the Linux side: under Wine a Windows process cannot run and
# stop a Linux program.
WINE_TEST_NAME=$(basename "$1" .exe)
# lib.sh asks for every variable of the lane's tests; CTest sets them all.
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
: "${WINE_TEST_QT_BIN:?set by CTest}" "${UPDATER_BINARY_DIR:?set by CTest}"

if [ -n "${WINE_TEST_NGINX:-}" ]; then
    # The whole drive C: of the prefix, which holds the tests' temporary
    # folders; NginxServer addresses its root below it.
    start_nginx "$WINEPREFIX/drive_c"
    export UPDATER_TEST_NGINX_PORT=$NGINX_PORT
    export UPDATER_TEST_NGINX_ROOT='C:\'
fi

# The offscreen platform on Windows takes its fonts from one folder, not from
# the system; this one has a CJK font (Debian package fonts-wqy-microhei).
FONT_DIR=${WINE_TEST_FONT_DIR:-/usr/share/fonts/truetype/wqy}
[ -d "$FONT_DIR" ] || fail "no font folder $FONT_DIR (Debian package fonts-wqy-microhei)"

# Windows programs take Windows paths: one winepath run converts them all.
mapfile -t converted < <(winepath -w "$UPDATER_DEPLOY_DIR" "$WINE_TEST_QT_BIN" "$UPDATER_BINARY_DIR" \
    "$FONT_DIR" "${NGINX_ACCESS_LOG:-/}" "$WINE_TEST_QT_PLUGINS" 2>/dev/null)
[ "${#converted[@]}" -eq 6 ] || fail "winepath could not convert the test's paths"
deploy=${converted[0]}
export WINEPATH="$deploy;${converted[1]}"
export UPDATER_BINARY_DIR=${converted[2]}
[ -z "${WINE_TEST_NGINX:-}" ] || export UPDATER_TEST_NGINX_LOG=${converted[4]}

# Wine hands no QT_* variable of the Linux side to Windows programs, but
# turns WINEQT_X into QT_X. Children of the test (updater.exe) inherit them.
# The shipped plugins come from beside updater.exe; offscreen from Qt's.
export WINEQT_PLUGIN_PATH=${converted[5]}
export WINEQT_QPA_PLATFORM=offscreen
export WINEQT_QPA_FONTDIR=${converted[3]}

# lib.sh's exit trap ends what the test left running in the prefix (so no
# detached child holds CTest's pipes) and stops nginx.
status=0
"${WINE_LOCALE[@]}" wine "$@" || status=$?
exit "$status"
