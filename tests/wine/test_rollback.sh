# A release that cannot be installed: another process holds one target open
# without sharing (as a running program or a scanner does on Windows), so it
# can be neither renamed nor replaced. Files installed before it are put back,
# new files and folders removed: the installation is byte for byte the old
# one, the failure is reported, the main program is not started, and the
# dialog stays open. Once the lock is gone, the same release installs.
source "$(dirname "$0")/lib.sh"

SERVER="$WORK/server"
mkdir -p "$SERVER/v2/new dir"
write_version "$SERVER/update.ini" v2 2.0
printf 'version 2 of a\n' >"$SERVER/v2/a.txt"
printf 'new in version 2\n' >"$SERVER/v2/new dir/n.txt"
printf 'version 2 of the locked file\n' >"$SERVER/v2/z_locked.dat"
# Keys in manifest order: the locked file comes last, after the others were
# installed.
write_manifest "$SERVER/v2" a.txt "new dir/n.txt" z_locked.dat
start_nginx "$SERVER"

APP="$WORK/app dir"
new_app "$APP" 1.0
printf 'version 1 of a\n' >"$APP/a.txt"
printf 'version 1 of the locked file\n' >"$APP/z_locked.dat"
write_manifest "$APP" a.txt z_locked.dat
tree_digest "$APP" >"$WORK/before.digest"

(exec "${WINE_LOCALE[@]}" wine "$WINE_TEST_HOLDFILE" "$(winpath "$APP/z_locked.dat")" \
    "$(winpath "$WORK/locked")" >"$WORK/holdfile.out" 2>&1) &
HOLDER_PID=$!
BACKGROUND_PIDS+=("$HOLDER_PID")
is_locked() { [ -f "$WORK/locked" ]; }
wait_until "the lock on z_locked.dat" is_locked

run_updater "$APP" update console
UPDATE_PID=$UPDATER_PID
failure_handled() {
    updater_log update
    grep -qF '取消/失败后清理临时文件完成' "$WORK/update.log.txt"
}
wait_until "the failed update's clean-up" failure_handled
kill -0 "$UPDATE_PID" 2>/dev/null || fail "the updater ended instead of showing the failure"
assert_file_bytes "$WORK/update.out" $'{"errormsg":"","success":true,"update":true}\r\n'

tree_digest "$APP" >"$WORK/after.digest"
diff "$WORK/before.digest" "$WORK/after.digest" >"$WORK/tree.diff" ||
    fail "installation changed by the failed update: $(cat "$WORK/tree.diff")"

# All three files were fetched and verified; installing the last one failed.
requests | grep -q '^GET /v2//*z_locked.dat 200$' || fail "z_locked.dat was never fetched"
assert_log_has update "无法移走原文件: \"Z:$APP/z_locked.dat\""
assert_log_has update '无法替换文件，回滚更新: "/z_locked.dat"'
assert_log_has update "已恢复原文件: \"Z:$APP/a.txt\""

kill -9 "$UPDATE_PID" "$HOLDER_PID"
wait "$UPDATE_PID" "$HOLDER_PID" 2>/dev/null || true
wait_prefix_idle
assert_absent "$APP/main_started.txt"
assert_absent "$APP/UpdateTmp/start_main.bat"

note "the same release once the lock is gone"
run_updater "$APP" retry console
finish_updater retry
[ "$UPDATER_STATUS" -eq 0 ] || fail "retry exited with $UPDATER_STATUS"
wait_prefix_idle
for file in a.txt "new dir/n.txt" z_locked.dat md5.txt; do
    assert_same_file "$SERVER/v2/$file" "$APP/$file"
done
assert_same_record "$SERVER/update.ini" "$APP/UpdateTmp/update.ini"
[ -f "$APP/main_started.txt" ] || fail "the main program was not started after the retry"
note "passed"
