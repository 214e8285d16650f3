#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The udev rules (and the package's post-install trigger) match the vendor and
# product IDs the build was configured with, in udev's four-digit lowercase
# form; IDs that are no USB IDs stop the configure. The desktop rule gives the
# seat's user the node and starts the user unit in the user managers; the
# headless one gives group scanner the node and starts the system unit.
# Usage: udev_rule_test.sh <build dir> <source dir>
set -euo pipefail
build=$1 source=$2
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# expect_ids <packaging build dir> <vendor> <product>
expect_ids() {
    local rule name
    for name in 70-zn417.rules 70-zn417-headless.rules; do
        rule=$(grep -v '^#' "$1/$name")
        [[ $rule == *"ATTR{idVendor}==\"$2\""* && $rule == *"ATTR{idProduct}==\"$3\""* ]] ||
            fail "$name in $1 does not match $2:$3: $rule"
    done
    grep -q -- "--attr-match=idVendor=$2 --attr-match=idProduct=$3" "$1/postinst" ||
        fail "postinst in $1 does not trigger $2:$3"
}

configure_packaging() {
    cmake -S "$(dirname "$0")/udev_ids" -B "$scratch/$1" -DZN_SOURCE_DIR="$source" \
        -DZN_VENDOR_ID="$2" -DZN_PRODUCT_ID="$3" >"$scratch/$1.log" 2>&1
}

# This build's IDs, whatever form they were given in.
expect_ids "$build/packaging" "$(printf '%04x' "$(($(cache_value ZN_VENDOR_ID)))")" \
    "$(printf '%04x' "$(($(cache_value ZN_PRODUCT_ID)))")"

# Each mode's access and start, and never the other mode's.
# expect_rule <name> <wanted>... -- <unwanted>...
expect_rule() {
    local rule name=$1
    rule=$(grep -v '^#' "$build/packaging/$name")
    shift
    while [ "$1" != -- ]; do
        [[ $rule == *"$1"* ]] || fail "$name lacks $1: $rule"
        shift
    done
    shift
    for unwanted; do
        [[ $rule != *"$unwanted"* ]] || fail "$name has $unwanted: $rule"
    done
}
expect_rule 70-zn417.rules 'TAG+="uaccess"' 'TAG+="systemd"' \
    'ENV{SYSTEMD_USER_WANTS}+="zn417-host@%k.service"' -- 'ENV{SYSTEMD_WANTS}' 'GROUP='
expect_rule 70-zn417-headless.rules 'GROUP="scanner"' 'MODE="0660"' 'TAG+="systemd"' \
    'ENV{SYSTEMD_WANTS}+="zn417-host@%k.service"' -- 'SYSTEMD_USER_WANTS' 'uaccess'
grep -qx "m zn417 scanner" "$source/packaging/zn417.sysusers" ||
    fail "the system user zn417 is not in group scanner"

# Other IDs, hexadecimal and decimal, reach the rules.
configure_packaging other 0x1D6B 42 || { cat "$scratch/other.log" >&2; fail "configure with other IDs"; }
expect_ids "$scratch/other/packaging" 1d6b 002a

for bad in 0x10000 0xZZ -1 ""; do
    if configure_packaging bad "$bad" 0x0417; then
        fail "ZN_VENDOR_ID='$bad' was accepted"
    fi
    grep -q "ZN_VENDOR_ID" "$scratch/bad.log" || fail "no message naming ZN_VENDOR_ID for '$bad'"
    rm -rf "$scratch/bad"
done
echo "the udev rules carry the configured IDs and start their mode's unit"
