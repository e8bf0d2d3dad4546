# Sourced by the Wine process tests: the Wine environment, a private nginx on
# 127.0.0.1, throw-away application folders and assertions that name what
# went wrong.
set -euo pipefail

: "${WINEPREFIX:?set by CTest}" "${WINE_TEST_WORK:?set by CTest}" "${WINE_TEST_LOCALES:?set by CTest}"
: "${UPDATER_DEPLOY_DIR:?set by CTest}" "${WINE_TEST_MAINPROG:?set by CTest}"
: "${WINE_TEST_HOLDFILE:?set by CTest}" "${WINE_TEST_WINMAIN_PROBE:?set by CTest}"
: "${WINE_TEST_QT_PLUGINS:?set by CTest}"
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installer prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The updater's users run a Chinese Windows: ANSI code page 936. Wine takes
# it from the Linux locale, which prefix.sh compiles into our own folder (so
# that Linux text and names reach Windows programs intact). Only Wine's
# processes get it; the shell's tools stay in their own locale.
WINE_LOCALE=(env LOCPATH="$WINE_TEST_LOCALES" LC_ALL=zh_CN.UTF-8)

# Bounded waits: a hang fails with a message instead of a CTest time-out.
WAIT_LIMIT=${WAIT_LIMIT:-120}

TEST_NAME=${WINE_TEST_NAME:-$(basename "$0" .sh)}
WORK="$WINE_TEST_WORK/$TEST_NAME"
rm -rf "$WORK"
mkdir -p "$WORK"

NGINX_PID=
BACKGROUND_PIDS=()

fail() {
    echo "FAIL [$TEST_NAME]: $*" >&2
    exit 1
}

note() {
    echo "[$TEST_NAME] $*"
}

