# SPDX-License-Identifier: GPL-3.0-or-later
# Installing the Debian package into a scratch root, for the checks that
# serve a site from its files. Source it from bash.

# vc_deb_install DEB ROOT
# Installs DEB with dpkg into the empty directory ROOT, which gets a dpkg
# database of its own. The maintainer scripts run outside ROOT with
# DPKG_ROOT set, as debhelper's scripts allow: they touch only ROOT, and
# nothing of the running system. Prints dpkg's output on failure.
vc_deb_install() {
    local deb=$1 root=$2 out
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    if ! out=$(dpkg --root="$root" --force-script-chrootless --log="$root/dpkg.log" -i "$deb" 2>&1 </dev/null); then
        echo "$out" >&2
        echo "deb: dpkg could not install $deb into $root" >&2
        return 1
    fi
}
