# The folder a vendor ships: updater.exe is a GUI-subsystem x86-64 program
# carrying the icon group IDI_ICON1 (one 64 x 64, 32-bit image) and a
# manifest that asks for administrator rights and Common Controls 6, and every
# DLL that it, its DLLs (OpenSSL's among them) and its plugins import is either shipped beside it or
# part of Windows.
set -euo pipefail
: "${UPDATER_DEPLOY_DIR:?set by CTest}"
fail() {
    echo "FAIL [test_package]: $*" >&2
    exit 1
}
DEPLOY=$UPDATER_DEPLOY_DIR
EXE="$DEPLOY/updater.exe"
[ -f "$EXE" ] || fail "$EXE is missing"

headers=$(x86_64-w64-mingw32-objdump -p "$EXE")
grep -q '^Magic[[:space:]]*020b' <<<"$headers" || fail "updater.exe is not a PE32+ (x86-64) image"
grep -q '^Subsystem[[:space:]]*00000002[[:space:]]*(Windows GUI)' <<<"$headers" ||
    fail "updater.exe is not a GUI-subsystem program"

resources=$(x86_64-w64-mingw32-windres -i "$EXE" -O rc 2>&1) || fail "no resources: $resources"
grep -q '^"IDI_ICON1" 14 /\* RT_GROUP_ICON \*/' <<<"$resources" || fail "icon group IDI_ICON1 missing"
grep -q 'Has 1 elements' <<<"$resources" || fail "IDI_ICON1 should hold exactly one image"
grep -q '"\\100\\100\\000\\000", 1, 32,' <<<"$resources" || fail "IDI_ICON1's image is not 64 x 64, 32-bit"
[ "$(grep -c ' 24 /\* RT_MANIFEST \*/' <<<"$resources")" -eq 1 ] || fail "not exactly one manifest"
grep -q '^1 24 /\* RT_MANIFEST \*/' <<<"$resources" || fail "the manifest is not resource 1 (the process manifest)"
grep -q 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""' <<<"$resources" ||
    fail "the manifest does not ask for administrator rights"
grep -q 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""' <<<"$resources" ||
    fail "the manifest does not name Common Controls 6"

for plugin in platforms/qwindows.dll platforms/qoffscreen.dll imageformats/qico.dll \
    libssl-3-x64.dll libcrypto-3-x64.dll; do
    [ -f "$DEPLOY/$plugin" ] || fail "$plugin is not shipped"
done

# Imports that are not Windows' own: Qt's and the compiler runtime's DLLs.
checked=0
while IFS= read -r -d '' image; do
    checked=$((checked + 1))
    while read -r dll; do
        case "$dll" in
        Qt5*.dll | lib*.dll)
            [ -f "$DEPLOY/$dll" ] || fail "${image#"$DEPLOY"/} needs $dll, which is not shipped" ;;
        esac
    done < <(x86_64-w64-mingw32-objdump -p "$image" | awk '/DLL Name:/ {print $3}')
done < <(find "$DEPLOY" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
[ "$checked" -ge 10 ] || fail "only $checked images in $DEPLOY"
echo "[test_package] passed ($checked images checked)"
