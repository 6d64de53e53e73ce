#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The statically linked programs look up names without glibc's shared
# libraries: a Redis server by host name (through /etc/hosts) and a web
# server user by name (through /etc/passwd and /etc/group). The linker warns
# that getaddrinfo, getpwnam and getgrouplist would need the shared
# libraries of the glibc they were built with; they do not, for the sources
# built into the static C library (files and dns), so an upgrade of glibc
# changes nothing for them. strace shows every file they open: no shared
# object may be among them.
#
#   tests/static_nss_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: static_nss_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/redis.sh"
for tool in strace redis-server redis-cli; do
    command -v "$tool" >/dev/null || { echo "static-nss: $tool is missing (scripts/install-deps)"; exit 1; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-nss.XXXXXX")
trap '[ -n "${KEEP:-}" ] && echo "$tmp"; [ -n "${VC_REDIS_PID:-}" ] && kill "$VC_REDIS_PID" 2>/dev/null; wait 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

vc_redis_start "$tmp/redis" --bind 127.0.0.1 || exit 1
redis-cli -p "$VC_REDIS_PORT" config set save '3600 1' >/dev/null  # the persistence check asks for
cp -R "$build/site" "$tmp/site"
printf 'STORE = redis\nREDIS_ADDR = localhost:%s\n' "$VC_REDIS_PORT" >>"$tmp/site/conf/vc.conf"

# traced NAME COMMAND...: runs COMMAND in the site under strace; fails the
# check NAME when it fails or opens a shared object.
traced() {
    local name=$1 opened
    shift
    (cd "$tmp/site" && strace -f -qq -e trace=open,openat -o "$tmp/trace" "$@" >"$tmp/out" 2>&1) ||
        { bad "$name: $(cat "$tmp/out")"; return; }
    opened=$(grep -oE '"[^"]*\.so(\.[0-9]+)*"' "$tmp/trace" | sort -u)
    [ -z "$opened" ] && ok || bad "$name opened shared objects: $opened"
}

traced "a counter created on Redis reached by host name" "$build/bin/vornctl" create home
[ "$(redis-cli -p "$VC_REDIS_PORT" exists 'vorncounter:{home}')" = 1 ] && ok ||
    bad "the counter is not on the server"
REMOTE_ADDR=127.0.0.1 QUERY_STRING="vdb=home&format=json" traced "a visit on Redis reached by host name" \
    "$build/bin/vorncounter"
grep -q '"count":1' "$tmp/out" && ok || bad "the visit was answered $(cat "$tmp/out")"
user=$(getent passwd 0 | cut -d: -f1)
traced "the web server user looked up by name" "$build/bin/vornctl" check --user "$user"
grep -q "no such user" "$tmp/out" && bad "vornctl found no user $user" || ok

echo "static-nss: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
