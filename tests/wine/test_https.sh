# https with the shipped OpenSSL DLLs: the deployed updater.exe updates
# 1.0 -> 2.0 from nginx over TLS, trusting only the CA that system.cfg's
# CaFile names (a relative path). A wrong host name, an expired certificate
# and an unknown CA each fail the check, leave the installation as it was,
# fetch nothing, and the log names Qt's reason.
source "$(dirname "$0")/lib.sh"

PKI="$WORK/pki"
mkdir -p "$PKI"
cd "$PKI"
make_ca() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.pem" \
        -days 30 -subj "/CN=updater test $1" 2>/dev/null || fail "openssl could not make CA $1"
}
# make_cert NAME CA SUBJECT_ALT_NAME DAYS (negative: validity ended)
make_cert() {
    printf 'subjectAltName=%s\n' "$3" >"$1.ext"
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" \
        -subj "/CN=$1" 2>/dev/null &&
        openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -set_serial "$RANDOM$RANDOM" -days "$4" \
            -extfile "$1.ext" -out "$1.pem" 2>/dev/null || fail "openssl could not make certificate $1"
}
make_ca ca
make_ca otherca
make_cert valid ca IP:127.0.0.1 30
make_cert wronghost ca DNS:updates.example.com 30
make_cert expired ca IP:127.0.0.1 -1
make_cert unknownca otherca IP:127.0.0.1 30
cd "$WORK"

SERVER="$WORK/server"
mkdir -p "$SERVER/v2/sub"
write_version "$SERVER/update.ini" v2 2.0
printf 'version 2\n' >"$SERVER/v2/a.txt"
printf 'new in 2\n' >"$SERVER/v2/sub/b.txt"
write_manifest "$SERVER/v2" a.txt sub/b.txt

# new_tls_app DIR: version 1.0 trusting ca.pem beside it, for the server now running.
new_tls_app() {
    new_app "$1" 1.0
    printf 'version 1\n' >"$1/a.txt"
    cp "$PKI/ca.pem" "$1/ca.pem"
    printf 'CaFile=ca.pem\n' >>"$1/system.cfg"
}

for case in wronghost expired unknownca; do
    NGINX_TLS_CERT="$PKI/$case.pem" NGINX_TLS_KEY="$PKI/$case.key" start_nginx "$SERVER"
    REQUESTS_MARK=0
    APP="$WORK/app-$case"
    new_tls_app "$APP"
    before=$(tree_digest "$APP")
    run_updater "$APP" "$case" console
    pid=$UPDATER_PID
    refused() {
        updater_log "$case"
        grep -qF '证书或CA文件错误:' "$WORK/$case.log.txt"
    }
    wait_until "the $case check to fail" refused
    case $case in
    wronghost) reason='host name did not match' ;;
    expired) reason='certificate has expired' ;;
    unknownca) reason='issuer certificate' ;;
    esac
    grep -qiF "$reason" "$WORK/$case.log.txt" || fail "$case: the log does not name '$reason': $(cat "$WORK/$case.log.txt")"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null || true
    wait_prefix_idle
    assert_file_bytes "$WORK/$case.out" $'{"errormsg":"","success":true,"update":true}\r\n'
    [ "$(tree_digest "$APP")" = "$before" ] || fail "$case: the installation changed"
    [ -z "$(requests)" ] || fail "$case: requests got through: $(requests)"
    stop_nginx
    note "$case refused"
done

NGINX_TLS_CERT="$PKI/valid.pem" NGINX_TLS_KEY="$PKI/valid.key" start_nginx "$SERVER"
REQUESTS_MARK=0
APP="$WORK/app-valid"
new_tls_app "$APP"
run_updater "$APP" valid console
finish_updater valid
[ "$UPDATER_STATUS" -eq 0 ] || fail "update exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/valid.out" $'{"errormsg":"","success":true,"update":true}\r\n'
wait_prefix_idle
assert_same_file "$SERVER/v2/a.txt" "$APP/a.txt"
assert_same_file "$SERVER/v2/sub/b.txt" "$APP/sub/b.txt"
assert_same_record "$SERVER/update.ini" "$APP/UpdateTmp/update.ini"
cat >"$WORK/expected_requests" <<'EOR'
GET /update.ini 200
GET /v2/md5.txt 200
GET /v2/a.txt 200
GET /v2/sub/b.txt 200
EOR
diff "$WORK/expected_requests" <(requests | sed 's#//*#/#g') >"$WORK/requests.diff" ||
    fail "requests differ: $(cat "$WORK/requests.diff")"
note "passed"
