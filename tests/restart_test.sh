#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A restart and an upgrade of the FastCGI workers under load, the way
# README tells an operator to do them: two workers started with README's
# spawn-fcgi lines behind nginx, 32 clients asking for visits through nginx
# all along, a new program installed over the old one (by rename, as dpkg
# and cmake --install do), README's restart line, and the restart line once
# more. Every request must be answered with a picture, every answer counted
# once, and the workers must run the new program in the processes they
# had.
#
#   tests/restart_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: restart_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
. "$src/scripts/lib/servers.sh"

for tool in cmake nginx spawn-fcgi /usr/sbin/fcgiwrap g++ gdbm_dump; do
    command -v "$tool" >/dev/null || { echo "restart: $tool is missing (scripts/install-deps)"; exit 1; }
done
export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-restart.XXXXXX")
trap 'vc_web_stop; [ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
site=$tmp/www/site
vc_site_create "$prefix" "$site" || exit 1
vc_site_add_counter "$prefix" "$site" web || exit 1
g++ -std=c++20 -O2 -pthread -o "$tmp/httpload" "$src/tools/bench/httpload.cpp" || exit 1

export VC_README=$src/README.md
vc_web_start nginx fastcgi "$site" "$tmp/run" || exit 1
pids=$(cat "$tmp/run/vc/vorncounter.pid")
[ "$(wc -w <<<"$pids")" = 2 ] && ok || bad "README's lines started workers '$pids', not two"
restart=$(site=$site run=$tmp/run _vc_readme_block spawn-fcgi-restart)
[ -n "$restart" ] || { echo "restart: README has no spawn-fcgi-restart block"; exit 1; }

requests=${VORN_RESTART_REQUESTS:-3000}
"$tmp/httpload" "$VC_PORT" "/vorncounter.cgi?vdb=web&cntlen=8" 32 "$requests" >"$tmp/load.out" &
load=$!
sleep 0.5

# The upgrade: a new program renamed over the installed one, then README's
# line; the old program keeps running until then.
cp "$build/bin/vorncounter" "$prefix/bin/vorncounter.new"
mv "$prefix/bin/vorncounter.new" "$prefix/bin/vorncounter"
for p in $pids; do
    [[ $(readlink "/proc/$p/exe") == *"(deleted)" ]] && ok || bad "worker $p does not run the replaced program"
done
bash -c "$restart" || bad "README's restart line failed"
sleep 0.5
bash -c "$restart" || bad "README's restart line failed the second time"

wait "$load"
echo "restart: $(cat "$tmp/load.out")"
read -r -a words <"$tmp/load.out"
declare -A got
for ((i = 0; i + 1 < ${#words[@]}; i++)); do got[${words[i]}]=${words[i + 1]}; done
[ "${got[pictures]:-0}" = "$requests" ] && ok ||
    bad "$requests requests across the upgrade and restart: ${got[pictures]:-0} pictures, ${got[failed]:-?} failed"

for p in $pids; do
    exe=$(readlink "/proc/$p/exe")
    [ -n "$exe" ] && [[ $exe != *"(deleted)" ]] && ok || bad "worker $p runs '$exe', not the new program"
done
total=$(vc_db_total "$site/save/web.db")
[ "$total" = "${got[pictures]:-0}" ] && ok || bad "${got[pictures]:-0} answers, but totcnt is $total"

vc_web_stop
vc_web_sanitized && ok || bad "a sanitizer report (above)"
echo "restart: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
