#!/usr/bin/env python3
"""Writes N acquisition packets (34 bytes: 17 words, most significant byte
first; SYNC 0xFFFE, words 1..16 summing to 0) for velnor-replay or the
simulated bus: a slow ramp on each channel, sequence word two apart per packet as the module numbers them.
   make-packets.py OUT N"""
import struct
import sys

out, n = sys.argv[1], int(sys.argv[2])
with open(out, "wb") as f:
    for k in range(n):
        w = [0xFFFE] + [(0x4000 + 37 * c + (k * (c + 1)) % 997) & 0xFFFF for c in range(14)] + [(2 * k) & 0xFFFF]
        w[5] = 0      # STA1: no lead off
        w[10] = 0     # STA2: no pace, no keys
        w.append((-sum(w[1:16])) & 0xFFFF)
        f.write(struct.pack(">17H", *w))
