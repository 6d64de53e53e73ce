#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The layers of src/ include each other only downward, and every project
# include names its folder. A folder's allowed includes:
#   base                                   (nothing of the project)
#   config, web, gdbm, picture             base
#   store                                  base config gdbm
#   counting                               base config web gdbm store
#   metrics                                base config gdbm store
#   vorncounter (the counter program)      every layer
#   vornctl (the operator's tool)          base config store counting metrics, and no
#                                          store module of one store alone
#   vornadmin (the console)                base gdbm
#
#   tests/layers_test.sh SOURCE_DIR
set -uo pipefail
src=${1:?usage: layers_test.sh SOURCE_DIR}/src

declare -A allowed=(
    [base]=""
    [config]="base"
    [web]="base"
    [gdbm]="base"
    [picture]="base"
    [store]="base config gdbm"
    [counting]="base config web gdbm store"
    [metrics]="base config gdbm store"
    [vorncounter]="base config web gdbm picture store counting metrics vorncounter"
    [vornctl]="base config store counting metrics vornctl"
    [vornadmin]="base gdbm"
)

failed=0
for dir in "$src"/*/; do
    layer=$(basename "$dir")
    if [ -z "${allowed[$layer]+set}" ]; then
        echo "FAIL: src/$layer is no known layer"
        failed=1
        continue
    fi
    while IFS=: read -r file line include; do
        target=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$include")
        folder=${target%%/*}
        if [ "$folder" = "$target" ]; then
            echo "FAIL: ${file#"$src"/}:$line includes \"$target\" without its folder"
            failed=1
        elif [ "$folder" != "$layer" ] && ! grep -qw "$folder" <<<"${allowed[$layer]}"; then
            echo "FAIL: ${file#"$src"/}:$line: $layer may not include $target"
            failed=1
        elif [ "$layer" = vornctl ] && grep -qE '^store/(gdbmstore|redisstore|redis)\.h$' <<<"$target"; then
            echo "FAIL: ${file#"$src"/}:$line: vornctl goes through the counter store, not $target"
            failed=1
        fi
    done < <(grep -Hn '#include "' "$dir"*.h "$dir"*.cpp 2>/dev/null)
done
[ "$failed" -eq 0 ] && echo "layers: every include goes downward"
exit "$failed"
