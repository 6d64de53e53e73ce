# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs a program under the system call filter of a systemd unit, without
systemd: the calls in CALLS_FILE (one a line, as tests/unit_syscalls.sh
prints them) are allowed, every other call fails with EPERM (as
SystemCallErrorNumber=EPERM has it), and socket() is allowed for the
address families named only (RestrictAddressFamilies=); no new privileges
can be gained. The filter is loaded, then PROGRAM replaces this process.

    /usr/bin/python3 sandbox_exec.py CALLS_FILE FAMILIES -- PROGRAM [ARG...]

FAMILIES is a comma-separated list such as AF_UNIX,AF_INET,AF_INET6.
Needs Debian's python3-seccomp (libseccomp's bindings)."""

import errno
import os
import socket
import sys

import seccomp


def main(argv):
    if len(argv) < 5 or argv[3] != "--":
        sys.exit(__doc__)
    calls_file, families, program = argv[1], argv[2].split(","), argv[4:]
    with open(calls_file, encoding="ascii") as f:
        calls = {line.strip() for line in f if line.strip()}

    rules = seccomp.SyscallFilter(seccomp.ERRNO(errno.EPERM))
    for call in sorted(calls - {"socket"}):
        # Names of other architectures' calls are not this one's.
        if seccomp.resolve_syscall(seccomp.Arch.NATIVE, call) >= 0:
            rules.add_rule(seccomp.ALLOW, call)
    if "socket" in calls:
        for family in families:
            rules.add_rule(seccomp.ALLOW, "socket", seccomp.Arg(0, seccomp.EQ, int(getattr(socket, family))))
    rules.load()
    os.execvp(program[0], program)


if __name__ == "__main__":
    main(sys.argv)
