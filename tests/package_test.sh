#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, built the way README builds it: dpkg-buildpackage -us
# -uc -b in a clean copy of the source tree (every file git tracks or would
# track, as it stands in the working tree; no build directory). lintian
# must find no error or warning. The package must hold every program
# (stripped and statically linked) under /usr/bin, the site template, the
# units, the manual pages, the completion and the docs; name the sources of
# the static libraries in Built-Using; enable and start no unit; install
# with dpkg into a scratch root and purge again. It is left in
# BUILD_DIR/package/ for the deployment tests that serve a site from it.
#
#   tests/package_test.sh BUILD_DIR VERSION PROGRAM...
set -uo pipefail

build=$(cd "${1:?usage: package_test.sh BUILD_DIR VERSION PROGRAM...}" && pwd)
version=${2:?version}
shift 2
programs=("$@")
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/deb.sh"
for tool in git dpkg-buildpackage dh dpkg-deb dpkg lintian file pkg-config; do
    command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/install-deps)"; exit 1; }
done
git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1 || { echo "package: $src is not a git checkout"; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

copy=$tmp/vorncounter-$version
mkdir -p "$copy"
# (A file git tracks but the working tree has deleted is skipped.)
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$copy" ||
    { echo "package: cannot copy the source tree"; exit 1; }
echo "package: dpkg-buildpackage -us -uc -b in $copy"
if ! (cd "$copy" && dpkg-buildpackage -us -uc -b -j2 </dev/null >"$tmp/build.log" 2>&1); then
    tail -n 60 "$tmp/build.log"
    echo "package: dpkg-buildpackage failed"
    exit 1
fi
arch=$(dpkg --print-architecture)
deb=$tmp/vorncounter_${version}_$arch.deb
[ -f "$deb" ] || { ls "$tmp"; echo "package: no $deb (is debian/changelog at $version?)"; exit 1; }
# The package, for the deployment tests (ctest's fixture vorn_deb).
rm -rf "$build/package"
mkdir -p "$build/package"
cp "$deb" "$build/package/"

# lintian on everything the build made; the tags the package accepts are
# explained in debian/vorncounter.lintian-overrides.
if lintian --fail-on error,warning "$tmp/vorncounter_${version}_$arch.changes" >"$tmp/lintian.log" 2>&1; then
    ok
else
    bad "lintian:"
    grep -v 'running with root privileges' "$tmp/lintian.log"
fi

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$tmp/files"
want=(/usr/share/vorncounter/site/conf/vc.conf /usr/share/vorncounter/site/conf/bots.txt
      /usr/share/vorncounter/site/save/ /usr/share/vorncounter/site/image/digits/d/0.gif
      /usr/share/vorncounter/site/image/resource/imgyear.rc /usr/share/vorncounter/site/image/resource/imgmonth.rc
      /usr/share/vorncounter/site/image/resource/imgday.rc
      /lib/systemd/system/vorncounter.socket /lib/systemd/system/vorncounter.service
      /usr/share/doc/vorncounter/README.md.gz /usr/share/doc/vorncounter/docs/install.md.gz
      /usr/share/doc/vorncounter/copyright
      /usr/share/doc/vorncounter/changelog.gz
      /usr/share/man/man8/vorncounter.8.gz /usr/share/man/man8/vornadmin.8.gz /usr/share/man/man8/vornctl.8.gz
      "$(pkg-config --variable=completionsdir bash-completion)/vornctl")
for p in "${programs[@]}"; do want+=("/usr/bin/$p"); done
for f in "${want[@]}"; do
    grep -qx "$f" "$tmp/files" && ok || bad "the package lacks $f"
done
# Nothing outside /usr and the units' directory, no build leftovers.
outside=$(grep -vE '^/$|^/usr/|^/lib/$|^/lib/systemd/$|^/lib/systemd/system/' "$tmp/files")
[ -z "$outside" ] && ok || bad "files outside /usr: $(tr '\n' ' ' <<<"$outside")"
grep -qE '\.stamp$|/LICENSE$' "$tmp/files" && bad "the package holds $(grep -E '\.stamp$|/LICENSE$' "$tmp/files")" || ok
[ "$(grep -c '^/usr/bin/.' "$tmp/files")" = "${#programs[@]}" ] && ok || bad "/usr/bin holds $(grep '^/usr/bin/.' "$tmp/files" | tr '\n' ' ')"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vorncounter ] && ok || bad "package name $(field Package)"
[ "$(field Architecture)" = "$arch" ] && ok || bad "architecture $(field Architecture)"
[ "$(field Version)" = "$version" ] && ok || bad "version $(field Version), the project's is $version"
grep -q 'lib' <<<"$(field Depends)" && bad "the static programs depend on libraries: $(field Depends)" || ok
# Built-Using: the source of each static library at the version installed.
for dev in libgd-dev libgdbm-dev libhiredis-dev libc6-dev; do
    source=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' "$dev")
    [[ ", $(field Built-Using), " == *", $source, "* ]] && ok || bad "Built-Using '$(field Built-Using)' lacks $source"
