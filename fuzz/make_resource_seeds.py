#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Writes the seed inputs of resource_fuzz into fuzz/corpus/resource/: a type
# and an id (16 bits each, little-endian), then a small resource file whose
# table offset is stored at the position named by the type.
import os
import struct

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "resource")


def resource_file(position, rows, blocks):
    """rows: (type, id, block index or a raw negative offset)."""
    body = bytearray(16)
    offsets = []
    for data in blocks:
        offsets.append(len(body))
        body += struct.pack("<i", len(data)) + data
    table = len(body)
    body += struct.pack("<i", len(rows))
    for type_, id_, block in rows:
        offset = offsets[block] if block >= 0 else block
        body += struct.pack("<iii", type_, id_, offset)
    body[position:position + 4] = struct.pack("<i", table)
    return bytes(body)


def seed(name, type_, id_, body):
    with open(os.path.join(out, name), "wb") as f:
        f.write(struct.pack("<HH", type_, id_) + body)


os.makedirs(out, exist_ok=True)
seed("single", 4, 1, resource_file(4, [(4, 1, 0)], [b"alpha"]))
seed("duplicates", 4, 2,
     resource_file(4, [(4, 1, 0), (4, 2, 1), (4, 2, 0)], [b"first", b"second"]))
seed("empty_block", 8, 1, resource_file(8, [(8, 1, 0)], [b""]))
seed("negative_offset", 4, 3, resource_file(4, [(4, 3, -4), (4, 3, 0)], [b"x"]))
seed("table_at_start", 0, 5,
     resource_file(0, [(0, 5, 0), (0, 6, 1)], [b"zero", b"one two three"]))
