#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The package's maintainer scripts where systemd runs: removal stops the
# running hosts (system and user instances), an upgrade restarts them, a fresh
# install starts none; into another root (DPKG_ROOT) they touch nothing.
# systemctl, deb-systemd-invoke and udevadm are stand-ins that note their
# calls; a private mount namespace gives the scripts a /run where systemd and
# udev seem to run.
# Usage: maintainer_scripts_test.sh <build dir> <source dir>
set -euo pipefail
if [ "${ZN417_SCRIPTS_TEST_STAGE:-}" != inside ]; then
    export ZN417_SCRIPTS_TEST_STAGE=inside
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --mount --propagation private "$0" "$@"
    fi
    exec unshare --user --map-root-user --mount --propagation private "$0" "$@"
fi
build=$1 source=$2
. "$(dirname "$0")/test_lib.sh"
make_scratch "$build/tests/install"

mount -t tmpfs zn417-test-run /run
mkdir -p /run/systemd/system /run/udev
stubs="$scratch/stubs" calls="$scratch/calls"
mkdir "$stubs"
for tool in systemctl deb-systemd-invoke udevadm systemd-sysusers; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$calls" >"$stubs/$tool"
    chmod +x "$stubs/$tool"
done

# case <dpkg root> <script> <arguments> <expected service calls, ;-separated>
run_case() {
    local dpkg_root=$1 script=$2 arguments=$3 expected=$4
    local path="$source/packaging/$script"
    [ "$script" = postinst ] && path="$build/packaging/postinst"
    : >"$calls"
    # shellcheck disable=SC2086 # the arguments are words
    DPKG_ROOT=$dpkg_root PATH="$stubs:$PATH" sh -e "$path" $arguments ||
        fail "$script $arguments exited $?"
    # Services only: daemon-reload and udev's reload are harmless either way.
    local got
    got=$(grep -E '^(deb-systemd-invoke|systemctl) ' "$calls" | grep -v daemon-reload | paste -sd ';' || true)
    [ "$got" = "$expected" ] ||
        fail "${dpkg_root:+DPKG_ROOT=$dpkg_root }$script $arguments: '$got', not '$expected'"
    if [ -n "$dpkg_root" ] && grep -Ev '^systemd-sysusers --root=' "$calls"; then
        fail "$script $arguments touched the running system for DPKG_ROOT=$dpkg_root"
    fi
}

stop="deb-systemd-invoke stop zn417-host@*.service;deb-systemd-invoke --user stop zn417-host@*.service"
for dpkg_root in "" "$scratch/root"; do
    live() { [ -z "$dpkg_root" ] && echo "$1" || true; }
    run_case "$dpkg_root" prerm "remove" "$(live "$stop")"
    run_case "$dpkg_root" prerm "upgrade 0.1-2" ""
    run_case "$dpkg_root" postinst "configure" ""
    run_case "$dpkg_root" postinst "configure 0.1-1" "$(live "deb-systemd-invoke try-restart zn417-host@*.service")"
    run_case "$dpkg_root" postrm "remove" ""
    run_case "$dpkg_root" postrm "upgrade 0.1-2" ""
done
echo "maintainer scripts: remove stops, upgrade restarts, nothing outside DPKG_ROOT"
