#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The manual pages in man/: each renders without a warning, both with groff
# and the way lintian renders it with man, carries the project's version
# and the sections a reader looks for, and documents what the programs
# have: vornctl(8) every command and option of the built vornctl's --help,
# vorncounter(8) every configuration key and request parameter of README.
#
#   tests/manpages_test.sh BUILD_DIR VERSION
set -uo pipefail

build=$(cd "${1:?usage: manpages_test.sh BUILD_DIR VERSION}" && pwd)
version=${2:?version}
src=$(cd "$(dirname "$0")/.." && pwd)
for tool in groff man; do
    command -v "$tool" >/dev/null || { echo "manpages: $tool is missing (scripts/install-deps)"; exit 1; }
done

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The rendered text of a page in plain ASCII, without hyphenation and with
# long lines, so that every word stands whole.
plain() { groff -man -Tascii -P-cbou -rHY=0 -rLL=250n "$1" 2>/dev/null; }

# tagged TEXT WORD [AFTER]: WORD is the tag of a tagged paragraph of the
# rendered TEXT, alone or in a list "A, B, C", followed by the regular
# expression AFTER (by default: the end of the tag).
tagged() {
    local word after='(,| {2,}|$)'
    word=$(sed 's/[]|()*^$.[]/\\&/g' <<<"$2")
    grep -qE "^ {7}([^ ,]+, )*$word${3:-$after}" <<<"$1"
}

declare -A text
for program in vorncounter vornctl vornadmin; do
    page=$src/man/$program.8
    [ -f "$page" ] || { bad "no manual page $page"; continue; }
    # For the terminal, where manual pages are read (vornadmin's menu holds
    # Hangul, which the typesetter devices' fonts lack).
    warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
    [ -z "$warnings" ] && ok || bad "groff warns about $program.8: $warnings"
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] && ok || bad "man warns about $program.8: $warnings"
    grep -qE "^\.TH $(tr a-z A-Z <<<"$program") 8 .*\"VornCounter $version\"" "$page" && ok ||
        bad "$program.8 does not name VornCounter $version in .TH"
    text[$program]=$(plain "$page")
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
        grep -qx "$section" <<<"${text[$program]}" && ok || bad "$program.8 has no section $section"
    done
done

# vornctl(8): every command of --help as its usage line shows it (the
# arguments in lower case), the options before the command and the exit
# statuses.
vornctl=$build/bin/vornctl
mapfile -t commands < <("$vornctl" --help | sed -n '/^Commands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
[ "${#commands[@]}" -ge 10 ] || bad "no command list in vornctl --help"
for command in "${commands[@]}"; do
    # "Usage: vornctl [-C DIR] create NAME [--total N] [--json]"
    usage=$("$vornctl" "$command" --help | head -n1)
    usage=${usage#Usage: vornctl \[-C DIR\] }
    usage=${usage% \[--json\]}
    tagged "$(tr A-Z a-z <<<"${text[vornctl]}")" "$(tr A-Z a-z <<<"$usage")" && ok ||
        bad "vornctl.8 has no entry '$usage'"
done
for option in -C --json --help --version; do
    tagged "${text[vornctl]}" "$option" '( |,|$)' && ok || bad "vornctl.8 has no entry for the option $option"
done
for status in 0 1 2; do
    tagged "${text[vornctl]}" "$status" ' {2,}' && ok || bad "vornctl.8 does not explain the exit status $status"
done

# vorncounter(8): the keys of the configuration guide's table and the
# parameters of the request table.
mapfile -t keys < <(sed -n '/^## Configuration/,/^## /p' "$src/docs/configuration.md" | grep -o '^| `[A-Z_]*`' | tr -d '|` ')
mapfile -t parameters < <(sed -n '/^## Request parameters/,/^#/p' "$src/docs/answers.md" | grep -o '^| `[a-z]*`' | tr -d '|` ')
[ "${#keys[@]}" -ge 10 ] && [ "${#parameters[@]}" -ge 5 ] || bad "the guides' tables of keys and parameters not found"
for key in "${keys[@]}"; do
    tagged "${text[vorncounter]}" "$key" && ok || bad "vorncounter.8 has no entry for the key $key"
done
for parameter in "${parameters[@]}"; do
    tagged "${text[vorncounter]}" "$parameter" = && ok || bad "vorncounter.8 has no entry for the parameter $parameter"
done
for status in 0 1; do
    tagged "${text[vorncounter]}" "$status" ' {2,}' && ok || bad "vorncounter.8 does not explain the exit status $status"
done

# vornadmin(8): its menu's choices.
for choice in 1 2 0; do
    tagged "${text[vornadmin]}" "$choice" ' {2,}' && ok || bad "vornadmin.8 does not explain the choice $choice"
done

echo "manpages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
