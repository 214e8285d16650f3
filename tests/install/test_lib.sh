# SPDX-License-Identifier: MIT
# Shared by the install tests: failing with a message, a scratch directory of
# the test's own under the build tree (not /tmp, which the private-/tmp runs of
# the host replace), removed when the test ends, and quiet steps whose output
# is shown only when they fail.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# make_scratch <parent>: sets $scratch to a fresh directory whose name has a space.
make_scratch() {
    scratch=$(mktemp -d "$1/scratch XXXXXX")
    trap 'rm -rf -- "$scratch"' EXIT
}

# The dynamic section's RUNPATH and RPATH entries of an ELF file, one a line.
elf_search_paths() {
    readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\1 \2/p'
}

# logged <log> <what> <command...>: runs the command into the log; on failure
# shows the log and fails saying what.
logged() {
    local log=$1 what=$2
    shift 2
    "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$what"; }
}
