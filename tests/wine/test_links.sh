# Folder links in an installation aim nothing out of it, under Windows rules
# (Wine shows a Linux symbolic link to a folder as a reparse point):
# - UpdateBackup as a link is never used; its target keeps its files;
# - a release whose file lies below a linked folder ("plugins") is refused
#   with 不安全的文件路径 before anything is fetched or moved, and the
#   outside file the link leads to stays as it was.
source "$(dirname "$0")/lib.sh"

SERVER="$WORK/server"
mkdir -p "$SERVER/v2/plugins"
write_version "$SERVER/update.ini" v2 2.0
printf 'version 2 of a\n' >"$SERVER/v2/a.txt"
printf 'version 2 of the plugin\n' >"$SERVER/v2/plugins/x.dll"
write_manifest "$SERVER/v2" a.txt plugins/x.dll
start_nginx "$SERVER"

OUTSIDE="$WORK/outside"
mkdir -p "$OUTSIDE/backups" "$OUTSIDE/plugins"
printf 'a backup of someone else\n' >"$OUTSIDE/backups/journal"
printf 'the outside plugin\n' >"$OUTSIDE/plugins/x.dll"
(cd "$OUTSIDE" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$WORK/outside.before"

APP="$WORK/app dir"
new_app "$APP" 1.0
printf 'version 1 of a\n' >"$APP/a.txt"
ln -s "$OUTSIDE/backups" "$APP/UpdateBackup"
ln -s "$OUTSIDE/plugins" "$APP/plugins"
write_manifest "$APP" a.txt

run_updater "$APP" update console
UPDATE_PID=$UPDATER_PID
refused() {
    updater_log update
    grep -qF '取消/失败后清理临时文件完成' "$WORK/update.log.txt"
}
wait_until "the refused update" refused
assert_file_bytes "$WORK/update.out" $'{"errormsg":"","success":true,"update":true}\r\n'
assert_log_has update '不安全的文件路径: "/plugins/x.dll"'
kill -9 "$UPDATE_PID"
wait "$UPDATE_PID" 2>/dev/null || true
wait_prefix_idle

# Wine 8 shows the Linux link as a reparse point but cannot remove it
# (RemoveDirectory reports the target folder as not empty); Windows removes
# a junction that way. Either way nothing went through it: the updater
# refused to use it, as the untouched outside folder shows.
assert_log_has update "移除链接: \"Z:$APP/UpdateBackup\""
diff "$WORK/outside.before" <(cd "$OUTSIDE" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) \
    >"$WORK/outside.diff" || fail "files outside the installation changed: $(cat "$WORK/outside.diff")"
[ "$(cat "$APP/a.txt")" = "version 1 of a" ] || fail "a.txt was replaced"
# Only the control files were asked for: the refusal came before the queue.
cat >"$WORK/expected_requests" <<'EOR'
GET /update.ini 200
GET /v2/md5.txt 200
EOR
diff "$WORK/expected_requests" <(requests) >"$WORK/requests.diff" ||
    fail "requests differ: $(cat "$WORK/requests.diff")"
note "passed"
