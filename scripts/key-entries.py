#!/usr/bin/env python3
"""Keeps the entries of a keys file (per block: u32 count, u32 entries) that
name a key (codes 7, 11, 15), as an application through the SDK sees them.
   key-entries.py IN OUT"""
import struct
import sys

data = open(sys.argv[1], "rb").read()
out, at = bytearray(), 0
while at < len(data):
    (count,) = struct.unpack_from("<I", data, at)
    entries = struct.unpack_from(f"<{count}I", data, at + 4)
    at += 4 + 4 * count
    keep = [e for e in entries if e & 0xFF in (7, 11, 15)]
    out += struct.pack(f"<I{len(keep)}I", len(keep), *keep)
open(sys.argv[2], "wb").write(out)
