#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# End-to-end checks through a real web server: BUILD_DIR is installed into a
# temporary prefix, lighttpd with mod_cgi serves a fresh site made from the
# installed template and program, and every kind of answer is fetched over
# HTTP and checked for its header lines and the size of its GIF. The count
# is read back from the database with Debian's gdbm_dump.
#
#   tests/webserver_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: webserver_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"

for tool in cmake lighttpd curl gdbm_dump base64 od; do
    command -v "$tool" >/dev/null || { echo "webserver: $tool is missing (scripts/install-deps)"; exit 1; }
done

# Fixed time zone for the CGI and for the expected date texts alike; the
# sanitizer settings reach the CGI through the server configuration, and
# any report lands in the server's CGI error log, which is checked at the end.
export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-web.XXXXXX")
site=$tmp/site
run=$tmp/run
trap 'vc_server_stop; rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The site is made the way an operator makes one: from an installation.
prefix=$tmp/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "webserver: cmake --install failed"
    exit 1
fi
vc_site_create "$prefix" "$site" || exit 1
vc_site_add_counter "$prefix" "$site" web || exit 1
vc_server_start "$site" "$run" || exit 1
base="http://127.0.0.1:$VC_PORT"
echo "webserver: lighttpd on $base serving $site"

# --- helpers -----------------------------------------------------------------

# gif_size FILE: "WIDTH HEIGHT" from the logical screen descriptor.
gif_size() {
    local b
    read -r -a b < <(od -An -tu1 -j6 -N4 "$1")
    echo "$((b[0] + 256 * b[1])) $((b[2] + 256 * b[3]))"
}

