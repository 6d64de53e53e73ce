#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One shared counter, two web servers: a real redis-server on 127.0.0.1 (a
# free port, no persistence, a directory of its own) and two lighttpd
# instances, each with a site directory of its own whose conf/vc.conf
# points at it. Hits sent to both at once must raise the one total by
# exactly their number, and the hour records with it. Then the server is
# stopped in the middle of a run: every answer is a whole picture, a
# counter or a Redis error image, within a few seconds.
#
#   tests/redis_webserver_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: redis_webserver_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
. "$src/scripts/lib/redis.sh"

for tool in lighttpd curl redis-server redis-cli; do
    command -v "$tool" >/dev/null || { echo "redis-web: $tool is missing (scripts/install-deps)"; exit 1; }
done
export TZ=UTC LC_ALL=C

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-redis-web.XXXXXX")
redis_pid=
servers=()
guards=()
stop_all() {
    local i
    for i in "${!servers[@]}"; do
        VC_SERVER_PID=${servers[$i]} VC_GUARD_PID=${guards[$i]} vc_server_stop
    done
    servers=()
    guards=()
    [ -n "$redis_pid" ] && kill "$redis_pid" 2>/dev/null && wait "$redis_pid" 2>/dev/null
    redis_pid=
}
trap 'stop_all; rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The server, on a free loopback port.
vc_redis_start "$tmp/redis" --bind 127.0.0.1 || exit 1
redis_pid=$VC_REDIS_PID port=$VC_REDIS_PORT
cli() { redis-cli -p "$port" "$@"; }
cli hset 'vorncounter:{shared}' '' 1 >/dev/null  # the counter, as vornctl create makes it

# Two web servers, each with a site of its own on the one store.
bases=()
for host in a b; do
    site=$tmp/site-$host
    vc_site_create "$build" "$site" || exit 1
    printf 'STORE = redis\nREDIS_ADDR = 127.0.0.1:%s\n' "$port" >> "$site/conf/vc.conf"
    vc_server_start "$site" "$tmp/run-$host" || exit 1
    servers+=("$VC_SERVER_PID")
    guards+=("$VC_GUARD_PID")
    bases+=("http://127.0.0.1:$VC_PORT")
done
echo "redis-web: redis on 127.0.0.1:$port, lighttpd on ${bases[*]}"

# fetch_all BASE N TAG [AT_ONCE]: N hits on BASE, AT_ONCE (default 4) at a
# time; the status and seconds of each answer in $tmp/TAG.results, its body in
# $tmp/TAG-I.body. Four at a time on each server keep the CPUs of a small
# machine busy without starving the Redis server past the counter's
# one-second wait for a reply.
fetch_all() {
    local base=$1 n=$2 tag=$3 at_once=${4:-4}
    seq 1 "$n" | xargs -P "$at_once" -I{} curl -s -m 30 -o "$tmp/$tag-{}.body" -w '%{http_code} %{time_total}\n' \
        "$base/vorncounter.cgi?vdb=shared&cntlen=1&n={}" > "$tmp/$tag.results"
}
total() { cli hget 'vorncounter:{shared}' totcnt; }
# The hours: a hash per day, the days in the counter's set of them.
hours() {
    local day
    for day in $(cli smembers 'vorncounter:{shared}i'); do
        cli hvals "vorncounter:{shared}d:${day:0:4}/${day:4:2}/${day:6:2}"
    done | awk '{ s += $1 } END { print s + 0 }'
}

# --- hits through both servers at once ------------------------------------------

fetch_all "${bases[0]}" 150 a &
job_a=$!
fetch_all "${bases[1]}" 150 b &
job_b=$!
wait "$job_a" "$job_b"
[ "$(total)" = 300 ] && ok || bad "300 hits through two servers gave totcnt '$(total)'"
[ "$(hours)" = 300 ] && ok || bad "300 hits gave hour records summing to $(hours)"
[ "$(cat "$tmp/a.results" "$tmp/b.results" | grep -c '^200 ')" = 300 ] \
    && ok || bad "not every hit was answered 200: $(cut -d' ' -f1 "$tmp/a.results" "$tmp/b.results" | sort | uniq -c | tr '\n' ' ')"
# Every answer is a one-cell counter picture of the default set.
read -r w h < <(od -An -tu1 -j6 -N4 "$build/site/image/digits/d/0.gif" | awk '{ print $1 + 256 * $2, $3 + 256 * $4 }')
sizes=$(for f in "$tmp"/a-*.body "$tmp"/b-*.body; do od -An -tu1 -j6 -N4 "$f" | awk '{ print $1 + 256 * $2, $3 + 256 * $4 }'; done | sort | uniq -c)
[ "$(echo "$sizes" | awk '{ print $2, $3 }')" = "$w $h" ] && ok || bad "answers of other sizes (count, width, height): $sizes"

# The charts of both hosts show the same numbers.
c1=$(curl -s -m 30 "${bases[0]}/vorncounter.cgi?vdb=shared&mode=stat&when=day" | md5sum)
c2=$(curl -s -m 30 "${bases[1]}/vorncounter.cgi?vdb=shared&mode=stat&when=day" | md5sum)
[ "$c1" = "$c2" ] && ok || bad "the two hosts draw different day charts of the one counter"

# --- the server stopped in the middle of a run --------------------------------

fetch_all "${bases[0]}" 200 c 10 &
job_c=$!
sleep 0.3
kill "$redis_pid"; wait "$redis_pid" 2>/dev/null; redis_pid=
wait "$job_c"
# Each answer came within a few seconds: a stopped server is told at once,
# and a Redis reply is waited for one second at most (the slowest answer
# here is mostly the CGI's own start, slow under the sanitizers).
slowest=$(awk '{ if ($2 > m) m = $2 } END { print m + 0 }' "$tmp/c.results")
awk -v m="$slowest" 'BEGIN { exit !(m <= 10) }' && ok || bad "an answer after the server stopped took $slowest s"
error_w=0 counters=0 others=0
for f in "$tmp"/c-*.body; do
    read -r fw fh < <(od -An -tu1 -j6 -N4 "$f" | awk '{ print $1 + 256 * $2, $3 + 256 * $4 }')
    if [ "$fw $fh" = "$w $h" ]; then counters=$((counters + 1))
    elif [ "$fh" = 21 ]; then error_w=$((error_w + 1))
    else others=$((others + 1)); fi
done
[ "$others" = 0 ] && ok || bad "$others answers were neither a counter nor an error image"
[ "$error_w" -gt 0 ] && ok || bad "no answer told of the stopped server"
echo "redis-web: after the stop: $counters counters, $error_w error images"

for host in a b; do
    if grep -qE 'AddressSanitizer|LeakSanitizer|runtime error' "$tmp/run-$host/cgi-stderr.log" 2>/dev/null; then
        bad "the CGI of host $host reported sanitizer errors"
    fi
done

echo "redis-web: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
