#!/usr/bin/env bash
# Peak memory of a whole updater run that fetches one 2.5 GiB file, against
# curl fetching the same file from the same server in the same run.
#
#   tools/bench-bigfile.sh BUILD_DIR [sparse|random]
#
# BUILD_DIR holds the built tree (BUILD_DIR/src/updater). The release file is
# sparse (all zeros, no disk used on the server side; the default) or random
# (2.5 GiB more on disk, slower to prepare). Either way its MD5 is computed
# from the file and published in md5.txt, so the updater verifies it.
#
# A throw-away nginx on 127.0.0.1 serves the release; a throw-away
# application folder holds a copy of the updater, a system.cfg pointing at
# that nginx (with MaxDownloads=6) and the old version record. The updater
# runs offscreen to its exit (apply, then the 1000 ms hand-off to
# ExeName=/bin/true) under /usr/bin/time -v; curl then downloads the same
# file under /usr/bin/time -v.
# Needs: nginx (nginx-light), curl, time. Uses about 5.5 GiB below
# ${TMPDIR:-/tmp} at the peak and removes everything it made on exit.

set -euo pipefail

usage() {
    echo "usage: $0 BUILD_DIR [sparse|random]" >&2
    exit 2
}

[[ $# -ge 1 && $# -le 2 ]] || usage
build_dir=$(cd "$1" && pwd)
content=${2:-sparse}
[[ $content == sparse || $content == random ]] || usage
updater="$build_dir/src/updater"
[[ -x $updater ]] || { echo "no updater at $updater" >&2; exit 1; }
for tool in /usr/sbin/nginx /usr/bin/time curl md5sum; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

size=$((2560 * 1024 * 1024))
# Peak disk use: the updater's copy and curl's copy exist one after the
# other, plus the source when it is random.
copies=1
[[ $content == random ]] && copies=2
need_kib=$((size * copies / 1024 + 512 * 1024))

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-bigfile.XXXXXX")
# shellcheck source=local-nginx.sh
. "$(dirname "${BASH_SOURCE[0]}")/local-nginx.sh"
cleanup() {
    local_nginx_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

avail_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if ((avail_kib < need_kib)); then
    echo "not enough space below $work: $((avail_kib / 1024)) MiB free, $((need_kib / 1024)) MiB needed" >&2
    exit 1
fi

# --- the release -------------------------------------------------------------
root="$work/server"
mkdir -p "$root/2.0"
big="$root/2.0/big.bin"
echo "preparing a $content release file of $((size / 1024 / 1024)) MiB"
if [[ $content == sparse ]]; then
    truncate -s "$size" "$big"
else
    head -c "$size" /dev/urandom >"$big"
fi
md5=$(md5sum "$big" | cut -d' ' -f1)
printf '%s\t/big.bin\n' "$md5" >"$root/2.0/md5.txt"
printf '[Version]\nFolder=2.0\nVersion=2.0\n' >"$root/update.ini"

# --- nginx ---------------------------------------------------------------------
local_nginx_start "$root" "$work/nginx" \
    || { echo "cannot start nginx" >&2; cat "$work/nginx/error.log" >&2; exit 1; }
url="http://127.0.0.1:$LOCAL_NGINX_PORT/"
echo "nginx: $url (pid $LOCAL_NGINX_PID)"

# Reads "Maximum resident set size (kbytes)" and the wall time out of a
# /usr/bin/time -v report.
max_rss_kib() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }
elapsed() { awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' "$1"; }

# --- the updater -----------------------------------------------------------------
app="$work/app"
mkdir -p "$app/UpdateTmp"
cp "$updater" "$app/updater"
# Six downloads in flight, stated rather than left to the default: the
# memory target holds for that many.
printf '[Update]\nURL=%s\nExeName=/bin/true\nMaxDownloads=6\n' "$url" >"$app/system.cfg"
printf '[Version]\nFolder=1.0\nVersion=1.0\n' >"$app/UpdateTmp/update.ini"

echo "load before the updater: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
QT_QPA_PLATFORM=offscreen /usr/bin/time -v -o "$work/updater.time" \
    "$app/updater" >"$work/updater.log" 2>&1 || status=$?
if ((status != 0)); then
    echo "updater exited with $status" >&2
    tail -20 "$work/updater.log" >&2
    exit 1
fi
installed_size=$(stat -c %s "$app/big.bin" 2>/dev/null || echo 0)
installed_version=$(awk -F= '/^Version=/ { print $2 }' "$app/UpdateTmp/update.ini")
if ((installed_size != size)) || [[ $installed_version != 2.0 ]]; then
    echo "the update did not install: big.bin has $installed_size bytes, version record says '$installed_version'" >&2
    tail -20 "$work/updater.log" >&2
    exit 1
fi
if ! grep -qE "GET /2\.0/+big\.bin HTTP/1\.1\" 200 " "$work/nginx/access.log"; then
    echo "nginx never saw the file being fetched" >&2
    exit 1
fi
ours_kib=$(max_rss_kib "$work/updater.time")
ours_time=$(elapsed "$work/updater.time")
# Free the space before the peer writes its copy.
rm -rf "$app"

# --- the peer: curl, same file, same server ------------------------------------------
echo "load before curl: $(cut -d' ' -f1-3 /proc/loadavg)"
/usr/bin/time -v -o "$work/curl.time" curl -s --fail -o "$work/curl.bin" "${url}2.0/big.bin"
curl_md5=$(md5sum "$work/curl.bin" | cut -d' ' -f1)
[[ $curl_md5 == "$md5" ]] || { echo "curl's copy does not match" >&2; exit 1; }
curl_kib=$(max_rss_kib "$work/curl.time")
curl_time=$(elapsed "$work/curl.time")
rm -f "$work/curl.bin"

echo "file: $((size / 1024 / 1024)) MiB, $content, md5 $md5"
echo "updater (whole run, incl. apply and 1000 ms hand-off): max RSS $((ours_kib / 1024)) MiB ($ours_kib KiB), wall $ours_time"
echo "curl (download only):                                 max RSS $((curl_kib / 1024)) MiB ($curl_kib KiB), wall $curl_time"
awk -v o="$ours_kib" -v c="$curl_kib" \
    'BEGIN { printf "ratio max RSS updater / curl: %.2f (target: updater < 160 MiB, is %s)\n", o / c, (o < 160 * 1024 ? "met" : "NOT met") }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
