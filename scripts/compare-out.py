#!/usr/bin/env python3
"""Compares the OUT packets a module received in a session's runs with
velnor-replay's `out --runs R` packets for the same input and settings.

   compare-out.py REPLAY.out N TRANSFERS SLOT PACKETS RUN1.out [RUN2.out ...]

REPLAY.out holds 13-byte packets; for each run one call before the input
(N packets), the input's PACKETS/2 packets, one call after it (N packets).
A RUNr.out is what the bus recorded: u16 slot length, slot bytes. A run's
record must be, byte for byte:
  TRANSFERS * N zero packets  the first submission of each OUT transfer;
  the call before, repeated   how often depends on when the input starts;
  the input's packets         all of them, exactly;
  the call after, repeated    until the stop, cut anywhere, at least once;
and every slot is SLOT bytes long with its bytes after the 13th zero.
Only the two repeat counts depend on the scheduling; they are printed."""
import sys

PACKET = 13


def slots(path):
    data = open(path, "rb").read()
    out, at = [], 0
    while at + 2 <= len(data):
        size = data[at] | data[at + 1] << 8
        out.append(data[at + 2:at + 2 + size])
        at += 2 + size
    if at != len(data):
        raise SystemExit(f"{path}: truncated record")
    return out


def check_run(name, record, before, packets, after, n, transfers, slot):
    errors = []
    bad = [i for i, s in enumerate(record) if len(s) != slot or any(s[PACKET:])]
    if bad:
        errors.append(f"{len(bad)} slot(s) not {slot} bytes with zeros after byte {PACKET}, first #{bad[0]}")
    w = [s[:PACKET] for s in record]
    zeros = transfers * n
    if len(w) < zeros or any(any(p) for p in w[:zeros]) or (len(w) > zeros and not any(w[zeros])):
        lead_zeros = next((i for i, p in enumerate(w) if any(p)), len(w))
        errors.append(f"{lead_zeros} leading zero packets, expected {zeros}")
        return errors, None
    rest = w[zeros:]
    # The input starts after a whole number of calls before it.
    start = None
    for j in range(0, len(rest) - len(packets) + 1, n):
        if rest[j:j + len(packets)] == packets and all(rest[i] == before[i % n] for i in range(j)):
            start = j
            break
    if start is None:
        match = 0
        for j in range(0, len(rest), n):
            k = 0
            while j + k < len(rest) and k < len(packets) and rest[j + k] == packets[k]:
                k += 1
            match = max(match, k)
        errors.append(f"the input's {len(packets)} packets are not in the record whole (longest match {match})")
        return errors, None
    tail = rest[start + len(packets):]
    wrong = [i for i, p in enumerate(tail) if p != after[i % n]]
    if wrong:
        errors.append(f"packet {wrong[0]} after the input differs from the call after it")
    if len(tail) < n:
        errors.append(f"only {len(tail)} packets after the input, expected at least {n}")
    return errors, (start, len(packets), len(tail))


def main():
    if len(sys.argv) < 7:
        raise SystemExit(__doc__)
    replay = open(sys.argv[1], "rb").read()
    n, transfers, slot, count = (int(a) for a in sys.argv[2:6])
    runs = sys.argv[6:]
    ref = [replay[i:i + PACKET] for i in range(0, len(replay), PACKET)]
    per_run = 2 * n + count // 2
    if len(ref) != per_run * len(runs):
        raise SystemExit(f"{sys.argv[1]}: {len(ref)} packets, expected {per_run * len(runs)}")
    failed = False
    for r, path in enumerate(runs):
        base = r * per_run
        before, packets = ref[base:base + n], ref[base + n:base + n + count // 2]
        after = ref[base + n + count // 2:base + per_run]
        errors, counts = check_run(path, slots(path), before, packets, after, n, transfers, slot)
        for e in errors:
            print(f"compare-out: {path}: {e}")
        if errors:
            failed = True
            continue
        trig = sum(1 for p in packets if p[8])
        beep = sum(1 for p in packets if p[9])
        if not trig or not beep:
            print(f"compare-out: {path}: no TRIG or no BEEP in the input's packets: nothing compared there")
            failed = True
        print(f"compare-out: run {r + 1}: {transfers * n} zero packets, {counts[0]} before the input, "
              f"{counts[1]} from it ({trig} with TRIG, {beep} with BEEP), {counts[2]} after it: equal")
    sys.exit(1 if failed else 0)


main()
