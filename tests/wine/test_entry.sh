# The wide-character entry adapter under a Chinese Windows (code page 936):
# the command line is split the Windows way (quotes, blanks, empty
# arguments) and each argument reaches main() in the ANSI code page; main's
# result is the exit code.
source "$(dirname "$0")/lib.sh"

OUT="$WORK/argv.txt"
status=0
"${WINE_LOCALE[@]}" wine "$WINE_TEST_WINMAIN_PROBE" "$(winpath "$OUT")" console "with blank" "" \
    "中文参数" 'say "hi"' >"$WORK/probe.out" 2>&1 || status=$?
[ "$status" -eq 42 ] || fail "exit code $status instead of main's 42"
[ -f "$OUT" ] || fail "main() was not reached through the adapter"
# Bytes in code page 936, shown here as UTF-8.
iconv -f GBK -t UTF-8 <"$OUT" >"$WORK/argv.utf8" || fail "arguments are not in code page 936: $(od -c "$OUT")"
cat >"$WORK/expected" <<EOT
7
[$(winpath "$OUT")]
[console]
[with blank]
[]
[中文参数]
[say "hi"]
terminated
EOT
diff "$WORK/expected" "$WORK/argv.utf8" >"$WORK/argv.diff" || fail "arguments differ: $(cat "$WORK/argv.diff")"
note "passed"
