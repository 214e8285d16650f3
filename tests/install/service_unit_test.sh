#!/usr/bin/env bash
# The installed template unit passes `systemd-analyze verify`, as a template
# and as the instance udev starts for a port (zn417-host@1-4.2.service), with
# its ExecStart naming the installed host under a prefix with a space.
# Exits 77 (skipped) where systemd-analyze is absent.
# Usage: service_unit_test.sh <build dir>
set -euo pipefail
build=$1
. "$(dirname "$0")/test_lib.sh"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found"; exit 77; }
make_scratch "$build/tests/install"

prefix="$scratch/zn 417"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }
unit_dir="$prefix/lib/systemd/system"
grep -qF "ExecStart=\"$prefix/bin/zn417-host\" --wait --device %i" "$unit_dir/zn417-host@.service" ||
    fail "ExecStart does not run the installed host: $(grep ExecStart "$unit_dir/zn417-host@.service")"

# verify reports parse errors without failing, so any message is a failure.
for unit in "zn417-host@.service" "zn417-host@1-4.2.service"; do
    if ! report=$(systemd-analyze verify --man=no "$unit_dir/$unit" 2>&1) || [ -n "$report" ]; then
        fail "systemd-analyze verify $unit: $report"
    fi
done
echo "the unit verifies"
