#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Prints the system calls that a unit's SystemCallFilter= lines allow, one a
# line, as systemd reads them: the first line is an allow list, later ones
# add to it or, with ~, take away; the calls of @default are always
# allowed. Groups are expanded with systemd-analyze syscall-filter. Fails
# when the unit has no filter or begins with a deny list.
#
#   tests/unit_syscalls.sh UNIT_FILE
set -uo pipefail

unit=${1:?usage: unit_syscalls.sh UNIT_FILE}
declare -A group allowed
name=
while IFS= read -r line; do
    case $line in
        @*) name=${line%% *} ;;
        "    #"* | "") ;;
        "    "*) group[$name]+=" ${line# *}" ;;
    esac
done < <(systemd-analyze syscall-filter 2>/dev/null)
[ ${#group[@]} -gt 0 ] || { echo "unit_syscalls: systemd-analyze syscall-filter lists no group" >&2; exit 1; }

expand() {
    local item
    for item in "$@"; do
        if [[ $item == @* ]]; then
            # shellcheck disable=SC2086
            expand ${group[$item]:-}
        else
            echo "$item"
        fi
    done
}

rules=$(sed -n 's/^SystemCallFilter=//p' "$unit")
[ -n "$rules" ] || { echo "unit_syscalls: $unit has no SystemCallFilter=" >&2; exit 1; }
[[ $rules == '~'* ]] && { echo "unit_syscalls: the first SystemCallFilter= of $unit is a deny list" >&2; exit 1; }
for call in $(expand @default); do allowed[$call]=1; done
while IFS= read -r rule; do
    deny=
    [[ $rule == '~'* ]] && deny=1 rule=${rule#\~}
    # shellcheck disable=SC2086
    for call in $(expand $rule); do
        if [ -n "$deny" ]; then unset "allowed[$call]"; else allowed[$call]=1; fi
    done
done <<<"$rules"
printf '%s\n' "${!allowed[@]}" | sort
