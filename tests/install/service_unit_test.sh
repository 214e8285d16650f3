#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed template units pass `systemd-analyze verify` (the user unit
# with --user), as templates and as the instance udev starts for a port
# (zn417-host@1-4.2.service), with ExecStart naming the installed host under a
# prefix with a space; the system unit, which runs actions for headless
# machines, keeps its exposure score at 2.5 or below.
# Exits 77 (skipped) where systemd-analyze is absent.
# Usage: service_unit_test.sh <build dir>
set -euo pipefail
build=$1
. "$(dirname "$0")/test_lib.sh"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found"; exit 77; }
make_scratch "$build/tests/install"

prefix="$scratch/zn 417"
logged "$scratch/install.log" "cmake --install" cmake --install "$build" --prefix "$prefix"
exec_start="ExecStart=\"$prefix/bin/zn417-host\" --wait --exit-on-unplug --device %i"
# A user manager of our own needs a runtime directory.
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

for mode in system user; do
    unit_dir="$prefix/lib/systemd/$mode"
    grep -qxF "$exec_start" "$unit_dir/zn417-host@.service" ||
        fail "$mode unit: ExecStart does not run the installed host: $(grep ExecStart "$unit_dir/zn417-host@.service")"
    # verify reports parse errors without failing, so any message is a failure.
    for unit in "zn417-host@.service" "zn417-host@1-4.2.service"; do
        if ! report=$(systemd-analyze verify "--$mode" --man=no "$unit_dir/$unit" 2>&1) ||
            [ -n "$report" ]; then
            fail "systemd-analyze verify --$mode $unit: $report"
        fi
    done
done

# --offline exists since systemd 250.
unit="$prefix/lib/systemd/system/zn417-host@.service"
if report=$(systemd-analyze security --offline=true "$unit" 2>&1); then
    score=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$report")
    [ -n "$score" ] || fail "no exposure score: $report"
    awk -v score="$score" 'BEGIN { exit !(score <= 2.5) }' ||
        fail "the system unit's exposure score is $score, above 2.5: $report"
    echo "the system unit's exposure score is $score"
elif [[ $report == *"unrecognized option"* ]]; then
    echo "systemd-analyze security --offline unavailable: exposure not checked"
else
    fail "systemd-analyze security: $report"
fi
echo "the units verify"
