# A delta update 1.0 -> 2.0 with the deployed updater.exe: both releases
# published by the release tool of the Linux build with its default deltas,
# 1.0 installed as a vendor ships it (its md5.txt and version record beside
# the files). Afterwards the installation is 2.0 byte for byte; the changed
# large file came as its patch (deltas/<new>-<old>.zst), never as the plain
# file; and the support log's counts line has the patched file.
#
# The release tool: UPDATER_NATIVE_PUBLISH, else build/src/updater-publish
# of the checkout (tools/test.sh builds it before the lane).
source "$(dirname "$0")/lib.sh"

CHECKOUT="$(cd "$(dirname "$0")/../.." && pwd)"
PUBLISH=${UPDATER_NATIVE_PUBLISH:-$CHECKOUT/build/src/updater-publish}
[ -x "$PUBLISH" ] ||
    fail "no Linux updater-publish at $PUBLISH: build it (cmake --build build --target updater-publish) or set UPDATER_NATIVE_PUBLISH"

# 1.0 and 2.0: a large file changed in a few places (a patch is far smaller
# than the file), a text changed, one unchanged, one added.
V1="$WORK/source-1.0"
V2="$WORK/source-2.0"
mkdir -p "$V1/data" "$V2/data"
head -c 400000 /dev/urandom >"$V1/data/engine.dll"
cp "$V1/data/engine.dll" "$V2/data/engine.dll"
printf 'version 2 build' | dd of="$V2/data/engine.dll" bs=1 seek=1000 conv=notrunc status=none
printf 'patched tail' | dd of="$V2/data/engine.dll" bs=1 seek=350000 conv=notrunc status=none
printf 'the same in both versions\n' | tee "$V1/keep.txt" >"$V2/keep.txt"
printf 'version 1 text\r\n' >"$V1/change.txt"
printf 'version 2 text\r\n' >"$V2/change.txt"
printf 'added in 2.0\n' >"$V2/new.txt"

SERVER="$WORK/server"
for version in 1.0 2.0; do
    "$PUBLISH" --version "$version" "$WORK/source-$version" "$SERVER" >"$WORK/publish-$version.txt" 2>&1 ||
        fail "publishing $version failed: $(cat "$WORK/publish-$version.txt")"
    # The record an installer of that version ships.
    cp "$SERVER/update.ini" "$WORK/record-$version.ini"
done
grep -q '^Deltas=deltas.txt' "$SERVER/update.ini" || fail "update.ini names no deltas: $(cat "$SERVER/update.ini")"
OLD_MD5=$(md5sum <"$V1/data/engine.dll" | cut -d' ' -f1)
NEW_MD5=$(md5sum <"$V2/data/engine.dll" | cut -d' ' -f1)
PATCH="deltas/$NEW_MD5-$OLD_MD5.zst"
[ -f "$SERVER/2.0/$PATCH" ] || fail "the release tool made no $PATCH: $(ls "$SERVER/2.0/deltas")"
start_nginx "$SERVER"

APP="$WORK/app"
new_app "$APP" 1.0
cp -r "$V1"/. "$APP"/
cp "$SERVER/1.0/md5.txt" "$APP/md5.txt"
cp "$WORK/record-1.0.ini" "$APP/UpdateTmp/update.ini"

# What the installation must hold afterwards, UpdateTmp/ aside.
EXPECTED="$WORK/expected"
cp -r "$APP" "$EXPECTED"
cp -r "$V2"/. "$EXPECTED"/
cp "$SERVER/2.0/md5.txt" "$EXPECTED/md5.txt"

mark_requests
run_updater "$APP" update console
finish_updater update
[ "$UPDATER_STATUS" -eq 0 ] || fail "update exited with $UPDATER_STATUS"
assert_file_bytes "$WORK/update.out" $'{"errormsg":"","success":true,"update":true}\r\n'
wait_prefix_idle

# 2.0 byte for byte, its manifest and record; nothing of the deltas
# (deltas/, deltas.txt) installed.
for file in data/engine.dll keep.txt change.txt new.txt; do
    assert_same_file "$V2/$file" "$APP/$file"
done
assert_same_file "$SERVER/2.0/md5.txt" "$APP/md5.txt"
assert_same_record "$SERVER/update.ini" "$APP/UpdateTmp/update.ini"
outside_updatetmp() {
    tree_digest "$1" | grep -vE '^\./UpdateTmp|  \./UpdateTmp/|^record '
}
# The stand-in main program notes its start there.
rm -f "$APP/main_started.txt"
diff <(outside_updatetmp "$EXPECTED") <(outside_updatetmp "$APP") >"$WORK/tree.diff" ||
    fail "installation differs from 2.0: $(cat "$WORK/tree.diff")"

# The patch was fetched, the plain engine.dll never.
requests | sed 's#//*#/#g' >"$WORK/requests.txt"
grep -qxF "GET /2.0/$PATCH 200" "$WORK/requests.txt" ||
    fail "no request for the patch $PATCH: $(cat "$WORK/requests.txt")"
if grep -q '^GET /2.0/data/engine\.dll ' "$WORK/requests.txt"; then
    fail "the patched file was fetched whole as well: $(cat "$WORK/requests.txt")"
fi

# The support log (UTF-8 whatever the code page) counts the patched file.
grep -qE '增量补丁 [1-9][0-9]* 个' "$APP/UpdateTmp/updater.log" ||
    fail "the log's counts line has no patched file: $(grep -E '重用本地文件|增量补丁' "$APP/UpdateTmp/updater.log" || cat "$APP/UpdateTmp/updater.log")"
note "passed"
