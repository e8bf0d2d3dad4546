# The Windows system proxy, as the Internet Options keep it (the binary
# DefaultConnectionSettings value), carries a whole update without any Proxy
# setting: update.ini, md5.txt and the files all go through squid on
# 127.0.0.1. The server is addressed by a name of this machine, since
# localhost and loopback addresses never go through a proxy.
source "$(dirname "$0")/lib.sh"

CONNECTIONS='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'

# The prefix is shared by the lane's tests: the system proxy goes with this one.
trap 'status=$?; wine reg delete "$CONNECTIONS" /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
      [ -z "${SQUID_PID:-}" ] || { kill "$SQUID_PID" 2>/dev/null; wait "$SQUID_PID" 2>/dev/null; }
      [ -z "${SQUID_DIR:-}" ] || rm -rf "$SQUID_DIR"
      (exit $status); cleanup' EXIT

# A name of this machine that resolves to loopback addresses only.
loopback_host() {
    local name addresses
    for name in "$(hostname)" updater-test-host; do
        addresses=$(getent ahosts "$name" 2>/dev/null | awk '{print $1}' | sort -u)
        [ -n "$addresses" ] || continue
        printf '%s\n' "$addresses" | grep -qv -e '^127\.' -e '^::1$' && continue
        echo "$name"
        return 0
    done
    return 1
}
HOST=$(loopback_host) || fail "no name of this machine resolves to 127.0.0.1 only (tools/setup.sh adds one)"

# start_squid: a caching forward proxy on a free port of 127.0.0.1. Sets
# SQUID_PORT, SQUID_PID and SQUID_ACCESS_LOG ("METHOD URL RESULT").
start_squid() {
    local dir attempt port waited
    # Squid drops root for its own user, which writes the logs: its folder
    # must be reachable by that user, which a checkout under /root is not.
    dir=$(mktemp -d /tmp/updater-squid.XXXXXX)
    SQUID_DIR=$dir
    chmod 777 "$dir"
    SQUID_ACCESS_LOG="$dir/access.log"
    for attempt in $(seq 1 10); do
        port=$((20000 + RANDOM % 30000))
        cat >"$dir/squid.conf" <<EOF
http_port 127.0.0.1:$port
visible_hostname updater-test
pid_filename $dir/squid.pid
cache_log $dir/cache.log
coredump_dir $dir
logformat paths %rm %ru %Ss
access_log stdio:$SQUID_ACCESS_LOG paths
cache_store_log none
acl local src 127.0.0.1/32
http_access allow local
http_access deny all
pinger_enable off
shutdown_lifetime 0 seconds
EOF
        squid -N -f "$dir/squid.conf" >"$dir/squid.out" 2>&1 &
        SQUID_PID=$!
        waited=0
        while kill -0 "$SQUID_PID" 2>/dev/null && [ "$waited" -lt 300 ]; do
            if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
                SQUID_PORT=$port
                return 0
            fi
            sleep 0.1
            waited=$((waited + 1))
        done
        kill "$SQUID_PID" 2>/dev/null || true
        wait "$SQUID_PID" 2>/dev/null || true
        SQUID_PID=
    done
    cat "$dir/cache.log" "$dir/squid.out" >&2 || true
    fail "squid did not start on any port"
}

# set_system_proxy HOST:PORT: the Internet Options' "use a proxy server",
# no bypass list, no script, no detection (version, counter, flags
# direct|proxy, then length-prefixed proxy, bypass and script texts).
set_system_proxy() {
    local proxy=$1 hex
    hex=$(printf '%08x' "${#proxy}" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
    hex="460000000000000003000000$hex$(printf '%s' "$proxy" | od -An -tx1 | tr -d ' \n')0000000000000000"
    hex="$hex$(printf '0%.0s' $(seq 1 64))"
    wine reg add "$CONNECTIONS" /v DefaultConnectionSettings /t REG_BINARY /d "$hex" /f >/dev/null 2>&1 ||
        fail "could not set the system proxy"
}

SERVER="$WORK/server"
mkdir -p "$SERVER/v2/sub"
write_version "$SERVER/update.ini" v2 2.0
printf 'version 2\r\n' >"$SERVER/v2/a b.txt"
head -c 100000 /dev/urandom >"$SERVER/v2/sub/lib.bin"
SERVER_FILES=("a b.txt" sub/lib.bin)
write_manifest "$SERVER/v2" "${SERVER_FILES[@]}"
start_nginx "$SERVER"
URL="http://$HOST:$NGINX_PORT/"
start_squid
set_system_proxy "127.0.0.1:$SQUID_PORT"

APP="$WORK/app"
new_app "$APP" 1.0
printf '[Update]\nURL=%s\nExeName=main.exe\n' "$URL" >"$APP/system.cfg"

run_updater "$APP" update console
finish_updater update
[ "$UPDATER_STATUS" -eq 0 ] || fail "update exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/update.out" $'{"errormsg":"","success":true,"update":true}\r\n'
wait_prefix_idle
for file in "${SERVER_FILES[@]}"; do
    assert_same_file "$SERVER/v2/$file" "$APP/$file"
done
assert_same_record "$SERVER/update.ini" "$APP/UpdateTmp/update.ini"

# Every request went through the proxy, none around it.
expected=$(printf 'GET %s\n' "${URL}update.ini" "${URL}v2/md5.txt" "${URL}v2/a%20b.txt" "${URL}v2/sub/lib.bin")
# (The readiness probe, a bare connection, logs as "- error:...".)
wait_until "squid's log of the run" test "$(grep -c '^GET ' "$SQUID_ACCESS_LOG")" -ge 4
seen=$(grep '^GET ' "$SQUID_ACCESS_LOG" | cut -d' ' -f1,2)
[ "$seen" = "$expected" ] || fail "squid saw [$seen] instead of [$expected]"
[ "$(requests | wc -l)" -eq 4 ] || fail "nginx saw [$(requests)]"
note "the update went through the system proxy"