cleanup() {
    local status=$?
    local pid
    for pid in "${BACKGROUND_PIDS[@]}"; do
        kill -9 "$pid" 2>/dev/null || true
    done
    # Detached children (cmd, the main program) are ended with the prefix's
    # server, never left running past the test.
    wineserver -k 2>/dev/null || true
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    if [ "$status" -ne 0 ]; then
        echo "--- files of the failed test are kept in $WORK" >&2
        local log
        for log in "$WORK"/*.log.txt; do
            [ -f "$log" ] || continue
            echo "--- $log" >&2
            tail -n 40 "$log" >&2
        done
    fi
    exit "$status"
}
trap cleanup EXIT

# Windows form of a Linux path (Z:\...), as Windows programs take them.
winpath() {
    "${WINE_LOCALE[@]}" winepath -w "$1" 2>/dev/null
}

# Our own readiness requests, left out of requests().
READY_PROBE=nginx-ready-probe
REQUESTS_MARK=0

# start_nginx ROOT: serves ROOT on a free port of 127.0.0.1. Sets NGINX_PORT,
# NGINX_URL (with trailing slash) and NGINX_ACCESS_LOG ("METHOD URI STATUS").
# With NGINX_TLS_CERT and NGINX_TLS_KEY set (PEM files) it serves https.
start_nginx() {
    local root=$1 dir="$WORK/nginx" attempt port
    local scheme=http ssl= tls_lines=
    if [ -n "${NGINX_TLS_CERT:-}" ]; then
        scheme=https
        ssl=" ssl"
        tls_lines="ssl_certificate $NGINX_TLS_CERT; ssl_certificate_key $NGINX_TLS_KEY;"
    fi
    mkdir -p "$dir/tmp"
    NGINX_ACCESS_LOG="$dir/access.log"
    local user_line=
    # As root the workers would run as nobody and could not read our folders.
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    for attempt in $(seq 1 20); do
        port=$((20000 + RANDOM % 30000))
        cat >"$dir/nginx.conf" <<EOF
$user_line
daemon off;
master_process on;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
    log_format plain '\$request_method \$request_uri \$status';
    access_log $NGINX_ACCESS_LOG plain;
    client_body_temp_path $dir/tmp;
    proxy_temp_path $dir/tmp;
    fastcgi_temp_path $dir/tmp;
    uwsgi_temp_path $dir/tmp;
    scgi_temp_path $dir/tmp;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port$ssl;
        root $root;
        $tls_lines
    }
}
EOF
        : >"$NGINX_ACCESS_LOG"
        nginx -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" >"$dir/nginx.out" 2>&1 &
        NGINX_PID=$!
        local waited=0
        while kill -0 "$NGINX_PID" 2>/dev/null; do
            if curl -s -k -o /dev/null "$scheme://127.0.0.1:$port/$READY_PROBE"; then
                NGINX_PORT=$port
                NGINX_URL="$scheme://127.0.0.1:$port/"
                return 0
            fi
            sleep 0.1
            waited=$((waited + 1))
            [ "$waited" -lt 100 ] || break
        done
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    done
    cat "$dir/error.log" >&2 || true
    fail "nginx did not start on any port"
}

# stop_nginx: ends the server start_nginx started.
stop_nginx() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    fi
}

# md5 manifest line for FILE under ROOT, as md5.txt holds it.
manifest_line() {
    local root=$1 relative=$2
    printf '%s\t/%s\n' "$(md5sum <"$root/$relative" | cut -d' ' -f1)" "$relative"
}

# write_manifest ROOT FILE...: ROOT/md5.txt for the given relative paths,
# sorted the way the updater sorts keys (by UTF-16 code unit; ASCII here).
write_manifest() {
    local root=$1
    shift
    local relative
    for relative in "$@"; do
        manifest_line "$root" "$relative"
    done | LC_ALL=C sort -t "$(printf '\t')" -k2 >"$root/md5.txt"
}

# write_version FILE FOLDER VERSION: an update.ini, the server's or a version record.
write_version() {
    printf '[Version]\nFolder=%s\nVersion=%s\n' "$2" "$3" >"$1"
}

# new_app DIR VERSION: a vendor's installation: the deployed updater with its
# DLLs, the stand-in main program, system.cfg and the version record.
new_app() {
    local app=$1 version=$2
    mkdir -p "$app/UpdateTmp"
    cp -r "$UPDATER_DEPLOY_DIR"/. "$app"/
    cp "$WINE_TEST_MAINPROG" "$app/main.exe"
    printf '[Update]\nURL=%s\nExeName=main.exe\n' "$NGINX_URL" >"$app/system.cfg"
    write_version "$app/UpdateTmp/update.ini" v"$version" "$version"
}

# The shipped folder has no offscreen platform; Qt's plugin folder lends it.
# Wine turns WINEQT_X into QT_X for Windows programs.
WINEQT_PLUGIN_PATH=$("${WINE_LOCALE[@]}" winepath -w "$WINE_TEST_QT_PLUGINS" 2>/dev/null)
export WINEQT_PLUGIN_PATH

# run_updater APP NAME ARGS...: runs APP/updater.exe in the background with
# its standard output in $WORK/NAME.out and its log in $WORK/NAME.log.txt.
# The working directory is not APP: nothing may depend on it. Sets
# UPDATER_PID (the Wine process that is the Windows process).
run_updater() {
    local app=$1 name=$2
    shift 2
    (cd "$WORK" && exec "${WINE_LOCALE[@]}" wine "$app/updater.exe" "$@" -platform offscreen \
        >"$WORK/$name.out" 2>"$WORK/$name.err") &
    UPDATER_PID=$!
    BACKGROUND_PIDS+=("$UPDATER_PID")
}

# finish_updater NAME: waits for the updater started last to end and sets
# UPDATER_STATUS. Its log (code page 936) is turned into $WORK/NAME.log.txt.
finish_updater() {
    local name=$1 waited=0
    while kill -0 "$UPDATER_PID" 2>/dev/null; do
        [ "$waited" -lt $((WAIT_LIMIT * 10)) ] || fail "$name still running after ${WAIT_LIMIT}s"
        sleep 0.1
        waited=$((waited + 1))
    done
    UPDATER_STATUS=0
    wait "$UPDATER_PID" || UPDATER_STATUS=$?
    updater_log "$name"
}

# The offscreen platform looks for fonts beside the executable and says so
# for every text it lays out; those lines are left out.
updater_log() {
    iconv -c -f GBK -t UTF-8 <"$WORK/$1.err" |
        grep -vE '^(QFontDatabase: Cannot find font directory|Note that Qt no longer ships fonts)' \
            >"$WORK/$1.log.txt" || true
}

# wait_until DESCRIPTION COMMAND...: polls until COMMAND succeeds.
wait_until() {
    local description=$1 waited=0
    shift
    until "$@"; do
        [ "$waited" -lt $((WAIT_LIMIT * 10)) ] || fail "gave up waiting for $description"
        sleep 0.1
        waited=$((waited + 1))
    done
}

# Waits until every Windows process of the prefix has ended (the updater's
# detached cmd and the main program included).
wait_prefix_idle() {
    timeout "$WAIT_LIMIT" wineserver -w || fail "Windows processes still running after ${WAIT_LIMIT}s"
}

assert_same_file() {
    cmp -s "$1" "$2" || fail "$1 differs from $2"
}

assert_file_bytes() {
    local file=$1 expected=$2
    [ -f "$file" ] || fail "$file is missing"
    cmp -s "$file" <(printf '%s' "$expected") ||
        fail "$file holds [$(LC_ALL=C sed -n l "$file" | tr -d '\n')] instead of [$(printf '%s' "$expected" | LC_ALL=C sed -n l | tr -d '\n')]"
}

assert_absent() {
    [ ! -e "$1" ] || fail "$1 should not exist"
}

assert_log_has() {
    local name=$1 text=$2
    grep -qF -- "$text" "$WORK/$name.log.txt" || fail "log of $name lacks: $text"
}

# Lists a tree's folders and its files' MD5s, for before/after comparisons.
# A version record as the server published it: without the transaction
# stamp the updater adds when it installs one, and with LF line ends.
unstamped_record() {
    tr -d '\r' <"$1" | grep -v '^Transaction='
}

assert_same_record() {
    cmp -s "$1" <(unstamped_record "$2") || fail "$2 is not the record $1: $(cat "$2")"
}

# Folders and file digests of an installation; the version record counts
# without its stamp, the lock and the log of a running updater not at all.
tree_digest() {
    (cd "$1" && find . -type d | LC_ALL=C sort &&
        find . -type f ! -path ./UpdateTmp/updater.lock ! -path './UpdateTmp/updater.log*' \
            ! -path ./UpdateTmp/update.ini -print0 |
            LC_ALL=C sort -z | xargs -0 -r md5sum &&
        if [ -f UpdateTmp/update.ini ]; then echo "record $(unstamped_record UpdateTmp/update.ini | md5sum)"; fi)
}

# The requests nginx saw since the last mark_requests (or its start), as
# "METHOD URI STATUS" lines.
requests() {
    tail -n +$((REQUESTS_MARK + 1)) "$NGINX_ACCESS_LOG" | grep -v " /$READY_PROBE " || true
}

mark_requests() {
    REQUESTS_MARK=$(wc -l <"$NGINX_ACCESS_LOG")
}
