#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The bash completion of vornctl (completion/vornctl), loaded the way
# bash-completion loads it: it must offer every command and every option
# that the built vornctl's --help names, the counters of the site that -C
# names, and the values of --to.
#
#   tests/completion_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: completion_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
framework=/usr/share/bash-completion/bash_completion
[ -f "$framework" ] || { echo "completion: bash-completion is missing (scripts/install-deps)"; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-completion.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The completion runs `vornctl list` for counter names: the built one.
export PATH="$build/bin:$PATH"
# shellcheck disable=SC1090
. "$framework"
# shellcheck disable=SC1091
. "$src/completion/vornctl"

# offered LINE: the words the completion offers for LINE, the cursor at its
# end, sorted one a line (the shell's own splitting of words suffices: no
# quotes in these lines).
offered() {
    local line=$1
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _vornctl vornctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort -u | sed '/^$/d'
}

# expect WHAT LINE WORD...: LINE offers exactly WORDs.
expect() {
    local what=$1 line=$2 want got
    shift 2
    want=$(printf '%s\n' "$@" | sort -u | sed '/^$/d')
    got=$(offered "$line")
    [ "$got" = "$want" ] && ok || bad "$what ('$line'): offered [$(echo $got)], expected [$(echo $want)]"
}

# The commands and their options as the program's help names them.
help=$(vornctl --help) || { echo "completion: $build/bin/vornctl --help failed"; exit 1; }
mapfile -t commands < <(sed -n '/^Commands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF { print $1 }')
[ "${#commands[@]}" -ge 10 ] || { echo "completion: no command list in vornctl --help"; exit 1; }

expect "every command" "vornctl " "${commands[@]}"
expect "every command after -C DIR" "vornctl -C /nonexistent " "${commands[@]}"
expect "commands by their start" "vornctl re" $(printf '%s\n' "${commands[@]}" | grep '^re')
expect "options before the command" "vornctl -" -C --json --help --version
for command in "${commands[@]}"; do
    usage=$(vornctl "$command" --help | head -n1)
    # "Usage: vornctl [-C DIR] NAME [--total N] [--json]": every --option.
    mapfile -t options < <(grep -o -- '--[a-z-]*' <<<"${usage#*"$command"}")
    expect "options of $command" "vornctl $command --" "${options[@]}" --help
done
expect "values of copy --to" "vornctl copy home --to " redis gdbm
expect "values of copy --to=" "vornctl copy home --to=r" redis

# Counter names from the site that -C names, for the commands that take one.
site=$tmp/site
mkdir -p "$site/save"
for name in home shop; do vornctl -C "$site" create "$name" >/dev/null || bad "create $name"; done
expect "counters of the site" "vornctl -C $site show " home shop
expect "counters by their start" "vornctl -C $site delete h" home
expect "counters after the option" "vornctl -C $site check --user www-data " home shop
expect "no counter for a new one" "vornctl -C $site create "
expect "no second counter for set-total" "vornctl -C $site set-total home "
mkdir "$tmp/dumps"
: >"$tmp/dumps/home.dump"
expect "restore offers the dumps" "vornctl -C $site restore $tmp/dumps " home

echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
