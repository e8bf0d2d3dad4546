# One updater per installed copy: a second start of the same updater.exe
# while the first sits in its dialog exits with 1 and prints nothing, even in
# console mode; a copy in another folder runs; once the first has been
# killed, the same file starts again (Windows frees the marker with the
# process).
source "$(dirname "$0")/lib.sh"

# The server names a version folder without md5.txt: the first updater's run
# fails and its dialog stays open until someone closes it.
mkdir -p "$WORK/server"
write_version "$WORK/server/update.ini" v2 2.0
start_nginx "$WORK/server"
APP="$WORK/app dir"
OTHER="$WORK/other copy"
new_app "$APP" 1.0
new_app "$OTHER" 2.0

run_updater "$APP" first console
FIRST_PID=$UPDATER_PID
has_manifest_request() { requests | grep -qx 'GET /v2/md5.txt 404'; }
# The manifest is requested from the dialog's show event.
wait_until "the first updater's dialog" has_manifest_request
kill -0 "$FIRST_PID" 2>/dev/null || fail "the first updater ended instead of keeping its dialog open"
assert_file_bytes "$WORK/first.out" $'{"errormsg":"","success":true,"update":true}\r\n'

requests_before=$(requests)
run_updater "$APP" second console
finish_updater second
[ "$UPDATER_STATUS" -eq 1 ] || fail "second start exited with $UPDATER_STATUS, not 1"
[ ! -s "$WORK/second.out" ] || fail "second start printed: $(cat "$WORK/second.out")"
# Refused before the update check: it asked the server nothing.
[ "$(requests)" = "$requests_before" ] || fail "the refused start sent requests: $(requests)"

run_updater "$OTHER" other console
finish_updater other
[ "$UPDATER_STATUS" -eq 0 ] || fail "the copy in another folder exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/other.out" $'{"errormsg":"","success":true,"update":false}\r\n'

kill -0 "$FIRST_PID" 2>/dev/null || fail "the first updater did not survive the other starts"
kill -9 "$FIRST_PID"
wait "$FIRST_PID" 2>/dev/null || true
wait_prefix_idle

write_version "$APP/UpdateTmp/update.ini" v2 2.0
run_updater "$APP" after_kill console
finish_updater after_kill
[ "$UPDATER_STATUS" -eq 0 ] || fail "start after the first was killed exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/after_kill.out" $'{"errormsg":"","success":true,"update":false}\r\n'
note "passed"
