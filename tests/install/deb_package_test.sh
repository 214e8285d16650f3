#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CPack's two Debian packages, zn417-host and zn417-host-dev: what each holds,
# Depends naming every library the programs link, lintian --pedantic clean,
# hardened programs; then dpkg installs, upgrades, removes and purges them in a
# private root and the files are checked at each step.
# Usage: deb_package_test.sh <build dir> [hardened | not-hardened:<build type>]
# Exits 77 (a skip) for a build that is not hardened (the sanitizer presets),
# and when lintian, hardening-check or fakeroot is missing:
# scripts/setup installs them.
set -euo pipefail
build=$1
. "$(dirname "$0")/test_lib.sh"
if [ "${2:-hardened}" != hardened ]; then
    echo "SKIP: the packages are checked from an optimised, hardened build (this one: ${2#*:})"
    exit 77
fi
for tool in lintian hardening-check; do
    command -v "$tool" >/dev/null || { echo "SKIP: no $tool here (scripts/setup installs it)"; exit 77; }
done
# dpkg --root wants root; fakeroot lends it.
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v fakeroot >/dev/null || { echo "SKIP: not root and no fakeroot"; exit 77; }
    as_root=(fakeroot)
fi
make_scratch "$build/tests/install"

# make_packages <dir> [cpack options...]: sets $runtime and $dev to the .deb files.
make_packages() {
    local out="$scratch/$1"
    shift
    logged "$out.log" "cpack $*" cpack --config "$build/CPackConfig.cmake" -B "$out" "$@"
    runtime=$(echo "$out"/zn417-host_*.deb) dev=$(echo "$out"/zn417-host-dev_*.deb)
    [ -f "$runtime" ] && [ -f "$dev" ] || fail "cpack made no runtime and -dev package: $(ls "$out")"
}
make_packages first
first_runtime=$runtime first_dev=$dev

# What each package holds.
runtime_files=$(dpkg-deb -c "$runtime" | awk '{ print $6 }')
dev_files=$(dpkg-deb -c "$dev" | awk '{ print $6 }')
for file in ./usr/bin/zn417-host ./usr/lib/zn417/zn417_button.so ./usr/lib/zn417/libzn_platform.so.0 \
            ./usr/lib/udev/rules.d/70-zn417.rules ./usr/lib/systemd/system/zn417-host@.service \
            ./usr/lib/systemd/user/zn417-host@.service ./usr/lib/sysusers.d/zn417.conf \
            ./usr/share/zn417/actions/scan-to-folder ./usr/share/zn417/70-zn417-headless.rules \
            ./usr/share/man/man8/zn417-host.8.gz ./etc/zn417/zn417-host.conf \
            ./usr/share/doc/zn417-host/copyright ./usr/share/doc/zn417-host/changelog.Debian.gz; do
    grep -qxF -- "$file" <<<"$runtime_files" || fail "zn417-host lacks $file"
done
for file in ./usr/include/twain_button_plugin.h ./usr/share/doc/zn417-host-dev/copyright \
            ./usr/share/doc/zn417-host-dev/changelog.Debian.gz; do
    grep -qxF -- "$file" <<<"$dev_files" || fail "zn417-host-dev lacks $file"
done
grep -q '^\./usr/include/' <<<"$runtime_files" && fail "the header is in the runtime package"
if grep -E '^\./usr/local/|^\./usr/etc/|CPack|_CPack_Packages' <<<"$runtime_files$dev_files"; then
    fail "the packages hold files outside their layout"
fi
[ "$(dpkg-deb -f "$runtime" Recommends)" = "sane-utils, libnotify-bin" ] ||
    fail "Recommends: $(dpkg-deb -f "$runtime" Recommends)"
[[ $(dpkg-deb -f "$runtime" Maintainer) != *localhost* ]] || fail "the maintainer's address is at localhost"

dpkg-deb -x "$runtime" "$scratch/content"
for mode in system user; do
    grep -qxF "ExecStart=/usr/bin/zn417-host --wait --exit-on-unplug --device %i" \
        "$scratch/content/usr/lib/systemd/$mode/zn417-host@.service" ||
        fail "the $mode unit does not run /usr/bin/zn417-host"
done

depends=$(dpkg-deb -f "$runtime" Depends)
for library in libplist libusb; do
    [[ $depends == *"$library"* ]] || fail "Depends does not name $library: $depends"
