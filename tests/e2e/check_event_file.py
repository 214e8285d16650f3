#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Reads a push-scan event file with Python's own property-list reader and
checks its keys, value types, values and file mode.

usage: check_event_file.py PATH PORT EVENT_DATA_HEX [DEVICE_NAME]
DEVICE_NAME defaults to ZN417.
Exit status 0 when everything matches; 1 with one line per mismatch."""
import os
import plistlib
import stat
import sys


def main():
    path, port, event_hex = sys.argv[1], sys.argv[2], sys.argv[3]
    device_name = sys.argv[4] if len(sys.argv) > 4 else "ZN417"
    problems = []
    with open(path, "rb") as handle:
        raw = handle.read()
    try:
        root = plistlib.loads(raw, fmt=plistlib.FMT_XML)
    except Exception as error:  # any reader error is a failed check
        print(f"not an XML property list: {error}")
        return 1
    expected = {
        "FileID": "KorvelTX_PushScan",
        "Version": "1.0.0",
        "Connection": "USB",
        "DeviceName": device_name,
        "PortName": port,
        "EventData": bytes.fromhex(event_hex),
    }
    if not isinstance(root, dict):
        problems.append(f"root is {type(root).__name__}, not a dictionary")
        root = {}
    if sorted(root) != sorted(expected):
        problems.append(f"keys {sorted(root)}")
    for key, value in expected.items():
        got = root.get(key)
        if type(got) is not type(value):
            problems.append(f"{key} is {type(got).__name__}, not {type(value).__name__}")
        elif got != value:
            problems.append(f"{key} is {got!r}, not {value!r}")
    mode = stat.S_IMODE(os.lstat(path).st_mode)
    if mode != 0o666:
        problems.append(f"mode {mode:o}, not 666")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
