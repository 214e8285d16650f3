#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A press on the simulated bus runs the installed scan-to-folder action through
# the installed sample configuration, as an unprivileged user in a private
# HOME and /tmp, with stub scanimage and notify-send on PATH. The stub lists
# two SANE devices and checks it was asked for ours (libusb:BBB:DDD of the
# pressed scanner, as --list prints them) while the host had released the
# scanner; the PNG lands in HOME/Pictures/Scans and one notification is sent.
# A missing scanimage, no SANE device, an unwritable folder or a full disk
# fail with one line, no partial file, and the press's event file kept.
# Where sane-utils is installed, SANE's test backend scans too.
# Usage: scan_action_test.sh <build dir> <private-tmp runner>
set -euo pipefail

# Inside the private /tmp, as root: prepares the case's folder, runs the host
# as nobody until its action has ended, then lists the event files left.
# Usage: scan_action_test.sh --inside <case dir> <host> <config> <folder setup>
if [ "${1:-}" = --inside ]; then
    dir=$2 host=$3 config=$4 folder=$5
    scans="$dir/home/Pictures/Scans"
    case $folder in
        unwritable) mkdir -p "$scans" && chmod 0755 "$scans" ;;  # root's
        full) mkdir -p "$scans" && mount -t tmpfs -o size=4k,mode=0777 zn417-test-full "$scans" ;;
    esac
    log="$dir/host.log"
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" PATH="$dir/bin" \
        ZN417_SIMULATE=press STUB_RECORD="$dir/record" STUB_HOST_LOG="$log" \
        ${SCAN_DEVICE:+SCAN_DEVICE="$SCAN_DEVICE"} ${SANE_CONFIG_DIR:+SANE_CONFIG_DIR="$SANE_CONFIG_DIR"} \
        "$host" --simulate --verbose --config "$config" >"$dir/host.out" 2>"$log" &
    pid=$!
    # The host logs each action's end (inotify behind tail -f, no polling).
    grep -m1 -qE 'action for .* (finished|exited|ended)' \
        <(timeout 30 tail -n +1 -f "$log" 2>/dev/null) || echo "no action ended" >>"$log"
    kill -TERM "$pid"
    wait "$pid" || echo "host exited $?" >>"$log"
    find /tmp -maxdepth 1 -name 'TRNV.*.plist' >"$dir/event-files"
    find "$scans" -type f >"$dir/scans" 2>/dev/null || true  # the full disk's too
    exit 0
fi

build=$1 private_tmp=$2
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"
chmod 0755 "$scratch"
prefix="$scratch/prefix"
logged "$scratch/install.log" "cmake --install" cmake --install "$build" --prefix "$prefix"
host="$prefix/bin/zn417-host"
config="$prefix/etc/zn417/zn417-host.conf"

# Our scanner's SANE suffix, from the bus and device number --list prints.
ours=$(ZN417_SIMULATE=idle "$private_tmp" "$host" --simulate --list |
    sed -n 's/.* bus \([0-9]\{3\}\) device \([0-9]\{3\}\) .*/libusb:\1:\2/p')
[ -n "$ours" ] || fail "--list shows no bus and device number"

# A small PNG, and one too big for the full disk's 4 KiB.
python3 - "$scratch" <<'EOF'
import os, struct, sys, zlib
def png(path, side):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + os.urandom(side * 3) for _ in range(side))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
png(sys.argv[1] + "/small.png", 2)
png(sys.argv[1] + "/big.png", 64)
EOF

# make_case <name> <scanimage: stub|none|real> <devices -L lists> <png>: a
# case directory with HOME, XDG_RUNTIME_DIR and the tools on PATH.
make_case() {
    local dir="$scratch/$1" tool
    mkdir -p "$dir/home" "$dir/run" "$dir/record" "$dir/bin"
    for tool in sh date sed grep head tail mkdir mv rm cat env; do
        ln -s "$(command -v "$tool")" "$dir/bin/$tool"
    done
    cat >"$dir/bin/notify-send" <<'EOF'
#!/bin/sh
echo "$*" >>"$STUB_RECORD/notify-send"
EOF
    case $2 in
        stub) cat >"$dir/bin/scanimage" <<EOF
#!/bin/sh
if [ "\$1" = -L ]; then
    for name in $3; do echo "device \\\`\$name' is a Stub flatbed scanner"; done
    exit 0
