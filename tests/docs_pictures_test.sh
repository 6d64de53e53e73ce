#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The pictures of docs/pictures/ are what the build answers: a fresh render
# by scripts/render-pictures (without screenshots, so without Chromium)
# gives every committed GIF and SVG byte for byte, names no picture that is
# not committed, and leaves none committed that it no longer makes; each
# screenshot it would take is committed with the size it would have. And
# vornpictures renders at the fixed moment in the site's own zone, and
# refuses a list it cannot render faithfully.
#
#   tests/docs_pictures_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: docs_pictures_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
docs=$src/docs/pictures
. "$src/scripts/lib/site.sh"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-docs-pictures.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The committed pictures against a fresh render.
mkdir "$tmp/render"
if ! "$src/scripts/render-pictures" --no-screenshots "$build" "$tmp/render" > "$tmp/render.log" 2>&1; then
    cat "$tmp/render.log"
    bad "scripts/render-pictures failed"
fi
differ=()
for f in "$tmp/render"/*.gif "$tmp/render"/*.svg; do
    [ -e "$f" ] || continue
    name=$(basename "$f")
    if [ ! -f "$docs/$name" ]; then
        differ+=("$name (not committed)")
    elif ! cmp -s "$f" "$docs/$name"; then
        differ+=("$name (differs)")
    else
        ok
    fi
done
for f in "$docs"/*.gif "$docs"/*.svg; do
    [ -e "$f" ] || continue
    [ -e "$tmp/render/$(basename "$f")" ] || differ+=("$(basename "$f") (no longer rendered)")
done
# A PNG's width and height, from its IHDR chunk.
pngsize() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'; }
shots=$(awk '$1 == "screenshot" { print $2, $3 }' "$tmp/render.log")
if [ -n "$shots" ]; then ok; else bad "render-pictures names no screenshot"; fi
while read -r name size; do
    [ -n "$name" ] || continue
    if [ ! -f "$docs/$name" ]; then
        differ+=("$name (not committed)")
    elif [ "$(pngsize "$docs/$name")" != "$size" ]; then
        differ+=("$name (is $(pngsize "$docs/$name"), would be $size)")
    else
        ok
    fi
done <<<"$shots"
for f in "$docs"/*.png; do
    [ -e "$f" ] || continue
    grep -q "^$(basename "$f") " <<<"$shots" || differ+=("$(basename "$f") (no longer taken)")
done
if [ ${#differ[@]} -gt 0 ]; then
    bad "docs/pictures/ is not what this build answers:"
    printf '    %s\n' "${differ[@]}"
    echo "  Render them again and commit docs/pictures/: scripts/render-pictures $build"
fi

# vornpictures on a site of its own: the fixed moment is 15:07 in the
# zone the site names, whatever the process's own zone.
site=$tmp/site
vc_site_create "$build" "$site" && vc_site_add_counter "$build" "$site" demo || bad "no site"
echo "TIMEZONE = Asia/Seoul" >> "$site/conf/vc.conf"
mkdir "$tmp/out"
echo "time.gif mode=time" > "$tmp/time.txt"
if TZ=America/New_York "$build/bin/vornpictures" "$site" "$tmp/time.txt" "$tmp/out" >/dev/null &&
    cmp -s "$tmp/out/time.gif" "$docs/time.gif"; then
    ok
else
    bad "the time in the site's zone is not the committed time.gif"
fi

# Lists it must refuse (exit 1, the fault named on standard error) and
# write nothing of, or pictures it must not write: LIST|WHAT THE MESSAGE SAYS.
while IFS='|' read -r list says; do
    rm -f "$tmp/out"/*
    printf '%b' "$list" > "$tmp/list.txt"
    "$build/bin/vornpictures" "$site" "$tmp/list.txt" "$tmp/out" >/dev/null 2>"$tmp/err"
    status=$?
    if [ "$status" -eq 1 ] && grep -qF "$says" "$tmp/err" && [ -z "$(ls "$tmp/out")" ]; then
        ok
    else
        bad "list '$list': status $status, wrote '$(ls "$tmp/out" | tr '\n' ' ')', said: $(cat "$tmp/err")"
    fi
done <<'EOF'
date.gif|want FILE QUERY
date.gif mode=date extra|want FILE QUERY
../date.gif mode=date|no file name ending in .gif or .svg
date.png mode=date|no file name ending in .gif or .svg
a.gif mode=date\na.gif mode=time|'a.gif' named twice
# only a comment|no pictures
counter.gif vdb=nosuch|answered with an error
error.gif mode=date|answered without an error
date.svg mode=date|the answer is no image/svg+xml
badge.gif vdb=demo&count=no&format=badge|the answer is no image/gif
EOF

echo "docs_pictures: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
