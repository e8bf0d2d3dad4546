# Authenticode signing of the shipped executables (cmake/SignWindows.cmake,
# run by the deploy step when UPDATER_SIGN_PKCS12 is set): with a code-signing
# certificate made here, updater.exe and updater-publish.exe carry a
# signature that osslsigncode verifies against its CA, and the signed
# updater.exe still runs. The default deploy is unsigned; a wrong password
# fails the step and leaves the file as it was; the password never stays on
# disk.
source "$(dirname "$0")/lib.sh"
SIGN_SCRIPT="$(cd "$(dirname "$0")/../../cmake" && pwd)/SignWindows.cmake"
TOOLS_DIR="$(dirname "$UPDATER_DEPLOY_DIR")/tools"

note "the deployed files are unsigned"
for exe in "$UPDATER_DEPLOY_DIR/updater.exe" "$TOOLS_DIR/updater-publish.exe"; do
    if osslsigncode verify -in "$exe" >"$WORK/unsigned.txt" 2>&1; then
        fail "$exe is signed by default: $(cat "$WORK/unsigned.txt")"
    fi
done

note "a code-signing certificate of our own"
CERTS="$WORK/certs"
mkdir -p "$CERTS"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Updater Test Root" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
    -keyout "$CERTS/ca.key" -out "$CERTS/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Updater Test Vendor" \
    -keyout "$CERTS/sign.key" -out "$CERTS/sign.csr" 2>/dev/null
printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$CERTS/ext.cnf"
openssl x509 -req -in "$CERTS/sign.csr" -CA "$CERTS/ca.pem" -CAkey "$CERTS/ca.key" -CAcreateserial \
    -days 2 -extfile "$CERTS/ext.cnf" -out "$CERTS/sign.pem" 2>/dev/null
PASSWORD='pass with blanks; and $igns'
openssl pkcs12 -export -inkey "$CERTS/sign.key" -in "$CERTS/sign.pem" -certfile "$CERTS/ca.pem" \
    -passout "pass:$PASSWORD" -out "$CERTS/sign.p12"

SIGNED="$WORK/signed"
mkdir -p "$SIGNED/tools"
cp -r "$UPDATER_DEPLOY_DIR" "$SIGNED/client"
cp "$TOOLS_DIR/updater-publish.exe" "$SIGNED/tools/"
sign() { # password-variable files...
    local variable=$1
    shift
    local files
    files=$(IFS=';'; echo "$*")
    (cd "$WORK" && cmake -DOSSLSIGNCODE="$(command -v osslsigncode)" -DPKCS12="$CERTS/sign.p12" \
        -DPASSWORD_ENV="$variable" -DDESCRIPTION="Updater Test" "-DFILES=$files" -P "$SIGN_SCRIPT")
}

note "a wrong password fails and changes nothing"
before=$(md5sum <"$SIGNED/client/updater.exe")
if WRONG_PASSWORD=nope sign WRONG_PASSWORD "$SIGNED/client/updater.exe" >"$WORK/wrong.txt" 2>&1; then
    fail "signing with a wrong password succeeded"
fi
[ "$(md5sum <"$SIGNED/client/updater.exe")" = "$before" ] || fail "a failed signing changed updater.exe"
assert_absent "$SIGNED/client/updater.exe.signed"
if sign UNSET_PASSWORD_VARIABLE "$SIGNED/client/updater.exe" >"$WORK/unset.txt" 2>&1; then
    fail "signing without the password variable succeeded"
fi
grep -q 'UNSET_PASSWORD_VARIABLE' "$WORK/unset.txt" || fail "the missing variable is not named: $(cat "$WORK/unset.txt")"

note "signed with the right password"
TEST_SIGN_PASSWORD=$PASSWORD sign TEST_SIGN_PASSWORD "$SIGNED/client/updater.exe" "$SIGNED/tools/updater-publish.exe" \
    >"$WORK/sign.txt" 2>&1 || fail "signing failed: $(cat "$WORK/sign.txt")"
for exe in "$SIGNED/client/updater.exe" "$SIGNED/tools/updater-publish.exe"; do
    osslsigncode verify -CAfile "$CERTS/ca.pem" -in "$exe" >"$WORK/verify.txt" 2>&1 ||
        fail "$exe does not verify: $(cat "$WORK/verify.txt")"
    grep -q 'Signature verification: ok' "$WORK/verify.txt" || fail "no verified signature: $(cat "$WORK/verify.txt")"
    grep -q 'Updater Test Vendor' "$WORK/verify.txt" || fail "signer not named: $(cat "$WORK/verify.txt")"
done
# Nothing of the password is left behind.
if grep -rlF -- "$PASSWORD" "$WORK" --exclude-dir=certs >"$WORK/leaks.txt" 2>/dev/null; then
    fail "the password stayed on disk: $(cat "$WORK/leaks.txt")"
fi

note "the signed updater.exe runs"
mkdir -p "$WORK/server"
write_version "$WORK/server/update.ini" v2 2.0
start_nginx "$WORK/server"
APP="$WORK/app dir"
UPDATER_DEPLOY_DIR="$SIGNED/client" new_app "$APP" 2.0
run_updater "$APP" console console
finish_updater console
[ "$UPDATER_STATUS" -eq 0 ] || fail "the signed updater exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/console.out" $'{"errormsg":"","success":true,"update":false}\r\n'
note "passed"
