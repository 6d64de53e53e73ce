#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One deployment of README, tried with the real server: SERVER (nginx,
# apache or lighttpd) runs the installed program in MODE (cgi or fastcgi)
# on 127.0.0.1, from a site made of the installed template. Every answer
# fetched over HTTP must be the answer of the same request run directly as
# a CGI process in a twin site that gets the same requests in the same
# order: the header lines as HTTP headers and the GIF as the body, byte for
# byte. conf/ and save/ must not be served, and N concurrent visits must
# raise the count by exactly N.
#
#   tests/deploy_test.sh BUILD_DIR SERVER MODE [DEB]
#
# The program and the template come from BUILD_DIR installed with cmake
# --install, or, given DEB, from the Debian package installed with dpkg
# into a scratch root.
set -uo pipefail

build=$(cd "${1:?usage: deploy_test.sh BUILD_DIR SERVER MODE [DEB]}" && pwd)
server=${2:?server}
mode=${3:?mode}
deb=${4:-}
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
. "$src/scripts/lib/servers.sh"
. "$src/scripts/lib/deb.sh"

need=(cmake curl gdbm_dump python3 cmp)
case $server in
    nginx) need+=(nginx spawn-fcgi /usr/sbin/fcgiwrap) ;;
    apache) need+=(apache2) ;;
    lighttpd) need+=(lighttpd) ;;
esac
[ "$mode" = fastcgi ] && [ "$server" != apache ] && need+=(spawn-fcgi)
for tool in "${need[@]}"; do
    command -v "$tool" >/dev/null || { echo "deploy: $tool is missing (scripts/install-deps)"; exit 1; }
done
[ "$server" = apache ] && [ "$mode" = fastcgi ] && [ ! -f /usr/lib/apache2/modules/mod_fcgid.so ] &&
    { echo "deploy: mod_fcgid is missing (scripts/install-deps)"; exit 1; }

export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-deploy.XXXXXX")
trap 'vc_web_stop; [ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

if [ -n "$deb" ]; then
    vc_deb_install "$deb" "$tmp/root" || exit 1
    prefix=$tmp/root/usr
else
    prefix=$tmp/prefix
    if ! cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
        cat "$tmp/install.log"
        echo "deploy: cmake --install failed"
        exit 1
    fi
fi
site=$tmp/www/site
twin=$tmp/twin
for s in "$site" "$twin"; do
    vc_site_create "$prefix" "$s" || exit 1
    vc_site_add_counter "$prefix" "$s" web || exit 1
done
# README's own set-up lines, as printed, where it prints them.
export VC_README=$src/README.md
vc_web_start "$server" "$mode" "$site" "$tmp/run" || exit 1
base="http://127.0.0.1:$VC_PORT"
echo "deploy: $server ($mode) on $base serving $site, installed from ${deb:-$build}"

header=$'Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/gif\n\n'