# text_size SET TEXT: size of the picture composed of TEXT's characters from
# the digit set SET: the widths add up, the first picture gives the height.
text_size() {
    local dir=$site/image/digits/$1 text=$2 i w h total=0 height=
    for ((i = 0; i < ${#text}; i++)); do
        read -r w h < <(gif_size "$dir/${text:i:1}.gif")
        total=$((total + w))
        [ -n "$height" ] || height=$h
    done
    echo "$total $height"
}

# db_get NAME KEY: the value of KEY in save/NAME.db, empty when absent.
# Keys and values are stored with their terminating zero byte.
db_get() {
    local k v
    while read -r k && read -r v; do
        if [ "$(base64 -d <<<"$k" | tr -d '\0')" = "$2" ]; then
            base64 -d <<<"$v" | tr -d '\0'
            return
        fi
    done < <(gdbm_dump "$site/save/$1.db" | awk '
        /^#:len=/ { if (on) print buf; buf = ""; on = 1; next }
        /^#/      { if (on) print buf; buf = ""; on = 0; next }
                  { buf = buf $0 }')
}

# fetch TAG QUERY [curl options]: GET (or what the options say) of the CGI;
# the answer's header lines go to $tmp/TAG.head and the body to $tmp/TAG.body.
fetch() {
    local tag=$1 query=$2
    shift 2
    curl -s -m 60 -D "$tmp/$tag.head" -o "$tmp/$tag.body" "$@" "$base/vorncounter.cgi?$query"
}

# check_gif TAG WIDTH HEIGHT WHAT: the answer is 200, carries the image
# header lines and a complete GIF of the given size.
check_gif() {
    local tag=$1 want="$2 $3" what=$4 head body=$tmp/$1.body got
    head=$(tr -d '\r' <"$tmp/$tag.head" 2>/dev/null)
    if ! grep -qx 'HTTP/1.1 200 OK' <<<"$head"; then
        bad "$what: status $(head -n1 <<<"$head")"; return
    fi
    if ! grep -qx 'Content-type: image/gif' <<<"$head" || ! grep -qx 'Pragma: no-cache' <<<"$head" ||
        ! grep -qx 'Cache-Control: no-cache, no-store, must-revalidate' <<<"$head"; then
        bad "$what: header lines are $(tr '\n' '|' <<<"$head")"; return
    fi
    if [ "$(head -c 6 "$body")" != GIF87a ] && [ "$(head -c 6 "$body")" != GIF89a ]; then
        bad "$what: body is no GIF"; return
    fi
    if [ "$(tail -c 1 "$body" | od -An -tx1 | tr -d ' ')" != 3b ]; then
        bad "$what: GIF has no trailer"; return
    fi
    got=$(gif_size "$body")
    if [ "$got" != "$want" ]; then
        bad "$what: size $got, expected $want"; return
    fi
    ok
}

# check_error TAG MESSAGE WHAT: the answer is the error image of MESSAGE,
# 6 pixels per character plus 12 wide and 21 high.
check_error() {
    check_gif "$1" $((6 * ${#2} + 12)) 21 "$3 (error image of \"$2\")"
}

# counter_text COUNT CNTLEN: the cells a counter shows: right-aligned,
# padded with zeros, only the last CNTLEN digits of a longer count.
counter_text() {
    local s
    s=$(printf '%0*d' "$2" "$1")
    echo "${s: -$2}"
}

sets=()
while read -r s; do sets+=("$s"); done < <(vc_digit_sets "$site")
[ ${#sets[@]} -gt 0 ] || { bad "the built site has no digit set"; }

# --- counter -----------------------------------------------------------------

fetch first "vdb=web"
check_gif first $(text_size d "$(counter_text 1 6)") "first visit, default set and cntlen"
[ "$(db_get web totcnt)" = 1 ] && ok || bad "first visit: totcnt is '$(db_get web totcnt)', expected 1"
[ -n "$(db_get web startdate)" ] && ok || bad "first visit: no startdate record"

for s in "${sets[@]}"; do
    for len in 1 3 8; do
        fetch "set-$s-$len" "vdb=web&digit=$s&cntlen=$len"
        count=$(db_get web totcnt)
        check_gif "set-$s-$len" $(text_size "$s" "$(counter_text "$count" "$len")") \
            "counter in set $s with cntlen $len (count $count)"
    done
done

# A past day's count records nothing.
before=$(db_get web totcnt)
fetch today "vdb=web&ago=0&cntlen=4"
fetch yesterday "vdb=web&ago=1&cntlen=4"
check_gif yesterday $(text_size d 0000) "yesterday's count of a new counter"
check_gif today $(text_size d "$(counter_text "$before" 4)") "today's count ($before)"
[ "$(db_get web totcnt)" = "$before" ] && ok || bad "ago requests changed totcnt"

# A HEAD request (curl -I) never shows the picture: it records nothing.
fetch head "vdb=web" -I
tr -d '\r' <"$tmp/head.head" | grep -qx 'Content-type: image/gif' && ok || bad "HEAD: no image header lines"
[ "$(db_get web totcnt)" = "$before" ] && ok || bad "a HEAD request changed totcnt"

# --- date and time -----------------------------------------------------------

# expect_clock TAG QUERY FORMAT WHAT: the answer is the picture of the text
# `date +FORMAT` gives just before or just after the request.
expect_clock() {
    local tag=$1 query=$2 fmt=$3 what=$4 t0 t1 s0 s1
    t0=$(clock_text "$fmt")
    fetch "$tag" "$query"
    t1=$(clock_text "$fmt")
    s0=$(text_size d "$t0")
    s1=$(text_size d "$t1")
    if [ "$(gif_size "$tmp/$tag.body" 2>/dev/null)" = "$s1" ]; then s0=$s1; fi
    check_gif "$tag" $s0 "$what (text $t0)"
}
# The marker letters: a/p for before/after noon.
clock_text() {
    local ap=p
    [ "$(date +%p)" = AM ] && ap=a
    date +"${1//@/$ap}"
}

declare -A date_fmt=([a]=%mh%dh%Y [b]=%Yh%mh%d [c]=%mh%dm%Y [d]=%Ym%mh%d [e]=%Y [f]=%m [g]=%d)
declare -A time_fmt=([a]=%Ir%M@ [b]=%Hr%M [c]=%I [d]=%H [e]=%M [f]=@)
for st in a b c d e f g; do
    expect_clock "date-$st" "mode=date&style=$st" "${date_fmt[$st]}" "date style $st"
done
for st in a b c d e f; do
    expect_clock "time-$st" "mode=time&style=$st" "${time_fmt[$st]}" "time style $st"
done
# Parameters in a POST body reach the program through the server as well.
fetch post "" --data 'mode=time&style=f'
check_gif post $(text_size d "$(clock_text @)") "time style f sent as POST body"

# --- statistics charts ------------------------------------------------------------

total=$(db_get web totcnt)
for when in year month day; do
    fetch "stat-$when" "vdb=web&mode=stat&when=$when"
    check_gif "stat-$when" $(gif_size "$site/image/resource/img$when.rc") "chart of the $when"
done
fetch stat-past "vdb=web&mode=stat&when=day&date=2001/03/07"
check_gif stat-past $(gif_size "$site/image/resource/imgday.rc") "day chart of 2001/03/07"
[ "$(db_get web totcnt)" = "$total" ] && ok || bad "chart requests changed totcnt"

# --- error images ----------------------------------------------------------------

fetch err-mode "vdb=web&mode=foo"
check_error err-mode "Unknown mode ('foo')" "unknown mode"
fetch err-db "vdb=nosuch"
check_error err-db "DB file (./save/nosuch.db) not found" "unknown counter"
fetch err-vdb "mode=counter"
check_error err-vdb "VornCounter-2.0.0 beta1 (March 11, 2001)" "counter without vdb"
fetch err-when "vdb=web&mode=stat&when=week"
check_error err-when "Unknown when ('week')" "unknown chart period"
fetch err-style "mode=date&style=x"
check_error err-style "Unknown style ('x')" "unknown date style"
fetch err-digit "vdb=web&digit=nosuch&cntlen=6"
check_error err-digit "Image file open error. ('./image/digits/nosuch/0.gif')" "unknown digit set"

# The databases and the configuration are not served as files.
for path in save/web.db conf/vc.conf; do
    code=$(curl -s -m 30 -o /dev/null -w '%{http_code}' "$base/$path")
    [ "$code" = 403 ] && ok || bad "/$path answered $code, expected 403"
done

# --- 50 visits, five at a time, count exactly 50 ---------------------------------

before=$(db_get web totcnt)
seq 1 50 | xargs -P 5 -I{} curl -s -m 60 -D "$tmp/many-{}.head" -o "$tmp/many-{}.body" \
    "$base/vorncounter.cgi?vdb=web&cntlen=1&n={}"
after=$(db_get web totcnt)
[ "$after" = $((before + 50)) ] && ok || bad "50 visits raised totcnt from $before to $after"
for i in $(seq 1 50); do
    # cntlen 1 shows one cell, whatever digit it is.
    check_gif "many-$i" $(gif_size "$site/image/digits/d/0.gif") "visit $i of 50"
done

# --- sanitizer reports of the CGI runs --------------------------------------------

if grep -qE 'AddressSanitizer|LeakSanitizer|runtime error' "$run/cgi-stderr.log" 2>/dev/null; then
    bad "the CGI reported sanitizer errors:"
    cat "$run/cgi-stderr.log"
else
    ok
fi

echo "webserver: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
