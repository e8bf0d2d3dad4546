# A whole update under Windows rules: changed, added and unchanged files, a
# changed file in a sub-directory, new nested folders, blanks in names, an
# installation folder with a blank and Chinese characters (code page 936),
# and a file whose name differs from the server's only in letter case (one
# file on Windows). Afterwards the installation is
# the server's release, the version record and manifest are the server's,
# UpdateTmp/ holds only update.ini, start_main.bat and the log, and the main program
# was started through that batch by cmd.
source "$(dirname "$0")/lib.sh"

SERVER="$WORK/server"
mkdir -p "$SERVER/v2/data" "$SERVER/v2/sub dir" "$SERVER/v2/sub/deep"
write_version "$SERVER/update.ini" v2 2.0
printf 'the same in both versions\n' >"$SERVER/v2/keep.txt"
printf 'version 2 text\r\n' >"$SERVER/v2/change.txt"
head -c 300000 /dev/urandom >"$SERVER/v2/data/old.bin"
printf 'added in version 2\n' >"$SERVER/v2/new file.txt"
head -c 5000 /dev/urandom >"$SERVER/v2/sub dir/added.dat"
printf 'deep\n' >"$SERVER/v2/sub/deep/x.txt"
printf 'readme of version 2\n' >"$SERVER/v2/Readme.txt"
SERVER_FILES=(Readme.txt change.txt data/old.bin keep.txt "new file.txt" "sub dir/added.dat" sub/deep/x.txt)
write_manifest "$SERVER/v2" "${SERVER_FILES[@]}"
start_nginx "$SERVER"

APP="$WORK/应用 目录"
new_app "$APP" 1.0
mkdir -p "$APP/data"
cp "$SERVER/v2/keep.txt" "$APP/keep.txt"
printf 'version 1 text\r\n' >"$APP/change.txt"
head -c 1000 /dev/urandom >"$APP/data/old.bin"
printf 'readme of version 1\n' >"$APP/README.TXT"
# No md5.txt: the updater hashes the installation itself first.

# What the installation must look like afterwards.
EXPECTED="$WORK/expected"
cp -r "$APP" "$EXPECTED"
rm "$EXPECTED/README.TXT"
mkdir -p "$EXPECTED/sub dir" "$EXPECTED/sub/deep"
for file in "${SERVER_FILES[@]}"; do
    cp "$SERVER/v2/$file" "$EXPECTED/$file"
done
cp "$SERVER/v2/md5.txt" "$EXPECTED/md5.txt"
cp "$SERVER/update.ini" "$EXPECTED/UpdateTmp/update.ini"
BATCH=$'@echo off\r\ntimeout /t 2 /nobreak\r\n"%~dp0..\\main.exe"\r\nexit'
printf '%s' "$BATCH" >"$EXPECTED/UpdateTmp/start_main.bat"

run_updater "$APP" update console
# The dialog closes by itself once the update is applied.
finish_updater update
[ "$UPDATER_STATUS" -eq 0 ] || fail "update exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/update.out" $'{"errormsg":"","success":true,"update":true}\r\n'
wait_prefix_idle

# The main program was started once, by cmd, through UpdateTmp/start_main.bat.
[ -f "$APP/main_started.txt" ] || fail "the main program was not started"
[ "$(wc -l <"$APP/main_started.txt")" -eq 1 ] || fail "main program started more than once"
IFS=$'\t' read -r cmdline parent <"$APP/main_started.txt"
[ "$parent" = "cmd.exe" ] || fail "main program started by '$parent', not cmd.exe"
case "$cmdline" in
*'\应用 目录\UpdateTmp\..\main.exe'*) ;;
*) fail "main program not started through the batch: $cmdline" ;;
esac
rm "$APP/main_started.txt"

assert_file_bytes "$APP/UpdateTmp/start_main.bat" "$BATCH"
assert_same_record "$SERVER/update.ini" "$APP/UpdateTmp/update.ini"
assert_same_file "$SERVER/v2/md5.txt" "$APP/md5.txt"
for file in "${SERVER_FILES[@]}"; do
    assert_same_file "$SERVER/v2/$file" "$APP/$file"
done
[ "$(ls -A "$APP/UpdateTmp" | LC_ALL=C sort | tr '\n' ' ')" = "start_main.bat update.ini updater.log " ] ||
    fail "UpdateTmp/ holds: $(ls -A "$APP/UpdateTmp")"
# The support log, in UTF-8 whatever the code page, names the run's steps.
grep -q '更新程序启动' "$APP/UpdateTmp/updater.log" || fail "the log lacks the start: $(cat "$APP/UpdateTmp/updater.log")"
grep -q '更新已应用' "$APP/UpdateTmp/updater.log" || fail "the log lacks the apply"
# Nothing was in use, so no backup is left over.
assert_absent "$APP/UpdateBackup"
# README.TXT and Readme.txt are one file on Windows: replaced, not doubled.
[ "$(ls "$APP" | grep -ic '^readme\.txt$')" -eq 1 ] || fail "readme twice: $(ls "$APP")"
diff <(tree_digest "$EXPECTED") <(tree_digest "$APP") >"$WORK/tree.diff" ||
    fail "installation differs from the release: $(cat "$WORK/tree.diff")"

# The unchanged file was not fetched; the rest in manifest order, with the
# blanks percent-encoded. (File URLs are folder "v2/" + key "x"; the slashes
# are squeezed anyway, only which files and in what order matters here.)
cat >"$WORK/expected_requests" <<'EOR'
GET /update.ini 200
GET /v2/md5.txt 200
GET /v2/Readme.txt 200
GET /v2/change.txt 200
GET /v2/data/old.bin 200
GET /v2/new%20file.txt 200
GET /v2/sub%20dir/added.dat 200
GET /v2/sub/deep/x.txt 200
EOR
diff "$WORK/expected_requests" <(requests | sed 's#//*#/#g') >"$WORK/requests.diff" ||
    fail "requests differ: $(cat "$WORK/requests.diff")"
note "passed"