done

dpkg-deb -x "$deb" "$tmp/contents"
cmp -s "$tmp/contents/usr/share/doc/vorncounter/copyright" "$src/debian/copyright" && ok ||
    bad "the package's copyright is not debian/copyright"
for p in "${programs[@]}"; do
    what=$(file -b "$tmp/contents/usr/bin/$p")
    grep -qE 'statically linked|static-pie linked' <<<"$what" && ok || bad "/usr/bin/$p is not static: $what"
    grep -q ', stripped' <<<"$what" && ok || bad "/usr/bin/$p is not stripped: $what"
done
if "$tmp/contents/usr/bin/vorncounter" </dev/null | head -n1 | grep -qx 'VornCounter 2.0.0 beta1'; then ok; else bad "the packaged vorncounter does not run"; fi

# The maintainer scripts start no unit (an upgrade restarts running ones
# only) and enable one only where the administrator had enabled it before.
dpkg-deb -e "$deb" "$tmp/control"
scripts=$(cat "$tmp/control"/{preinst,postinst,prerm,postrm} 2>/dev/null)
grep -qE 'deb-systemd-invoke (start|restart) ' <<<"$scripts" && bad "a maintainer script starts a unit" || ok
[ "$(grep -c 'deb-systemd-helper enable' <<<"$scripts")" = "$(grep -c 'was-enabled' <<<"$scripts")" ] && ok ||
    bad "a maintainer script enables a unit that was not enabled"

# Installed into a scratch root with dpkg: the units there pass their
# checks, bash-completion finds the completion, no unit is enabled; a purge
# leaves nothing.
root=$tmp/root
if vc_deb_install "$deb" "$root"; then
    ok
    bash "$src/tests/units_test.sh" "$root/lib/systemd/system" "$root/usr/share/man" >"$tmp/units.log" 2>&1 && ok ||
        { bad "the installed units:"; cat "$tmp/units.log"; }
    found=$(XDG_DATA_DIRS=$root/usr/share bash -c \
        '. /usr/share/bash-completion/bash_completion && __load_completion vornctl && complete -p vornctl' 2>&1)
    [ "$found" = "complete -F _vornctl vornctl" ] && ok || bad "bash-completion does not find vornctl's completion: $found"
    enabled=$(find "$root/etc" -name 'vorncounter.*' 2>/dev/null)
    [ -z "$enabled" ] && ok || bad "installing enabled units: $enabled"
    if dpkg --root="$root" --force-script-chrootless --log="$root/dpkg.log" --purge vorncounter >"$tmp/purge.log" 2>&1; then
        left=$(find "$root" -not -type d -not -path "$root/var/lib/dpkg/*" -not -name dpkg.log)
        [ -z "$left" ] && ok || bad "the purge left $left"
    else
        bad "dpkg --purge failed: $(cat "$tmp/purge.log")"
    fi
else
    bad "dpkg cannot install the package"
fi

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
