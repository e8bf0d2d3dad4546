# An installation that is up to date. In console mode the updater prints the
# report and exits without starting anything; in normal mode ("Console" in
# capitals is not the console switch) it hands over to the main program
# through UpdateTmp/start_main.bat and cmd.
source "$(dirname "$0")/lib.sh"

mkdir -p "$WORK/server"
write_version "$WORK/server/update.ini" v2 2.0
start_nginx "$WORK/server"
APP="$WORK/app dir"
new_app "$APP" 2.0

note "console mode"
run_updater "$APP" console console
finish_updater console
[ "$UPDATER_STATUS" -eq 0 ] || fail "console run exited with $UPDATER_STATUS"
# The C runtime's stdout is in text mode on Windows: the newline is CR LF.
assert_file_bytes "$WORK/console.out" $'{"errormsg":"","success":true,"update":false}\r\n'
wait_prefix_idle
assert_absent "$APP/main_started.txt"
assert_absent "$APP/UpdateTmp/start_main.bat"
# Equal versions: the downloaded copy is removed again, nothing else is read.
assert_absent "$APP/UpdateTmp/updateTmp.ini"
assert_absent "$APP/md5.txt"
[ "$(requests)" = "GET /update.ini 200" ] || fail "unexpected requests: $(requests)"
assert_log_has console '下载成功: "'

note "normal mode"
mark_requests
run_updater "$APP" normal Console
finish_updater normal
[ "$UPDATER_STATUS" -eq 0 ] || fail "normal run exited with $UPDATER_STATUS"
[ ! -s "$WORK/normal.out" ] || fail "normal mode printed: $(cat "$WORK/normal.out")"
assert_file_bytes "$APP/UpdateTmp/start_main.bat" $'@echo off\r\ntimeout /t 2 /nobreak\r\n"%~dp0..\\main.exe"\r\nexit'
# cmd (and through it the main program) outlives the updater.
wait_prefix_idle
[ -f "$APP/main_started.txt" ] || fail "the main program was not started"
[ "$(wc -l <"$APP/main_started.txt")" -eq 1 ] || fail "main program started more than once: $(cat "$APP/main_started.txt")"
IFS=$'\t' read -r cmdline parent <"$APP/main_started.txt"
[ "$parent" = "cmd.exe" ] || fail "main program started by '$parent', not cmd.exe"
case "$cmdline" in
*'\app dir\UpdateTmp\..\main.exe'*) ;;
*) fail "main program not started through the batch: $cmdline" ;;
esac
[ "$(requests)" = "GET /update.ini 200" ] || fail "unexpected requests: $(requests)"
note "passed"
