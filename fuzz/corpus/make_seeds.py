#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets, one small file per case, next to this script.

Each seed follows the input layout its target reads (see the comment at the top of every
fuzz_*.cpp), so the fuzzer starts from well-formed answers instead of finding them itself.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def make_id(type_code, serial, suffix=0, cls=2):
    return (cls << 28) | ((suffix & 3) << 26) | ((type_code & 0x3FF) << 16) | (serial & 0xFFFF)


def u8(*v):
    return bytes(v)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def write(target, name, data):
    d = os.path.join(HERE, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


K27 = make_id(327, 5)
R01_9 = make_id(1, 9)
Z02_3 = make_id(202, 3)
R01_2 = make_id(1, 2)


def devlist(ids, infos):
    out = u16(len(ids)) + b"".join(u32(i) for i in ids)
    return out + b"".join(bytes(r) for r in infos)


# --- fuzz_devlist: u16 split, answer A, answer B
a = devlist([K27, R01_9, Z02_3, R01_2],
            [(1, 0, 0x44, 0x04), (1, 0x80, 0x95, 0x02), (2, 0x10, 0x02, 0x01), (3, 0, 0x95, 0x02)])
b = devlist([K27, R01_9, Z02_3, 0xFFFF0000, R01_2],
            [(1, 0, 0x44, 0x04), (1, 0x00, 0x95, 0x02), (2, 0x10, 0x02, 0x01), (0, 0, 0, 0),
             (3, 0x10, 0x95, 0x02)])
write("devlist", "four_then_five", u16(len(a)) + a + b)
write("devlist", "empty_then_same", u16(2) + u16(0) + u16(0))
write("devlist", "short", u16(10) + devlist([K27], [(1, 0, 0x44, 0x04)])[:10] + u16(129))


# --- fuzz_doors: u32 slot-0 identifier, passage answer
def doors(refs_per_door, params, train=None):
    out = u8(len(refs_per_door), 18)
    for refs in refs_per_door:
        out += b"".join(u16(r) for r in refs)
    for p in params:
        out += bytes(p)
    if train is not None:
        out += u16(train)
    return out


none18 = [0xFFFF] * 18
d0 = [0x0100, 0xFFFF, 0x0182, 0xFFFF, 0x0200, 0x0201, 0xFFFF, 0xFFFF] + [0xFFFF] * 6 + \
     [0x0100, 0xFFFF, 0xFFFF, 0xFFFF]
write("doors", "k27_two_doors", u32(K27 | (2 << 28)) +
      doors([d0, none18], [(1, 0, 0x45, 0, 10, 0, 200, 0), (2, 7, 0, 3, 4, 5, 6, 7)], 1234))
write("doors", "other_model", u32(make_id(310, 8)) + doors([none18], [(1, 0, 0, 0, 4, 0, 20, 0)]))
write("doors", "no_doors", u32(K27) + doors([], [], 0))


# --- fuzz_collect: flags, prefill, seed, selection, datagrams
def status_data(status):
    return bytes([0, 0, status, ord("1")] + [0] * 12)


seed = u8(0x01, 2) + u16(7) + u32(R01_9) + u32(K27) + u8(1)
seed += u8(0x90, 0) + u32(make_id(310, 44)) + status_data(0x03)   # new controller
seed += u8(0x81, 1) + u32(0) + status_data(0x02)                  # a known device
seed += u8(0x02, 2, 5) + b"MMDO\xff"                              # junk
write("collect", "two_known_two_answers", seed)
write("collect", "full_set", u8(0x03) + u16(11) + u8(3) +
      u8(0x90, 3) + u32(make_id(901, 1)) + status_data(0x01) +
      u8(0x80, 4) + u32(0) + status_data(0x83))


# --- fuzz_request: flags, [letter, limit], id, status, datagrams
write("request", "status_answer", u8(0x11) + u32(K27) + u8(0x02) +
      u8(0x83, 0) + bytes([0, 0, 0x82, ord("1")] + [0] * 12))
write("request", "key_answer", u8(0x15) + u32(K27) + u8(0x02) +
      u8(0x84, 16) + bytes(range(16)))
write("request", "offline_raw", u8(0x00) + u32(K27) + u8(0x02) + u8(0x05, 20) + b"MMDO" + u32(K27))


# --- fuzz_exchange: flags, letter, id, key, seq, payload, limit, datagrams
key = bytes(range(0x10, 0x20))
write("exchange", "signed_devlist", u8(0x0B, 0) + u32(K27) + key + u16(0) + u16(0) + u16(1000) +
      u8(0x01, 0, 0) + u16(18) + devlist([K27, R01_9], [(1, 0, 0x44, 4), (1, 0, 0x95, 2)]))
write("exchange", "signed_ack", u8(0x0F, 5) + u32(K27) + key + u16(0xFFFF) + u16(0) +
      u8(0x81, 0, 0) + u16(0))
write("exchange", "write_then_bad_sig", u8(0x0F, 2) + u32(K27) + key + u16(3) + u16(4) +
      b"\x01\x12\xff\xff" + u8(0x82, 0, 0) + u16(0x200) + u8(5))
write("exchange", "raw_header", u8(0x03, 0) + u32(K27) + key + u16(0) + u16(0) + u16(16) +
      u8(0x80) + u16(30) + b"MMDC" + u32(K27) + bytes(22))


# --- fuzz_model: device table, passages, then editing steps (op, arg, choice)
def model_seed(steps):
    out = u8(4)                                    # 5 slots
    out += u8(0x01) + u16(5)                       # K27 controller
    out += u8(0x10) + u16(1) + u16(9)              # R01_00009
    out += u8(0x10) + u16(202) + u16(3)            # Z02_00003
    out += u8(0x1F) + u16(0)                       # empty slot
    out += u8(0x30) + u16(601) + u16(12)           # F01_00012, suffix B
    out += bytes([1, 0, 0x44, 0x04,  1, 0, 0x95, 0x02,  2, 0x10, 0x42, 0x01,  0, 0, 0, 0,
                  3, 0x80, 0x4F, 0x0F])
    out += u8(2)                                   # 3 passages
    out += u8(0x00, 0x01, 0x80)                    # hidden inputs on passage 2
    out += bytes([1, 0, 0, 0, 10, 0, 20, 0] * 3) + u16(77)
    for op, arg, choice in steps:
        out += u8(op, arg) + u16(choice)
    return out


write("model", "bolt_sensor_alarm", model_seed([
    (0x00, 0x80, 2), (0x0A, 0x01, 1), (0x01, 0x81, 3), (0x01, 0x82, 1), (0x05 | 0x10, 0x80, 0),
    (0x00, 0x00, 5), (0x03, 0x00, 2), (0x07 | 0x08, 0x02, 0), (0x04, 0x01, 2)]))
write("model", "clear_everything", model_seed([
    (0x00, 0x00, 2), (0x0A, 0x00, 2), (0x00, 0x00, 1), (0x83, 0x10, 0), (0xC1, 0x02, 0)]))


# --- fuzz_readconfig: flags, serial, status, key, seq, pair, [model], controller's answers
def rc_head(flags, status, model=b""):
    return u8(flags) + u16(5) + u8(status) + key + u16(0) + u16(0x0C05) + model


dl = devlist([make_id(327, 5), R01_9, Z02_3], [(1, 0, 0x44, 4), (1, 0x10, 0x95, 2), (2, 0, 2, 1)])
dr = doors([[0x0100, 0xFFFF, 0xFFFF, 0xFFFF] + [0x0101] + [0xFFFF] * 9 + [0x0100] + [0xFFFF] * 3],
           [(1, 0, 0, 0, 10, 0, 20, 0)], 42)
answers = u8(0x02) + u16(len(dl)) + dl + u8(0x06) + u16(len(dr)) + dr
write("readconfig", "read_own_session", rc_head(0x40, 0x82) + u8(0x00, 0x82) + answers)
write("readconfig", "read_new_session", rc_head(0x00, 0x02) + u8(0x00, 0x02) + u8(0x01) +
      bytes(range(0x30, 0x40)) + answers)
write("readconfig", "poll_changed", rc_head(0x41, 0x83) + u8(0x02) + u16(len(dl)) + dl)
write("readconfig", "write_two_doors", rc_head(0x62, 0x82, u8(2) + bytes(704) + u16(9)) +
      u8(0x00, 0x82) + u8(0x0A))
write("readconfig", "replace", rc_head(0x44, 0x83) + u8(0x00, 0x83) + u8(0x12))