# direct QUERY [BODY]: the answer of the program run as a CGI process in the
# twin site, as a web server would run it, into $tmp/direct.
direct() {
    local query=$1 body=${2-} env
    env=(PATH=/usr/bin:/bin TZ="$TZ" REMOTE_ADDR=127.0.0.1 "QUERY_STRING=$query")
    if [ $# -gt 1 ]; then
        env+=(REQUEST_METHOD=POST "CONTENT_LENGTH=${#body}")
    else
        env+=(REQUEST_METHOD=GET)
    fi
    (cd "$twin" && { printf "%s" "$body" 2>/dev/null; } | env -i "${env[@]}" ./vorncounter.cgi >"$tmp/direct")
}

# served QUERY [BODY]: the same request over HTTP: headers to $tmp/head,
# body to $tmp/body.
served() {
    local data=()
    [ $# -gt 1 ] && data=(--data-binary "$2")
    curl -s -m 60 -D "$tmp/head" -o "$tmp/body" "${data[@]}" "$base$VC_URL?$1"
}

# same: the HTTP answer is 200 with both header lines and the direct
# answer's GIF as its body; prints why not.
same() {
    local head
    head=$(tr -d '\r' <"$tmp/head")
    grep -q '^HTTP/1.1 200' <<<"$head" || { echo "status $(head -n1 <<<"$head")"; return 1; }
    grep -qix 'Content-type: image/gif' <<<"$head" || { echo "no Content-type: image/gif"; return 1; }
    grep -qx 'Pragma: no-cache' <<<"$head" || { echo "no Pragma: no-cache"; return 1; }
    grep -qx 'Cache-Control: no-cache, no-store, must-revalidate' <<<"$head" ||
        { echo "no Cache-Control: no-cache, no-store, must-revalidate"; return 1; }
    [ "$(head -c ${#header} "$tmp/direct")" = "${header%$'\n\n'}" ] || { echo "direct run gave no image header"; return 1; }
    tail -c +$((${#header} + 1)) "$tmp/direct" >"$tmp/direct.gif"
    cmp -s "$tmp/direct.gif" "$tmp/body" || { echo "body differs from the CGI answer ($(wc -c <"$tmp/body") vs $(wc -c <"$tmp/direct.gif") bytes)"; return 1; }
}

# check WHAT COUNTS QUERY [BODY]: one request to both sites. A request that
# records no visit (COUNTS=0) is asked again when the two differ, since a
# date, a time or a chart may have passed a minute's or day's end between
# the two runs.
check() {
    local what=$1 counts=$2 why n
    shift 2
    for ((n = 0; n < 3; n++)); do
        served "$@"
        direct "$@"
        why=$(same) && { ok; return; }
        [ "$counts" = 1 ] && break
    done
    bad "$what: $why"
}

check "first visit" 1 "vdb=web"
check "visit, led set, 8 cells" 1 "vdb=web&digit=led&cntlen=8"
check "visit sent as POST" 1 "" "vdb=web&cntlen=3"
check "yesterday's count" 0 "vdb=web&ago=1"
check "today's count" 0 "vdb=web&ago=0&cntlen=4"
check "date style b" 0 "mode=date&style=b"
check "time style a" 0 "mode=time&style=a"
check "time style f as POST" 0 "" "mode=time&style=f"
for when in year month day; do
    check "chart of the $when" 0 "vdb=web&mode=stat&when=$when"
done
check "day chart of 2001/03/07" 0 "vdb=web&mode=stat&when=day&date=2001/03/07"
check "error: unknown counter" 0 "vdb=nosuch"
check "error: unknown mode" 0 "vdb=web&mode=foo"
check "error: no vdb" 0 ""
check "error: unknown digit set" 0 "vdb=web&digit=nosuch"
big=$(head -c 70000 /dev/zero | tr '\0' a)
if [ "$server/$mode" = nginx/cgi ]; then
    # fcgiwrap fails a request whose CGI ends without reading the whole
    # body, and nginx answers 502 in place of the error image.
    served "" "$big"
    grep -q '^HTTP/1.1 502' "$tmp/head" && ok || bad "body too large through fcgiwrap: $(head -n1 "$tmp/head")"
    direct "" "$big"
else
    check "error: body too large" 0 "" "$big"
fi

# In the FastCGI mode the answers came from a process that stays; in the
# CGI mode no process of the program outlives its request.
persistent=$(ps -eo args= | grep -c "^$site/vorncounter.cgi\( \|\$\)")
if [ "$mode" = fastcgi ]; then
    [ "$persistent" -ge 1 ] && ok || bad "no FastCGI process of $site/vorncounter.cgi is running"
else
    [ "$persistent" -eq 0 ] && ok || bad "$persistent processes of the CGI are still running"
fi

# Nothing of conf/ and save/ is served: refused, or (where only the
# program's URL is mapped) not there at all.
for path in save/web.db conf/vc.conf save/ conf/; do
    for url in "$base/$path" "$base${VC_URL%vorncounter.cgi}$path"; do
        code=$(curl -s -m 30 -o "$tmp/leak" -w '%{http_code}' "$url")
        case $code in
            403 | 404) ok ;;
            *) bad "$url answered $code, expected 403 or 404" ;;
        esac
        ! grep -q 'DIR_SAVE\|totcnt' "$tmp/leak" && ok || bad "$url served the file"
    done
done

db_total() { vc_db_total "$1/save/web.db"; }

visits=40
before=$(db_total "$site")
seq 1 "$visits" | xargs -P 5 -I{} curl -s -m 60 -o "$tmp/visit-{}" "$base$VC_URL?vdb=web&cntlen=1&n={}"
after=$(db_total "$site")
[ "$after" = $((before + visits)) ] && ok || bad "$visits visits raised totcnt from $before to $after"
for i in $(seq 1 "$visits"); do
    [ "$(head -c 6 "$tmp/visit-$i")" = GIF87a ] || { bad "visit $i got no GIF"; break; }
done

vc_web_stop
# Nothing the test started outlives it: no worker, and nobody listening on
# a socket of its directory.
sleep 0.2
left=$(pgrep -fa "$tmp/"; ss -xlp 2>/dev/null | grep -F "$tmp/")
[ -z "$left" ] && ok || bad "processes of the test outlived its servers: $left"
vc_web_sanitized && ok || bad "a sanitizer report (above)"

echo "deploy $server $mode: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
