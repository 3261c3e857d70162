#!/usr/bin/env python3
"""Writes N acquisition packets (34 bytes: 17 words, most significant byte
first; SYNC 0xFFFE, words 1..16 summing to 0) for velnor-replay or the
simulated bus: a slow ramp on each channel, sequence word two apart per packet as the module numbers them.
With "keys", key 1 is held from packet 300 to 1099 and key 3 from 1500 to 1559 (STA1 bits 15 and 13).
   make-packets.py OUT N [keys]"""
import struct
import sys

out, n = sys.argv[1], int(sys.argv[2])
keys = sys.argv[3:] == ["keys"]
with open(out, "wb") as f:
    for k in range(n):
        w = [0xFFFE] + [(0x4000 + 37 * c + (k * (c + 1)) % 997) & 0xFFFF for c in range(14)] + [(2 * k) & 0xFFFF]
        w[5] = 0      # STA1: no lead off
        if keys and 300 <= k < 1100:
            w[5] |= 0x8000
        if keys and 1500 <= k < 1560:
            w[5] |= 0x2000
        w[10] = 0     # STA2: no pace, no keys
        w.append((-sum(w[1:16])) & 0xFFFF)
        f.write(struct.pack(">17H", *w))
