#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The FastCGI worker under the system call filter and the address families
# of deploy/vorncounter.service, without systemd: tests/sandbox_exec.py
# loads the filter the unit's SystemCallFilter= lines make (every other call
# fails with EPERM) and RestrictAddressFamilies= allows, then starts the
# worker, which nginx reaches through spawn-fcgi (as www-data when run as
# root). Under it the worker must still count on the gdbm files, recover a
# damaged counter file on a visit, and count on a Redis server reached over
# IPv4, IPv6, a host name and a Unix socket.
#
#   tests/sandbox_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: sandbox_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
. "$src/scripts/lib/servers.sh"
. "$src/scripts/lib/redis.sh"
python=/usr/bin/python3   # Debian's, which python3-seccomp extends
for tool in nginx spawn-fcgi curl redis-server redis-cli systemd-analyze "$python"; do
    command -v "$tool" >/dev/null || { echo "sandbox: $tool is missing (scripts/install-deps)"; exit 1; }
done
"$python" -c 'import seccomp' 2>/dev/null || { echo "sandbox: python3-seccomp is missing (scripts/install-deps)"; exit 1; }

export TZ=UTC LC_ALL=C
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-sandbox.XXXXXX")
redis_pid=
trap 'vc_web_stop; [ -n "$redis_pid" ] && kill "$redis_pid" 2>/dev/null && wait "$redis_pid"; rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

service=$src/deploy/vorncounter.service
sandbox=$tmp/sandbox
mkdir -p "$sandbox"
bash "$src/tests/unit_syscalls.sh" "$service" >"$sandbox/calls" || exit 1
families=$(sed -n 's/^RestrictAddressFamilies=//p' "$service" | tr ' ' ',')
[ -n "$families" ] || { echo "sandbox: $service has no RestrictAddressFamilies="; exit 1; }
cp "$src/tests/sandbox_exec.py" "$build/bin/vorncounter" "$sandbox/"
run_sandboxed() { "$python" "$sandbox/sandbox_exec.py" "$sandbox/calls" "$families" -- "$@"; }

# The filter holds: a call it leaves out and a family it leaves out fail.
run_sandboxed "$python" -c 'import os; os.nice(5)' 2>/dev/null && bad "the filter lets the priority change" || ok
run_sandboxed "$python" -c 'import socket; socket.socket(socket.AF_NETLINK, socket.SOCK_RAW)' 2>/dev/null &&
    bad "the filter lets a netlink socket be made" || ok

# The site's program is the worker started in the sandbox.
site=$tmp/www/site
vc_site_create "$build" "$site" || exit 1
for name in web damaged; do vc_site_add_counter "$build" "$site" "$name" || exit 1; done
# The site's vorncounter.cgi is a link to the built program: replace the
# link, never write through it.
rm -f "$site/vorncounter.cgi"
cat >"$site/vorncounter.cgi" <<EOF
#!/bin/sh
exec $python $sandbox/sandbox_exec.py $sandbox/calls $families -- $sandbox/vorncounter
EOF
chmod 755 "$site/vorncounter.cgi"
chmod -R a+rX "$sandbox"
# A damaged file: bytes past the end that gdbm's header does not know, as
# a process leaves it that ended while gdbm extended the file.
head -c 3000 /dev/zero | tr '\0' x >>"$site/save/damaged.db"

vc_redis_start "$tmp/redis" --bind '127.0.0.1 ::1' --unixsocket "$tmp/redis/redis.sock" --unixsocketperm 777 ||
    exit 1
redis_pid=$VC_REDIS_PID
chmod 755 "$tmp/redis"
vc_web_start nginx fastcgi "$site" "$tmp/run" || exit 1
base=http://127.0.0.1:$VC_PORT
echo "sandbox: nginx on $base, the worker filtered by $service"

# visits NAME N: N visits to the counter NAME (as a browser, which no robot
# rule leaves out); each must be answered with a picture.
visits() {
    local i
    for ((i = 0; i < $2; i++)); do
        [ "$(curl -s -m 30 -A 'Mozilla/5.0' "$base/vorncounter.cgi?vdb=$1" | head -c 6)" = GIF87a ] || return 1
    done
}
# total NAME: the counter's total, as vornctl reads it in the site.
total() { "$build/bin/vornctl" -C "$site" show "$1" --json | sed -n 's/^{"name":"[^"]*","total":\([0-9]*\),.*/\1/p'; }

visits web 3 && [ "$(total web)" = 3 ] && ok || bad "3 visits on the gdbm file counted $(total web)"
for query in "vdb=web&mode=stat&when=year" "mode=date&style=b"; do
    [ "$(curl -s -m 30 "$base/vorncounter.cgi?$query" | head -c 6)" = GIF87a ] && ok || bad "no picture for $query"
done
visits damaged 1 && [ "$(total damaged)" = 1 ] && ok || bad "the damaged counter counted $(total damaged) after a visit"
[ -f "$site/save/damaged.db.damaged" ] && ok || bad "the visit kept no damaged original: it did not recover the file"

# The same counter on Redis, reached each way REDIS_ADDR allows; the
# configuration is read at every request.
printf 'STORE = redis\nREDIS_ADDR = 127.0.0.1:%s\n' "$VC_REDIS_PORT" >"$site/conf/vc.conf"
"$build/bin/vornctl" -C "$site" create web >/dev/null || bad "vornctl cannot create the counter on redis"
expected=0
for address in "127.0.0.1:$VC_REDIS_PORT" "[::1]:$VC_REDIS_PORT" "localhost:$VC_REDIS_PORT" "$tmp/redis/redis.sock"; do
    printf 'STORE = redis\nREDIS_ADDR = %s\n' "$address" >"$site/conf/vc.conf"
    expected=$((expected + 2))
    visits web 2 && [ "$(total web)" = "$expected" ] && ok ||
        bad "visits through redis at $address: total $(total web), expected $expected"
done

echo "sandbox: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
