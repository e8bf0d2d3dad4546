# The folder a vendor ships (client/): updater.exe is a GUI-subsystem x86-64
# program carrying the icon group IDI_ICON1 (16 to 256 pixels, 32-bit), a
# version resource and a manifest that asks for administrator rights and
# Common Controls 6; every DLL that it, its DLLs (OpenSSL's among them) and its plugins import is
# either shipped beside it or part of Windows; nothing else is in the folder,
# and the zip holds the same files.
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
grep -q 'Has 6 elements' <<<"$resources" || fail "IDI_ICON1 should hold six images"
# Width and height as octal bytes; 256 is written as 0.
for size in 020 030 040 060 100 000; do
    grep -q "\"\\\\$size\\\\$size\\\\000\\\\000\", 1, 32," <<<"$resources" ||
        fail "IDI_ICON1 lacks the 32-bit image of size \\$size (octal)"
done
grep -q 'VERSIONINFO' <<<"$resources" || fail "no version resource"
grep -q 'VALUE "ProductName"' <<<"$resources" || fail "the version resource names no product"
[ "$(grep -c ' 24 /\* RT_MANIFEST \*/' <<<"$resources")" -eq 1 ] || fail "not exactly one manifest"
grep -q '^1 24 /\* RT_MANIFEST \*/' <<<"$resources" || fail "the manifest is not resource 1 (the process manifest)"
grep -q 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""' <<<"$resources" ||
    fail "the manifest does not ask for administrator rights"
grep -q 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""' <<<"$resources" ||
    fail "the manifest does not name Common Controls 6"

for plugin in platforms/qwindows.dll imageformats/qico.dll libssl-3-x64.dll libcrypto-3-x64.dll; do
    [ -f "$DEPLOY/$plugin" ] || fail "$plugin is not shipped"
done
# Only what the updater needs: no test plugin, no release tool.
while IFS= read -r file; do
    case "$file" in
    updater.exe | Qt5Core.dll | Qt5Gui.dll | Qt5Widgets.dll | Qt5Network.dll | lib*.dll) ;;
    platforms/qwindows.dll | imageformats/qico.dll) ;;
    *) fail "$file does not belong in the shipped folder" ;;
    esac
done < <(cd "$DEPLOY" && find . -mindepth 1 ! -type d | sed 's#^\./##')

: "${UPDATER_CLIENT_ZIP:?set by CTest}"
[ -f "$UPDATER_CLIENT_ZIP" ] || fail "no zip of the shipped folder"
diff <(cd "$DEPLOY" && find . -type f | sed 's#^\./##' | LC_ALL=C sort) \
    <(cmake -E tar tf "$UPDATER_CLIENT_ZIP" | LC_ALL=C sort) >/dev/null ||
    fail "the zip does not hold exactly the shipped folder's files"

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
