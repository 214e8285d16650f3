#!/usr/bin/env bash
# The udev rule (and the package's post-install trigger) match the vendor and
# product IDs the build was configured with, in udev's four-digit lowercase
# form; IDs that are no USB IDs stop the configure.
# Usage: udev_rule_test.sh <build dir> <source dir>
set -euo pipefail
build=$1 source=$2
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# expect_ids <packaging build dir> <vendor> <product>
expect_ids() {
    local rule
    rule=$(grep -v '^#' "$1/70-zn417.rules")
    [[ $rule == *"ATTR{idVendor}==\"$2\""* && $rule == *"ATTR{idProduct}==\"$3\""* ]] ||
        fail "rule in $1 does not match $2:$3: $rule"
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

# Other IDs, hexadecimal and decimal, reach the rule.
configure_packaging other 0x1D6B 42 || { cat "$scratch/other.log" >&2; fail "configure with other IDs"; }
expect_ids "$scratch/other/packaging" 1d6b 002a

for bad in 0x10000 0xZZ -1 ""; do
    if configure_packaging bad "$bad" 0x0417; then
        fail "ZN_VENDOR_ID='$bad' was accepted"
    fi
    grep -q "ZN_VENDOR_ID" "$scratch/bad.log" || fail "no message naming ZN_VENDOR_ID for '$bad'"
    rm -rf "$scratch/bad"
done
echo "the udev rule carries the configured IDs"
