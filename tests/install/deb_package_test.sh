#!/usr/bin/env bash
# CPack's Debian package holds the same install under /usr (configuration in
# /etc, kept as a conffile), names the packages of every library its programs
# link in Depends, and reloads udev's rules after installing.
# Usage: deb_package_test.sh <build dir>
set -euo pipefail
build=$1
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}

listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in ./usr/bin/zn417-host ./usr/lib/zn417/zn417_button.so ./usr/lib/zn417/libzn_platform.so.0 \
            ./usr/include/twain_button_plugin.h ./usr/lib/udev/rules.d/70-zn417.rules \
            ./usr/lib/systemd/system/zn417-host@.service ./usr/lib/systemd/user/zn417-host@.service \
            ./usr/lib/sysusers.d/zn417.conf ./usr/share/zn417/actions/scan-to-folder \
            ./usr/share/zn417/70-zn417-headless.rules ./usr/share/man/man8/zn417-host.8 \
            ./etc/zn417/zn417-host.conf; do
    grep -qxF -- "$file" <<<"$listing" || fail "the package lacks $file"
done
if grep -E '^\./usr/local/|^\./usr/etc/|CPack|_CPack_Packages' <<<"$listing"; then
    fail "the package holds files outside its layout"
fi

dpkg-deb -x "$deb" "$scratch/root"
for mode in system user; do
    grep -qxF "ExecStart=/usr/bin/zn417-host --wait --exit-on-unplug --device %i" \
        "$scratch/root/usr/lib/systemd/$mode/zn417-host@.service" ||
        fail "the $mode unit does not run /usr/bin/zn417-host"
done

depends=$(dpkg-deb -f "$deb" Depends)
for library in libplist libusb libinih; do
    [[ $depends == *"$library"* ]] || fail "Depends does not name $library: $depends"
done
# Every library the packaged programs need comes from this package or one in Depends.
for elf in "$scratch"/root/usr/bin/zn417-host "$scratch"/root/usr/lib/zn417/*.so*; do
    [ -L "$elf" ] && continue
    for needed in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$scratch/root/usr/lib/zn417/$needed" ] && continue
        path=$(ldconfig -p | awk -v lib="$needed" '$1 == lib && !found { print $NF; found = 1 }')
        [ -n "$path" ] || fail "$needed, needed by $(basename "$elf"), is not on this system"
        # dpkg knows a library by one of its paths: as found, resolved, or before /usr merged.
        real=$(readlink -f "$path")
        owner=$(dpkg -S "$path" "$real" "${real#/usr}" 2>/dev/null | head -n 1 | cut -d: -f1) || true
        [[ -n $owner && $depends == *"$owner"* ]] || fail "$needed ($owner) is not in Depends: $depends"
    done
done

control="$scratch/control"
dpkg-deb -e "$deb" "$control"
grep -qxF /etc/zn417/zn417-host.conf "$control/conffiles" || fail "the configuration is no conffile"
[ -x "$control/postinst" ] && grep -q "udevadm control --reload-rules" "$control/postinst" ||
    fail "postinst does not reload udev's rules"
echo "package $(basename "$deb") is complete"
