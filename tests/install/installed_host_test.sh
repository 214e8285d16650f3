#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `cmake --install` into a staging root under a prefix with a space, over an
# older install: the installed host and plug-in run from there, and nothing
# they load comes from the build tree.
# Usage: installed_host_test.sh <build dir> <private-tmp runner> <version>
set -euo pipefail
build=$1 private_tmp=$2 version=$3
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"

stage="$scratch/stage root"
prefix="/opt/zn 417"
root="$stage$prefix"
install_tree() {
    DESTDIR="$stage" logged "$scratch/install.log" "cmake --install" \
        cmake --install "$build" --prefix "$prefix"
}

# An older install: a broken host, a stale platform library and its soname
# link pointing at a version that is gone, and an edited configuration.
install_tree
printf '#!/bin/sh\nexit 9\n' >"$root/bin/zn417-host"
echo "stale" >"$root/lib/zn417/libzn_platform.so.0.1"
ln -sf libzn_platform.so.0.0 "$root/lib/zn417/libzn_platform.so.0"
echo "# edited by its owner" >>"$root/etc/zn417/zn417-host.conf"
install_tree

for file in bin/zn417-host lib/zn417/zn417_button.so lib/zn417/libzn_platform.so.0 \
            include/twain_button_plugin.h lib/udev/rules.d/70-zn417.rules \
            "lib/systemd/system/zn417-host@.service" "lib/systemd/user/zn417-host@.service" \
            lib/sysusers.d/zn417.conf share/zn417/70-zn417-headless.rules \
            etc/zn417/zn417-host.conf; do
    [ -e "$root/$file" ] || fail "not installed: $file"
done
action="$prefix/share/zn417/actions/scan-to-folder"
[ -x "$stage$action" ] || fail "the scan-to-folder action is not installed executable"
[ "$(readlink "$root/lib/zn417/libzn_platform.so.0")" = "libzn_platform.so.0.1" ] ||
    fail "the soname link does not name the installed library"
[[ "$(readelf -d "$root/lib/zn417/libzn_platform.so.0.1")" == *"soname: [libzn_platform.so.0]"* ]] ||
    fail "the platform library has no versioned soname"
grep -q "edited" "$root/etc/zn417/zn417-host.conf" || fail "the edited configuration was overwritten"
# The sample names the installed action (a single-quoted shell word: the
# prefix has a space).
sed "s|@ZN_SCAN_ACTION@|'$action'|" "$(dirname "$0")/../../packaging/zn417-host.conf" |
    cmp -s "$root/etc/zn417/zn417-host.conf.dist" - ||
    fail "the new sample configuration is not beside the edited one"
grep -qxF "exec = '$action'" "$root/etc/zn417/zn417-host.conf.dist" ||
    fail "the sample does not run the installed scan-to-folder action"

# Search paths relative to the installed files only (none for the library).
while read -r file expected; do
    [ "$(elf_search_paths "$root/$file")" = "$expected" ] ||
        fail "$file search path: $(elf_search_paths "$root/$file")"
done <<'EOF'
bin/zn417-host RUNPATH $ORIGIN/../lib/zn417
lib/zn417/zn417_button.so RUNPATH $ORIGIN
lib/zn417/libzn_platform.so.0.1
EOF
if grep -rlF "$build" "$root/lib/udev" "$root/lib/systemd" "$root/etc" "$root/include"; then
    fail "installed files name the build tree"
fi

# Every library resolves into the staging root or the system's directories.
for elf in "$root/bin/zn417-host" "$root/lib/zn417/zn417_button.so"; do
    ldd "$elf" | sed -n 's/.*=> \(.*\) (0x[0-9a-f]*)$/\1/p' | while read -r lib; do
        case $lib in
            "$root"/*|/lib/*|/lib64/*|/usr/lib/*|/usr/lib64/*) ;;
            *) fail "$(basename "$elf") resolves a library outside the installed tree: $lib" ;;
        esac
    done
done

host="$root/bin/zn417-host"
help=$("$host" --help) || fail "--help exited $?"
[[ $help == *--simulate* ]] || fail "--help does not show --simulate"
printed=$("$host" --version) || fail "--version exited $?"
[ "$printed" = "zn417-host $version" ] || fail "--version printed '$printed'"

# Every example of the installed sample is a valid setting; device and
# location are alternatives, and the plug-in example names no real file.
sample="$root/etc/zn417/zn417-host.conf.dist"
for other in location device; do
    config=without-$other
    sed -E "s/^#([a-z_.0-9]+ = )/\\1/; /^($other|plugin) = /d" "$sample" >"$scratch/$config.conf"
    grep -q "^exec = " "$scratch/$config.conf" || fail "no example uncommented in $config.conf"
    "$private_tmp" "$host" --simulate --list --config "$scratch/$config.conf" >/dev/null \
        2>"$scratch/config.err" || fail "the sample's examples ($config): $(cat "$scratch/config.err")"
done

# The simulated demo, in a private /tmp, with the plug-in the host finds by
# itself; the loader's trail shows each file it opened.
status=0
LD_DEBUG=libs "$private_tmp" "$host" --simulate \
    >"$scratch/demo.out" 2>"$scratch/demo.err" || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/demo.out" "$scratch/demo.err" >&2; fail "--simulate exited $status"; }
grep -q "zn417_button.so" "$scratch/demo.err" || fail "no loader trail of the plug-in"
grep -q "EventData" "$scratch/demo.out" || { cat "$scratch/demo.out" >&2; fail "the demo reported no event"; }
# Paths may hold spaces: "trying file=P", "calling init: P", "file=P [0];  ...".
sed -n -E -e 's/.*trying file=(.*)$/\1/p;t' -e 's/.*calling init: (.*)$/\1/p;t' \
    -e 's/.*[[:space:]]file=(.*) \[[0-9]+\];.*/\1/p' "$scratch/demo.err" |
    while read -r loaded; do
        case $loaded in
            "$root"/*) ;;
            "$build"/*) fail "loaded from the build tree: $loaded" ;;
        esac
    done
echo "installed host, plug-in and platform library run from $root"
