# prefix.sh create|remove: the one Wine prefix of a test run. Creating one
# takes about 10 s and 700 MB, so the Wine tests share it.
set -euo pipefail
: "${WINEPREFIX:?set by CTest}" "${WINE_TEST_LOCALES:?set by CTest}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

case "${1:-}" in
create)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    # A Chinese Windows (code page 936) needs a Chinese Linux locale under
    # Wine. Compiled into our own folder, the machine's locales stay as they
    # are.
    if [ ! -f "$WINE_TEST_LOCALES/zh_CN.UTF-8/LC_CTYPE" ]; then
        mkdir -p "$WINE_TEST_LOCALES"
        localedef -i zh_CN -f UTF-8 "$WINE_TEST_LOCALES/zh_CN.UTF-8" ||
            [ -f "$WINE_TEST_LOCALES/zh_CN.UTF-8/LC_CTYPE" ] ||
            { echo "cannot compile the zh_CN.UTF-8 locale (Debian package locales)" >&2; exit 1; }
    fi
    export LOCPATH="$WINE_TEST_LOCALES" LC_ALL=zh_CN.UTF-8
    wineboot --init >/dev/null 2>&1
    # qDebug of a GUI program goes to stderr, where the tests collect it,
    # instead of OutputDebugString. Wine hands QT_* variables of the Linux
    # side to no Windows program, so it is set in the prefix's registry.
    wine reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
    wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] || { echo "no Wine prefix was created in $WINEPREFIX" >&2; exit 1; }
    grep -q 'QT_FORCE_STDERR_LOGGING' "$WINEPREFIX/user.reg" ||
        { echo "the prefix's environment was not set" >&2; exit 1; }
    echo "Wine prefix ready: $WINEPREFIX ($(wine --version 2>/dev/null))"
    ;;
remove)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    echo "Wine prefix removed"
    ;;
*)
    echo "usage: prefix.sh create|remove" >&2
    exit 2
    ;;
esac
