#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A plain configure, as a distribution runs it, is a Release build whose
# warnings are not errors; ZN_WERROR=ON, as the presets set it, makes them
# errors. Configures only (no build) without tests, from the source tree.
# Usage: plain_build_test.sh <build dir> <source dir>
set -euo pipefail
build=$1 source=$2
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"

# configure <dir> [cmake options...]: prints the compile command of the host's main.
configure() {
    local dir="$scratch/$1"
    shift
    logged "$dir.log" "configure $*" cmake -S "$source" -B "$dir" -G Ninja -DZN_BUILD_TESTS=OFF "$@"
    sed -n 's/^ *"command": "\(.*tools\/host\/main\.cpp.*\)",$/\1/p' "$dir/compile_commands.json"
}

plain=$(configure plain)
[ -n "$plain" ] || fail "no compile command for the host in the plain build"
grep -qx "CMAKE_BUILD_TYPE:STRING=Release" "$scratch/plain/CMakeCache.txt" ||
    fail "the plain build is no Release build: $(grep CMAKE_BUILD_TYPE: "$scratch/plain/CMakeCache.txt")"
[[ $plain == *" -O3 "* && $plain == *" -Wall "* && $plain != *"-Werror"* ]] ||
    fail "plain build flags: $plain"

strict=$(configure strict -DZN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug)
[[ $strict == *" -Werror"* && $strict != *" -O3 "* ]] || fail "ZN_WERROR=ON Debug build flags: $strict"
echo "plain: Release without -Werror; ZN_WERROR=ON: -Werror"