fi
{
    echo "args=\$*"
    echo "env=\$HOME|\$XDG_RUNTIME_DIR|\$ZN417_BUSNUM|\$ZN417_DEVNUM"
    echo "last=\$(grep -E 'watching ' "\$STUB_HOST_LOG" | tail -n 1)"
} >"\$STUB_RECORD/scanimage"
for arg; do
    case \$arg in --output-file=*) exec cat "$scratch/$4" >"\${arg#--output-file=}" ;; esac
done
exit 1
EOF
        ;;
        real) ln -s "$(command -v scanimage)" "$dir/bin/scanimage" ;;
    esac
    chmod -R a+rX "$dir"
    find "$dir/bin" -type f -exec chmod 0755 {} +  # the stubs, not the linked tools
    chown -R nobody:nogroup "$dir"
    chmod 0700 "$dir/run"
}

# run_case <name> <folder setup>
run_case() {
    "$private_tmp" "$0" --inside "$scratch/$1" "$host" "$config" "$2" ||
        fail "$1: the runner failed"
}

other="other:libusb:$(printf '%03d' $((10#${ours:7:3} + 1)))${ours:10}"
cases=(
    # name        scanimage  -L lists                 png        folder      message
    "ok           stub       $other,zn417:$ours       small.png  default     -"
    "no-scanimage none       -                        -          default     scanimage not found"
    "no-device    stub       $other                   small.png  default     no SANE device answers at $ours"
    "unwritable   stub       zn417:$ours              small.png  unwritable  cannot write into"
    "disk-full    stub       zn417:$ours              big.png    full        No space left on device"
)
for entry in "${cases[@]}"; do
    read -r name scanimage listed png folder message <<<"$entry"
    make_case "$name" "$scanimage" "${listed//,/ }" "$png"
    run_case "$name" "$folder"
    dir="$scratch/$name"
    grep -q "no action ended\|host exited" "$dir/host.log" && fail "$name: $(cat "$dir/host.log")"
    scans=$(cat "$dir/scans")
    if [ "$message" = - ]; then
        [[ $scans == "$dir/home/Pictures/Scans/scan-"*.png ]] && cmp -s "$scans" "$scratch/$png" ||
            fail "$name: no scan in HOME/Pictures/Scans: '$scans'"
        [ "$(stat -c %U "$scans")" = nobody ] || fail "$name: the scan is not the user's"
        grep -qx "args=--device-name=zn417:$ours --format=png --output-file=.*" "$dir/record/scanimage" ||
            fail "$name: scanimage was not given our device: $(cat "$dir/record/scanimage")"
        grep -qx "env=$dir/home|$dir/run|$((10#${ours:7:3}))|$((10#${ours:11:3}))" \
            "$dir/record/scanimage" || fail "$name: the action's environment: $(cat "$dir/record/scanimage")"
        grep -q "^last=.*stopped watching .*: released to the action" "$dir/record/scanimage" ||
            fail "$name: the host held the scanner while scanimage ran: $(cat "$dir/record/scanimage")"
        [ "$(wc -l <"$dir/record/notify-send")" -eq 1 ] || fail "$name: not one notification"
        [ ! -s "$dir/event-files" ] || fail "$name: the event file was left: $(cat "$dir/event-files")"
    else
        lines=$(grep -c "^scan-to-folder: " "$dir/host.log" || true)
        [ "$lines" -eq 1 ] && grep -q "^scan-to-folder: .*$message" "$dir/host.log" ||
            fail "$name: not one line saying '$message': $(cat "$dir/host.log")"
        [ -z "$scans" ] || fail "$name: a file was left in the folder: $scans"
        [ ! -e "$dir/record/notify-send" ] || fail "$name: a notification for a failed scan"
        [ "$(wc -l <"$dir/event-files")" -eq 1 ] || fail "$name: the event file was not kept"
    fi
done

# SANE's own test backend, where sane-utils is installed.
if command -v scanimage >/dev/null; then
    mkdir -p "$scratch/sane" && echo test >"$scratch/sane/dll.conf"
    make_case sane-test real - - default
    SCAN_DEVICE=test SANE_CONFIG_DIR="$scratch/sane" run_case sane-test default
    file=$(find "$scratch/sane-test/home/Pictures/Scans" -name 'scan-*.png')
    [ -n "$file" ] && [ "$(head -c 4 "$file" | tail -c 3)" = PNG ] ||
        fail "sane-test: no PNG from SANE's test backend: $(cat "$scratch/sane-test/host.log")"
    echo "SANE's test backend scanned into $file"
else
    echo "scanimage not installed: SANE's test backend not tried"
fi
echo "a press scans into the user's folder; each failure says why and keeps the event file"
