#!/usr/bin/env bash
# The Debian package: cpack makes vorncounter_VERSION_amd64.deb from
# BUILD_DIR; it must hold every program (stripped and statically linked)
# under /usr/bin, the site template, the systemd units and the docs.
#
#   tests/package_test.sh BUILD_DIR VERSION PROGRAM...
set -uo pipefail

build=$(cd "${1:?usage: package_test.sh BUILD_DIR VERSION PROGRAM...}" && pwd)
version=${2:?version}
shift 2
programs=("$@")
for tool in cpack dpkg-deb file; do
    command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/install-deps)"; exit 1; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

if ! (cd "$build" && cpack -G DEB -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    echo "package: cpack failed"
    exit 1
fi
deb=$tmp/out/vorncounter_${version}_amd64.deb
[ -f "$deb" ] || { ls "$tmp/out"; echo "package: no $deb"; exit 1; }

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$tmp/files"
want=(/usr/share/vorncounter/site/conf/vc.conf /usr/share/vorncounter/site/save/
      /usr/share/vorncounter/site/image/resource/imgyear.rc /usr/share/vorncounter/site/image/resource/imgmonth.rc
      /usr/share/vorncounter/site/image/resource/imgday.rc /usr/share/vorncounter/site/image/digits/d/0.gif
      /usr/lib/systemd/system/vorncounter.socket /usr/lib/systemd/system/vorncounter.service
      /usr/share/doc/vorncounter/README.md /usr/share/doc/vorncounter/copyright)
for p in "${programs[@]}"; do want+=("/usr/bin/$p"); done
for f in "${want[@]}"; do
    grep -qx "$f" "$tmp/files" && ok || bad "the package lacks $f"
done
# Nothing outside /usr, no stamp or build leftovers.
if grep -v '^/usr/' "$tmp/files" | grep -qv '^/$'; then bad "files outside /usr: $(grep -v '^/usr/' "$tmp/files" | tr '\n' ' ')"; else ok; fi
grep -q '\.stamp$' "$tmp/files" && bad "the package holds the build's .stamp" || ok
[ "$(grep -c '^/usr/bin/.' "$tmp/files")" = "${#programs[@]}" ] && ok || bad "/usr/bin holds $(grep '^/usr/bin/.' "$tmp/files" | tr '\n' ' ')"

[ "$(dpkg-deb -f "$deb" Package)" = vorncounter ] && ok || bad "package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] && ok || bad "architecture $(dpkg-deb -f "$deb" Architecture)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] && ok || bad "version $(dpkg-deb -f "$deb" Version)"

dpkg-deb -x "$deb" "$tmp/root"
for p in "${programs[@]}"; do
    what=$(file -b "$tmp/root/usr/bin/$p")
    grep -qE 'statically linked|static-pie linked' <<<"$what" && ok || bad "/usr/bin/$p is not static: $what"
    grep -q ', stripped' <<<"$what" && ok || bad "/usr/bin/$p is not stripped: $what"
done
# The units parse: systemd-analyze reports unknown keys and bad values (the
# program is not installed on this machine, which it may also say).
if command -v systemd-analyze >/dev/null; then
    units=$tmp/root/usr/lib/systemd/system
    complaints=$(systemd-analyze verify --man=no "$units/vorncounter.socket" "$units/vorncounter.service" 2>&1 |
        grep -v 'Command /usr/bin/vorncounter is not executable')
    [ -z "$complaints" ] && ok || bad "systemd-analyze: $complaints"
fi
# The packaged program runs: its console lines without a web server.
if "$tmp/root/usr/bin/vorncounter" </dev/null | head -n1 | grep -qx 'VornCounter 2.0.0 beta1'; then ok; else bad "the packaged vorncounter does not run"; fi

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