done
# Every library the packaged programs need comes from this package or one in Depends.
for elf in "$scratch"/content/usr/bin/zn417-host "$scratch"/content/usr/lib/zn417/*.so*; do
    [ -L "$elf" ] && continue
    for needed in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$scratch/content/usr/lib/zn417/$needed" ] && continue
        path=$(ldconfig -p | awk -v lib="$needed" '$1 == lib && !found { print $NF; found = 1 }')
        [ -n "$path" ] || fail "$needed, needed by $(basename "$elf"), is not on this system"
        # dpkg knows a library by one of its paths: as found, resolved, or before /usr merged.
        real=$(readlink -f "$path")
        owner=$(dpkg -S "$path" "$real" "${real#/usr}" 2>/dev/null | head -n 1 | cut -d: -f1) || true
        [[ -n $owner && $depends == *"$owner"* ]] || fail "$needed ($owner) is not in Depends: $depends"
    done
done

# lintian: no error, no warning; the override file gives the reason of each
# tag it hides. An info tag fails the test too, so that a new one is looked at.
lintian --pedantic --info --fail-on none "$runtime" "$dev" \
    >"$scratch/lintian.txt" 2>&1 || { cat "$scratch/lintian.txt" >&2; fail "lintian did not run"; }
if grep -E "^[EWIP]: " "$scratch/lintian.txt"; then
    fail "lintian --pedantic has tags for the packages"
fi

# Hardening of the shipped programs. Control-flow protection is not asked:
# Debian 12's C start files carry no IBT/SHSTK note, so no program linked
# there has it (dpkg's own neither); the build asks for it all the same.
if ! hardening-check --nocfprotection "$scratch"/content/usr/bin/zn417-host \
        "$scratch"/content/usr/lib/zn417/zn417_button.so \
        "$scratch"/content/usr/lib/zn417/libzn_platform.so.0 >"$scratch/hardening.txt"; then
    cat "$scratch/hardening.txt" >&2
    fail "hardening-check"
fi

# Install, upgrade, remove and purge in a private root. dpkg runs the
# maintainer scripts outside the root with DPKG_ROOT set (a root without a
# shell of its own); there they touch nothing outside it.
root="$(realpath "$scratch")/root"  # dpkg runs the scripts by absolute path
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() {
    "${as_root[@]}" dpkg --root="$root" --log=/dev/null --force-script-chrootless \
        --force-depends --force-unsafe-io "$@" >>"$scratch/dpkg.log" 2>&1 ||
        { cat "$scratch/dpkg.log" >&2; fail "dpkg $*"; }
}
# status <package>: the package's state as dpkg records it, or nothing.
status() {
    dpkg-query --root="$root" -W -f='${db:Status-Abbrev} ${Version}' "$1" 2>/dev/null || true
}
config="$root/etc/zn417/zn417-host.conf"
state="$root/var/lib/zn417"
# The system user's state directory and user, where the package has a
# sysusers.d file and this machine systemd-sysusers.
sysusers=no
if [ -e "$scratch/content/usr/lib/sysusers.d/zn417.conf" ] && command -v systemd-sysusers >/dev/null; then
    sysusers=yes
fi

dpkg_root --install "$first_runtime" "$first_dev"
[ "$(status zn417-host)" = "ii  $(dpkg-deb -f "$first_runtime" Version)" ] ||
    fail "after install: zn417-host is '$(status zn417-host)'"
[ -x "$root/usr/bin/zn417-host" ] && [ -f "$root/usr/include/twain_button_plugin.h" ] ||
    fail "the install lacks the host or the header"
if [ $sysusers = yes ]; then
    grep -q '^zn417:' "$root/etc/passwd" || fail "postinst made no system user zn417"
fi

# An upgrade to the next Debian revision keeps the edited configuration.
make_packages second -D CPACK_DEBIAN_PACKAGE_RELEASE=2
echo "exec = true  # edited" >>"$config"
dpkg_root --install "$runtime" "$dev"
[ "$(status zn417-host)" = "ii  $(dpkg-deb -f "$runtime" Version)" ] ||
    fail "after the upgrade: zn417-host is '$(status zn417-host)'"
grep -q "edited" "$config" || fail "the upgrade overwrote the edited configuration"

# Remove keeps the configuration; purge takes it and the empty state directory.
mkdir -p "$state"
dpkg_root --remove zn417-host-dev zn417-host
[[ $(status zn417-host) == rc* ]] || fail "after remove: zn417-host is '$(status zn417-host)'"
[ ! -e "$root/usr/bin/zn417-host" ] && [ ! -e "$root/usr/lib/zn417" ] &&
    [ ! -e "$root/usr/include/twain_button_plugin.h" ] || fail "remove left programs behind"
[ -f "$config" ] || fail "remove took the configuration"
dpkg_root --purge zn417-host-dev zn417-host
[ -z "$(status zn417-host)" ] || [[ $(status zn417-host) == un* ]] ||
    fail "after purge: zn417-host is '$(status zn417-host)'"
[ ! -e "$root/etc/zn417" ] || fail "purge left $(ls -A "$root/etc/zn417")"
[ ! -e "$state" ] || fail "purge left the empty state directory"
leftover=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o -path ./etc -prune -o -type f -print)
[ -z "$leftover" ] || fail "purge left files: $leftover"

# Purge keeps a state directory that still holds something of the user's.
dpkg_root --install "$first_runtime"
mkdir -p "$state" && echo kept >"$state/kept-event"
dpkg_root --purge zn417-host
[ -f "$state/kept-event" ] || fail "purge removed a state directory that was not empty"

echo "packages $(basename "$first_runtime") and $(basename "$first_dev"): lintian clean, hardened;" \
     "installed, upgraded, removed and purged (system user: $sysusers)"
