#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The systemd units in deploy/ (the package's): systemd-analyze verify
# accepts both, their manual page reference resolves, the service's
# sandbox rates at most 4.0 in systemd-analyze security, and its filters
# leave the worker what it uses: the address families and the system calls
# below.
#
#   tests/units_test.sh [UNIT_DIR [MAN_PATH]]
#
# UNIT_DIR holds vorncounter.socket and vorncounter.service (default:
# deploy/); MAN_PATH is where man finds the manual pages (a directory with
# man8/; default: the pages of man/ in the source).
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
units=$(cd "${1:-$src/deploy}" && pwd)
command -v systemd-analyze >/dev/null || { echo "units: systemd-analyze is missing (scripts/install-deps)"; exit 1; }

# The system calls of the FastCGI worker, as strace -f lists them for the
# deployment tests' requests and for the end-to-end tests' runs of
# vorncounter: every mode, both stores (Redis over TCP, IPv6 and a Unix
# socket, and a host name), lock waits, interrupted and recovered counters
# (gdbm's recovery gives the rebuilt file its owner: fchown) and a full
# disk; with the calls of a DNS lookup for a Redis server named by host.
worker_calls="accept4 arch_prctl brk close connect dup3 execve exit_group fallocate fchmod fchown fcntl
faccessat2 flock fsync ftruncate futex getrandom getsockopt kill link lseek mkdir mmap mprotect munmap newfstatat
openat poll ppoll pread64 prlimit64 pwrite64 read readlink rename rseq rt_sigaction rt_sigpending
rt_sigprocmask rt_sigreturn rt_sigtimedwait set_robust_list set_tid_address setitimer setsockopt
shutdown socket uname unlink write
bind ioctl recvfrom recvmsg sendmmsg sendto"
worker_families="AF_UNIX AF_INET AF_INET6"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-units.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

service=$units/vorncounter.service
socket=$units/vorncounter.socket
for unit in "$service" "$socket"; do
    [ -f "$unit" ] || { echo "units: no $unit"; exit 1; }
done

# verify: unknown keys, bad values, dependencies. The program itself need
# not be installed here; the manual page is looked up among ours.
manpath=${2:-$tmp/man}
if [ $# -lt 2 ]; then
    mkdir -p "$tmp/man/man8"
    cp "$src"/man/*.8 "$tmp/man/man8/"
fi
complaints=$(cd "$tmp" && MANPATH=$manpath systemd-analyze verify "$socket" "$service" 2>&1 |
    grep -v 'Command /usr/bin/vorncounter is not executable')
[ -z "$complaints" ] && ok || bad "systemd-analyze verify: $complaints"
grep -qx 'ExecStart=/usr/bin/vorncounter' "$service" && ok || bad "the service does not start /usr/bin/vorncounter"
grep -qx 'StandardInput=socket' "$service" && ok || bad "the service does not take the socket as its standard input"

# The rating of the sandbox: 0 is best, 10 worst.
report=$(systemd-analyze security --offline=yes "$service" 2>&1)
level=$(sed -n 's/.*Overall exposure level for vorncounter.service: \([0-9.]*\).*/\1/p' <<<"$report")
if [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 4.0) }'; then
    ok
else
    bad "exposure level ${level:-unknown}, above 4.0:"
    grep '✗' <<<"$report"
fi

# The address families the worker needs are allowed.
families=$(sed -n 's/^RestrictAddressFamilies=//p' "$service")
for family in $worker_families; do
    [[ " $families " == *" $family "* ]] && ok || bad "RestrictAddressFamilies=$families lacks $family"
done

# The system calls the filter allows.
declare -A allowed
if calls=$(bash "$src/tests/unit_syscalls.sh" "$service"); then
    ok
    for call in $calls; do allowed[$call]=1; done
else
    bad "no system call filter to read"
fi
for call in $worker_calls; do
    [ -n "${allowed[$call]:-}" ] && ok || bad "SystemCallFilter= refuses $call, which the worker uses"
done
# And the filter does shut out what a counter has no business with.
for call in mount ptrace reboot setuid init_module setrlimit; do
    [ -z "${allowed[$call]:-}" ] && ok || bad "SystemCallFilter= allows $call"
done

echo "units: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
