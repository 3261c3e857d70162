#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs into fuzz/corpus/<fuzzer>/: the valid
requests of the test suite (every control code once, the streams, blocks and
keys), encoded in each fuzzer's input format (see the fuzzers' sources).
Run from anywhere: python3 fuzz/make_corpus.py"""
import hashlib
import os
import re
import struct

here = os.path.dirname(os.path.abspath(__file__))
header = open(os.path.join(here, "fuzz_host.h")).read()
codes = [c.strip() for c in re.search(r"kPublicCodes = \{(.*?)\};", header, re.S).group(1).split(",") if c.strip()]
code = {name: i for i, name in enumerate(codes)}


def u16(v): return struct.pack("<H", v & 0xFFFF)
def u32(v): return struct.pack("<I", v & 0xFFFFFFFF)


def write(fuzzer, name, data):
    d = os.path.join(here, "corpus", fuzzer)
    os.makedirs(d, exist_ok=True)
    open(os.path.join(d, name), "wb").write(data)


# ---------------------------------------------------------------- fuzz_control
def length(n):
    """The length encoding: 0, 4 and 6 have kinds of their own, else a byte or a 16-bit value."""
    if n == 0: return bytes([0])
    if n == 4: return bytes([4])
    if n == 6: return bytes([5])
    if n < 256: return bytes([3, n])
    return bytes([6]) + u16(n)


def ioctl(name, data=b"", out=0, handle=0):
    return bytes([0, handle, 0, code[name]]) + length(len(data)) + length(out) + data[:64]


START_IN, START_OUT, STOP, MODULE_FAULT, BUS_FAULT, WAIT, BLOCK, READ = 9, 10, 11, 12, 13, 14, 15, 6
def start_in(): return bytes([START_IN, 0, 0])
def start_out(): return bytes([START_OUT, 0, 0])
def stop(): return bytes([STOP, 0])
def wait(ms): return bytes([WAIT, ms - 1])
def block(samples, channels): return bytes([BLOCK, 0, samples, channels, 0])


pattern = bytes((1 + 7 * i) & 0xFF for i in range(64))
valid = [
    ioctl("IOCTL_VELNOR_GET_DRIVER_VERSION", out=6), ioctl("IOCTL_VELNOR_GET_DRV_REV", out=4),
    ioctl("IOCTL_VELNOR_SET_HPF", u32(5)), ioctl("IOCTL_VELNOR_SET_LPF", u32(150)), ioctl("IOCTL_VELNOR_SET_NTCH", u32(60)),
    ioctl("IOCTL_VELNOR_ENABLE_QRSBeep"), ioctl("IOCTL_VELNOR_DISABLE_QRSBeep"),
    ioctl("IOCTL_VELNOR_SET_QRSOutWidth", u32(10)), ioctl("IOCTL_VELNOR_SET_QRSOutDelay", u32(5)),
    ioctl("IOCTL_VELNOR_SET_QRSOutPol", u32(1)), ioctl("IOCTL_VELNOR_SET_PaceThresh", u16(0x123)),
    ioctl("IOCTL_VELNOR_GET_PaceThresh", out=4), ioctl("IOCTL_VELNOR_SETLEAD_AOut", u16(0) + u16(3)),
    ioctl("IOCTL_VELNOR_WRITE_AOut", u16(1) + u16(2000)), ioctl("IOCTL_VELNOR_SET_SAMPLINGFREQ", u32(500)),
    ioctl("IOCTL_VELNOR_SET_PACE_ELECTRODE", u32(1)), ioctl("IOCTL_VELNOR_SET_ELECTRODE_REFERENCE", u32(0xFF)),
    ioctl("IOCTL_VELNOR_SET_PacePatient", u32(0)), ioctl("IOCTL_VELNOR_DISABLE"), ioctl("IOCTL_VELNOR_KEYPAD_FLUSH"),
    ioctl("IOCTL_Velnor_GET_DEVICE_DESCRIPTOR", out=18), ioctl("IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR", out=9),
    ioctl("IOCTL_Velnor_GET_STRING_DESCRIPTOR", bytes([3, 0]) + u16(0x0409), out=64),
    ioctl("IOCTL_Velnor_GET_CURRENT_CONFIG"), ioctl("IOCTL_Velnor_GET_PIPE_INFO", out=512),
    ioctl("IOCTL_Velnor_SETINTERFACE", bytes([0, 0])), ioctl("IOCTL_Velnor_FIRMWARE_DOWNLOAD", pattern),
    ioctl("IOCTL_Velnor_VENDOR_REQUEST", bytes([0xA0]) + u16(0) + u16(0) + u16(8) + bytes([1, 0]), out=8),
    ioctl("IOCTL_VELNOR_FIRMWARE_DOWNLOAD", u16(0x1000), out=100),
    ioctl("IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST", bytes([1, 2, 0, 0, 0xA0, 0]) + u16(0x1000) + u16(0), out=100),
    ioctl("IOCTL_VELNOR_BULK_WRITE", u32(3), out=40), ioctl("IOCTL_VELNOR_BULK_READ", u32(2), out=40),
    ioctl("IOCTL_Velnor_RESETPIPE", u32(2)), ioctl("IOCTL_Velnor_ABORTPIPE", u32(3)), ioctl("IOCTL_Velnor_RESET"),
    ioctl("IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER", out=4), ioctl("IOCTL_VELNOR_GET_LAST_ERROR", out=4),
    ioctl("IOCTL_VELNOR_READ_RINGBUFFER", out=34), ioctl("IOCTL_VELNOR_KEYPAD_GETKEY", u32(4), out=64),
]
for i, seed in enumerate(valid):
    write("fuzz_control", "code-%02d" % i, b"\x00" + seed)
acquisition = (b"\x00" + ioctl("IOCTL_VELNOR_SET_SAMPLINGFREQ", u32(2000)) + start_in() +
               ioctl("IOCTL_VELNOR_ENABLE") + start_out() + wait(20) + block(200, 8) + block(20, 12) +
               ioctl("IOCTL_VELNOR_KEYPAD_GETKEY", u32(4), out=64) + bytes([READ, 0, 3, 16]) + stop())
write("fuzz_control", "acquisition", acquisition)
write("fuzz_control", "acquisition-faults",
      b"\x00" + start_in() + ioctl("IOCTL_VELNOR_ENABLE") + bytes([MODULE_FAULT, 4, 3, 0, MODULE_FAULT, 8, 2, 1,
                                                                   MODULE_FAULT, 12, 2, 2, MODULE_FAULT, 0, 0, 3, 5])
      + wait(30) + block(60, 4) + stop())
write("fuzz_control", "bus-faults",
      b"\x00" + bytes([BUS_FAULT, 0, 0]) + ioctl("IOCTL_Velnor_GET_DEVICE_DESCRIPTOR", out=18) +
      bytes([BUS_FAULT, 3, 0]) + ioctl("IOCTL_VELNOR_BULK_READ", u32(2), out=40) + start_in() +
      bytes([BUS_FAULT, 1, 2, 1, 3, 0]) + wait(20) + stop())
write("fuzz_control", "unplug-streaming", b"\x00" + start_in() + start_out() + wait(10) + bytes([16, 0]) + block(20, 2))
write("fuzz_control", "open-close", b"\x00" + bytes([7, 7, 8, 0]) + ioctl("IOCTL_VELNOR_GET_DRIVER_VERSION", out=6, handle=1) +
      bytes([8, 1, 8, 0]) + ioctl("IOCTL_VELNOR_GET_DRIVER_VERSION", out=6))


# ---------------------------------------------------------------- fuzz_block_reader
def packet(seq, base=0x100, sta1=0, sta2=0):
    w = [0xFFFE] + [0] * 16
    v = base
    for i in (1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14):
        w[i] = v & 0xFFFF
        v += 1
    w[5], w[10], w[15] = sta1, sta2, seq & 0xFFFF
    w[16] = (-sum(w[1:16])) & 0xFFFF
    return struct.pack("<17H", *w)


def store(data):
    out = b""
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out += bytes([0, 1, len(chunk)]) + chunk
    return out


def read_block(samples, channels): return bytes([3, 0]) + u16(samples) + bytes([channels]) + u16(0)
def get_keys(wanted): return bytes([5, 1, 4, 1, wanted, 1])
def settings(freq_index, reference, threshold): return bytes([freq_index]) + u16(reference) + u16(threshold)


clean = b"".join(packet(2 * i, 0x1000 + 16 * i) for i in range(40))
head = b"\x00" + b"\x01" + u16(0) + settings(0, 0x3C1FE, 4)
write("fuzz_block_reader", "clean-2000", head + store(clean) + read_block(20, 12) + read_block(20, 8))
write("fuzz_block_reader", "clean-500", b"\x00\x00" + settings(2, 0x1FE, 4) + store(clean) + read_block(10, 8))
write("fuzz_block_reader", "clean-200", b"\x00\x00" + settings(3, 0x6, 4) + store(clean) + read_block(4, 2))
paced = b"".join(packet(2 * i, 0x200, sta1=4 if 3 <= i < 6 else 0, sta2=0x40 if 3 <= i < 6 else 0) for i in range(20))
write("fuzz_block_reader", "pace", head + store(paced) + read_block(20, 12))
keys = b"".join(packet(2 * i, 0x300, sta1=0x8000 if i < 10 else 0) for i in range(20))
write("fuzz_block_reader", "keys", head + store(keys[:340]) + read_block(10, 1) + store(keys[340:]) +
      read_block(10, 1) + get_keys(4) + bytes([6, 16]))
bad = bytearray(clean[:340])
bad[0] = 0
bad[34 * 3 + 4] ^= 1
write("fuzz_block_reader", "bad-sync-checksum", head + store(bytes(bad)) + read_block(10, 3))
write("fuzz_block_reader", "lost", head + store(b"".join(packet(s) for s in (0, 2, 4, 10, 12, 14, 40, 42))) +
      read_block(8, 1))


# ---------------------------------------------------------------- fuzz_configuration
def endpoint(address, attributes, max_packet, interval): return bytes([7, 5, address, attributes]) + u16(max_packet) + bytes([interval])


def configuration(body, interfaces=1, total=None):
    return bytes([9, 2]) + u16(total if total is not None else 9 + len(body)) + bytes([interfaces, 1, 0, 0x80, 100]) + body


module_setting0 = bytes([9, 4, 0, 0, 5, 0xFF, 0, 0, 4]) + endpoint(0x81, 1, 108, 1) + endpoint(0x02, 1, 16, 1) + \
    endpoint(0x83, 2, 64, 0) + endpoint(0x04, 2, 64, 0) + endpoint(0x85, 3, 8, 10)
module_setting1 = bytes([9, 4, 0, 1, 8, 0xFF, 0, 0, 5]) + endpoint(0x81, 1, 256, 1) + endpoint(0x02, 1, 64, 1) + \
    endpoint(0x83, 2, 64, 0) + endpoint(0x04, 2, 64, 0) + endpoint(0x85, 3, 8, 10) + endpoint(0x86, 1, 108, 1) + \
    endpoint(0x07, 1, 16, 1) + endpoint(0x88, 2, 64, 0)
tail = bytes([1, 0x00, 0x10, 0, 1, 0, 5, 0])  # pipe room, descriptor room, interface 0 setting 1, pipe 0
variants = {
    "module": configuration(module_setting0 + module_setting1),
    "zero-endpoints": configuration(bytes([9, 4, 0, 0, 0, 0xFF, 0, 0, 0])),
    "thirty-endpoints": configuration(bytes([9, 4, 0, 0, 30, 0xFF, 0, 0, 0]) +
                                      b"".join(endpoint(0x81 + i if i % 2 else 0x01 + i, 1 + i % 3, 64, 1) for i in range(30))),
    "truncated-interface": configuration(module_setting0)[:9 + 5],
    "total-too-long": configuration(module_setting0, total=400),
    "total-too-short": configuration(module_setting0, total=12),
    "endpoints-overstated": configuration(bytes([9, 4, 0, 0, 9, 0xFF, 0, 0, 0]) + endpoint(0x81, 1, 108, 1)),
    "zero-length-descriptor": configuration(bytes([9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 0, 5]) + endpoint(0x81, 1, 108, 1)),
    "two-interfaces": configuration(module_setting0 + bytes([9, 4, 1, 0, 1, 0xFF, 0, 0, 0]) + endpoint(0x86, 1, 108, 1),
                                    interfaces=2),
}
for name, config in variants.items():
    write("fuzz_configuration", name, b"\x00" + bytes([6]) + config + tail)
write("fuzz_configuration", "device-descriptor", b"\x00" + bytes([7]) +
      bytes([18, 1, 0x10, 1, 0, 0, 0, 8, 0x09, 0x12, 0x1A, 0x7E, 0, 1, 1, 2, 3, 1]) + variants["module"] + tail)
