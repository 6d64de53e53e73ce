#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The counter behind the site's own reverse proxy: nginx on 127.0.0.1 passes
# every request on to lighttpd, which runs the counter as a CGI, adding the
# client to X-Forwarded-For. With TRUSTED_PROXIES naming the proxy and
# REPEAT_MINUTES set, two visitors (curl from 127.0.0.2 and 127.0.0.3)
# count 2, a visitor who reloads counts once, and a forged header changes
# nothing: through the proxy the proxy's own entry wins, and sent straight
# to the counting server from an address that is no proxy it is ignored.
#
#   tests/proxy_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: proxy_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
. "$src/scripts/lib/servers.sh"
for tool in nginx lighttpd curl python3; do
    command -v "$tool" >/dev/null || { echo "proxy: $tool is missing (scripts/install-deps)"; exit 1; }
done
export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-proxy.XXXXXX")
proxy_pid=
stop_proxy() {
    [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null && wait "$proxy_pid" 2>/dev/null
    proxy_pid=
}
trap 'stop_proxy; vc_web_stop; [ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

site=$tmp/www/site
vc_site_create "$build" "$site" || exit 1
vc_site_add_counter "$build" "$site" web || exit 1
printf 'TRUSTED_PROXIES = 127.0.0.1\nREPEAT_MINUTES = 30\n' >>"$site/conf/vc.conf"
vc_web_start lighttpd cgi "$site" "$tmp/run" || exit 1
backend=$VC_PORT

# The proxy, as README shows it, on a free port; it runs as the test's user.
mkdir -p "$tmp/proxy"
for ((try = 0; try < 10; try++)); do
    port=$(_vc_web_free_port)
    cat >"$tmp/proxy/nginx.conf" <<EOF
pid $tmp/proxy/nginx.pid;
error_log $tmp/proxy/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $tmp/proxy/body;
    proxy_temp_path $tmp/proxy/proxy;
    fastcgi_temp_path $tmp/proxy/fastcgi;
    uwsgi_temp_path $tmp/proxy/uwsgi;
    scgi_temp_path $tmp/proxy/scgi;
    server {
        listen 127.0.0.1:$port;
        location / {
            proxy_pass http://127.0.0.1:$backend;
            proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
        }
    }
}
EOF
    setsid nginx -p "$tmp/proxy" -e "$tmp/proxy/error.log" -c "$tmp/proxy/nginx.conf" -g 'daemon off;' \
        >>"$tmp/proxy/error.log" 2>&1 </dev/null &
    proxy_pid=$!
    for ((n = 0; n < 50; n++)); do
        curl -s -m 2 -o /dev/null "http://127.0.0.1:$port/" && break
        sleep 0.1
    done
    kill -0 "$proxy_pid" 2>/dev/null && break
    stop_proxy
done
[ -n "$proxy_pid" ] || { echo "proxy: nginx did not start"; cat "$tmp/proxy/error.log"; exit 1; }

# visit FROM PORT EXPECT [HEADER]: a counter request from the address FROM
# to the server on PORT, whose JSON answer must say EXPECT: "counted" or
# the reason it was not.
visit() {
    local from=$1 to=$2 expect=$3 header=${4:-} got
    local args=(-s -m 30 --interface "$from" -A "Mozilla/5.0 Firefox/128.0")
    [ -n "$header" ] && args+=(-H "$header")
    got=$(curl "${args[@]}" "http://127.0.0.1:$to$VC_URL?vdb=web&format=json" | python3 -c '
import json, sys
a = json.load(sys.stdin)
print("counted" if a.get("counted") else a.get("reason", a.get("error")))')
    [ "$got" = "$expect" ] && ok || bad "from $from to :$to ${header:+($header) }answered $got, not $expect"
}

visit 127.0.0.2 "$port" counted
visit 127.0.0.3 "$port" counted
visit 127.0.0.2 "$port" repeat                              # a reload
visit 127.0.0.2 "$port" repeat "X-Forwarded-For: 192.0.2.1"  # forged through the proxy
visit 127.0.0.4 "$backend" counted "X-Forwarded-For: 127.0.0.3"  # forged, not from the proxy
visit 127.0.0.4 "$backend" repeat "X-Forwarded-For: 192.0.2.2"
total=$(vc_db_total "$site/save/web.db")
[ "$total" = 3 ] && ok || bad "totcnt is $total, not 3"

stop_proxy
vc_web_stop
vc_web_sanitized && ok || bad "a sanitizer report (above)"
echo "proxy: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
