#!/usr/bin/env bash
# The updater at work: builds the updater and the release tool
# (tools/setup.sh --demo: on a new Debian 12 about 1.5 minutes, nearly all
# of it packages and the build; the demo itself takes seconds),
# publishes version 1.0 and 2.0 of a small demo application with
# updater-publish, serves them with nginx on 127.0.0.1, lays out an
# installation at 1.0, runs the updater on it (a visible dialog when a
# display is present, offscreen otherwise) and reports what happened.
#
#   tools/demo.sh            KEEP_DEMO=1 keeps the demo folder afterwards
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

"$ROOT/tools/setup.sh" --demo

DEMO=$(mktemp -d /tmp/updater-demo.XXXXXX)
chmod 755 "$DEMO"
# shellcheck source=local-nginx.sh
. "$ROOT/tools/local-nginx.sh"
cleanup() {
    local_nginx_stop
    if [ -n "${KEEP_DEMO:-}" ]; then echo "demo folder kept: $DEMO"; else rm -rf "$DEMO"; fi
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }

# --- two versions of a small application ----------------------------------
make_version() { # folder version
    local dir=$1 version=$2
    mkdir -p "$dir/data" "$dir/docs"
    cat >"$dir/demo-app" <<APP
#!/bin/sh
# The demo's main program: notes that it ran, and which version it is.
echo "demo application $version started" >> "\$(dirname "\$0")/demo-app.log"
APP
    chmod 755 "$dir/demo-app"
    echo "Demo application, version $version." >"$dir/readme.txt"
    printf 'level 1\nlevel 2\n' >"$dir/data/levels.txt"
    echo "User guide for $version" >"$dir/docs/user guide.txt"
    echo "演示程序说明" >"$dir/说明.txt"
}
make_version "$DEMO/source-1.0" 1.0
make_version "$DEMO/source-2.0" 2.0
mkdir -p "$DEMO/source-2.0/plugins"
head -c 300000 /dev/urandom >"$DEMO/source-2.0/plugins/extra.dat"

say "publishing 1.0 and 2.0 with updater-publish"
"$BUILD_DIR/src/updater-publish" --version 1.0 "$DEMO/source-1.0" "$DEMO/server"
cp "$DEMO/server/update.ini" "$DEMO/record-1.0.ini"
"$BUILD_DIR/src/updater-publish" --version 2.0 "$DEMO/source-2.0" "$DEMO/server"

# --- nginx on a free port ---------------------------------------------------
say "serving $DEMO/server with nginx"
local_nginx_start "$DEMO/server" "$DEMO/nginx" '$request_uri $status' \
    || { echo "demo: nginx did not start"; cat "$DEMO/nginx/error.log" 2>/dev/null; exit 1; }
PORT=$LOCAL_NGINX_PORT
echo "http://127.0.0.1:$PORT/"

# --- the installation at 1.0 -----------------------------------------------
say "installing 1.0 in $DEMO/app"
APP="$DEMO/app"
cp -a "$DEMO/source-1.0" "$APP"
cp "$BUILD_DIR/src/updater" "$APP/updater"
printf '[Update]\nURL=http://127.0.0.1:%s/\nExeName=demo-app\nMaxDownloads=6\n' "$PORT" >"$APP/system.cfg"
mkdir -p "$APP/UpdateTmp"
cp "$DEMO/record-1.0.ini" "$APP/UpdateTmp/update.ini"

# --- the update ---------------------------------------------------------------
if [ -n "${DISPLAY:-}" ]; then
    say "running the updater (watch its window)"
else
    say "running the updater (no display: offscreen)"
    export QT_QPA_PLATFORM=offscreen
fi
set +e
(cd / && "$APP/updater") 2>"$DEMO/updater.log"
EXIT_CODE=$?
set -e

# The updater hands over to the main program two seconds after it exits.
for _ in $(seq 1 100); do
    [ -s "$APP/demo-app.log" ] && break
    sleep 0.1
done

say "what happened"
ok=1
echo "updater exit code:     $EXIT_CODE"
[ "$EXIT_CODE" -eq 0 ] || ok=
echo "requests to the server:"
sed 's/^/    /' "$DEMO/nginx/access.log"
version=$(sed -n 's/^Version=//p' "$APP/UpdateTmp/update.ini")
echo "installed version:     $version"
[ "$version" = "2.0" ] || ok=
differing=0
while IFS= read -r -d '' file; do
    relative=${file#"$DEMO/source-2.0/"}
    cmp -s "$file" "$APP/$relative" || { echo "    differs from 2.0: $relative"; differing=$((differing + 1)); }
done < <(find "$DEMO/source-2.0" -type f -print0)
echo "files differing from 2.0: $differing"
[ "$differing" -eq 0 ] || ok=
echo "UpdateTmp/ now holds:  $(ls -A "$APP/UpdateTmp" | tr '\n' ' ')"
if [ -s "$APP/demo-app.log" ]; then
    echo "main program:          $(cat "$APP/demo-app.log")"
else
    echo "main program:          not started"
    ok=
fi

if [ -n "$ok" ]; then
    say "demo passed: the installation is at 2.0 and the main program started"
else
    say "demo FAILED (updater log: $DEMO/updater.log)"
    KEEP_DEMO=1
    exit 1
fi
