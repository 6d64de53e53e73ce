#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every source file of the project says its licence in its first lines,
# LICENSE holds the GPL version 3, and debian/copyright names it for the
# project's files.
#
#   tests/licence_test.sh SOURCE_DIR
set -uo pipefail
cd "${1:?usage: licence_test.sh SOURCE_DIR}"

tag='SPDX-License-Identifier: GPL-3.0-or-later'
failed=0
files=$(find src tests fuzz imagegen tools scripts deploy man completion .ci CMakeLists.txt debian/rules \
    -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' -o -name '*.8' \
    -o -name 'CMakeLists.txt' -o -name '*.service' -o -name '*.socket' -o -perm -u+x \) \
    -not -path 'fuzz/corpus/*' | sort)
count=0
for f in $files; do
    count=$((count + 1))
    head -n 2 "$f" | grep -qF "$tag" || { echo "FAIL: $f has no '$tag' in its first two lines"; failed=1; }
done
grep -q 'GNU GENERAL PUBLIC LICENSE' LICENSE && grep -q 'Version 3, 29 June 2007' LICENSE \
    || { echo "FAIL: LICENSE is not the GPL version 3"; failed=1; }
awk '/^Files: \*$/ { f = 1 } f && /^License:/ { print; exit }' debian/copyright | grep -qE 'GPL-3\+|GPL-3.0-or-later' \
    || { echo "FAIL: debian/copyright does not give the project's files GPL-3+ (Debian's name of GPL-3.0-or-later)"; failed=1; }
[ "$failed" -eq 0 ] && echo "licence: $count source files, LICENSE and debian/copyright agree"
exit "$failed"
