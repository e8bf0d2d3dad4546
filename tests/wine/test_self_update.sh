# A release that replaces the running updater.exe and a Qt DLL it has loaded.
# Windows refuses to delete or overwrite such files but lets them be renamed,
# so the update moves them aside into UpdateBackup/ and succeeds; the next
# start, with nothing in use any more, removes the backups and runs on the
# new files.
source "$(dirname "$0")/lib.sh"

SERVER="$WORK/server"
mkdir -p "$SERVER/v2"
write_version "$SERVER/update.ini" v2 2.0
# Bytes appended to a PE file leave it loadable but change its MD5.
{ cat "$UPDATER_DEPLOY_DIR/updater.exe"; printf 'release 2\n'; } >"$SERVER/v2/updater.exe"
{ cat "$UPDATER_DEPLOY_DIR/Qt5Network.dll"; printf 'release 2\n'; } >"$SERVER/v2/Qt5Network.dll"
printf 'version 2\n' >"$SERVER/v2/notes.txt"
write_manifest "$SERVER/v2" Qt5Network.dll notes.txt updater.exe
start_nginx "$SERVER"

APP="$WORK/app dir"
new_app "$APP" 1.0
printf 'version 1\n' >"$APP/notes.txt"
write_manifest "$APP" Qt5Network.dll notes.txt updater.exe

run_updater "$APP" update console
finish_updater update
[ "$UPDATER_STATUS" -eq 0 ] || fail "update exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/update.out" $'{"errormsg":"","success":true,"update":true}\r\n'
wait_prefix_idle
[ -f "$APP/main_started.txt" ] || fail "the main program was not started after the update"

for file in updater.exe Qt5Network.dll notes.txt md5.txt; do
    assert_same_file "$SERVER/v2/$file" "$APP/$file"
done
assert_same_record "$SERVER/update.ini" "$APP/UpdateTmp/update.ini"
# The update is final (no journal), and what was in use waits as a backup.
assert_absent "$APP/UpdateBackup/journal"
for file in updater.exe Qt5Network.dll; do
    [ -f "$APP/UpdateBackup/files/$file" ] ||
        fail "$file was in use, yet no backup of it is left in UpdateBackup/files"
    assert_same_file "$UPDATER_DEPLOY_DIR/$file" "$APP/UpdateBackup/files/$file"
done
# A file nobody held is not kept.
assert_absent "$APP/UpdateBackup/files/notes.txt"

# The new updater.exe with the new Qt5Network.dll: up to date now, and it
# clears the backups of the finished update before anything else.
rm "$APP/main_started.txt"
run_updater "$APP" restart console
finish_updater restart
[ "$UPDATER_STATUS" -eq 0 ] || fail "the updated updater exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/restart.out" $'{"errormsg":"","success":true,"update":false}\r\n'
assert_absent "$APP/UpdateBackup"
wait_prefix_idle
assert_absent "$APP/main_started.txt"
note "passed"
