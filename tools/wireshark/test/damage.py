#!/usr/bin/env python3
"""Makes damaged.pcap from session.pcap by editing bytes of the real capture, and
damaged.json, which says what was done to which frame:

  crc        a status answer with one CRC byte flipped
  signature  the passage write with its second passage's bolt changed, signature kept
  truncated  the last passage answer cut to 40 bytes (IP and UDP lengths follow)
  header     the end of session cut to 6 bytes, shorter than the frame header
  snapped    the last device list answer cut short by the capture (caplen < length)

  damage.py DIR      reads DIR/session.pcap, writes DIR/damaged.pcap and DIR/damaged.json
"""
import json
import struct
import sys
from pathlib import Path


def read_pcap(path):
    data = path.read_bytes()
    head, off, recs = data[:24], 24, []
    if struct.unpack("<I", head[:4])[0] != 0xA1B2C3D4:
        sys.exit("damage.py: expected a little-endian pcap file")
    while off < len(data):
        sec, usec, incl, orig = struct.unpack("<IIII", data[off:off + 16])
        recs.append({"ts": (sec, usec), "orig": orig, "bytes": bytearray(data[off + 16:off + 16 + incl])})
        off += 16 + incl
    return head, recs


def write_pcap(path, head, recs):
    out = bytearray(head)
    for r in recs:
        out += struct.pack("<IIII", r["ts"][0], r["ts"][1], len(r["bytes"]), r["orig"])
        out += r["bytes"]
    path.write_bytes(bytes(out))


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def udp_payload(rec):
    """Offsets of the IPv4 header and of the UDP payload in an Ethernet frame."""
    pkt = rec["bytes"]
    ip = 14
    ihl = (pkt[ip] & 0x0F) * 4
    return ip, ip + ihl + 8


def set_payload(rec, payload):
    """Replaces the UDP payload and makes the IP and UDP lengths and checksums match it."""
    pkt = rec["bytes"]
    ip, start = udp_payload(rec)
    udp = start - 8
    new = bytearray(pkt[:start]) + payload
    struct.pack_into("!H", new, ip + 2, len(new) - ip)
    struct.pack_into("!H", new, ip + 10, 0)
    struct.pack_into("!H", new, ip + 10, checksum(bytes(new[ip:udp])))
    struct.pack_into("!H", new, udp + 4, len(payload) + 8)
    struct.pack_into("!H", new, udp + 6, 0)
    pseudo = bytes(new[ip + 12:ip + 20]) + struct.pack("!BBH", 0, 17, len(payload) + 8)
    struct.pack_into("!H", new, udp + 6, checksum(pseudo + bytes(new[udp:])) or 0xFFFF)
    rec["bytes"], rec["orig"] = new, len(new)


def payload(rec):
    return bytes(rec["bytes"][udp_payload(rec)[1]:])


def find(recs, pred, last=False):
    hits = [i for i, r in enumerate(recs) if pred(payload(r))]
    if not hits:
        sys.exit("damage.py: the capture lacks a frame to damage")
    return hits[-1] if last else hits[0]


def main():
    d = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent)
    head, recs = read_pcap(d / "session.pcap")
    manifest = {}

    def signed(p, letter):
        return len(p) >= 19 and p[:4] == b"MMDC" and p[10] == ord(letter)

    i = find(recs, lambda p: p[:4] == b"MMDO" and len(p) == 28 and p[4:8] != b"\xff" * 4)
    p = bytearray(payload(recs[i]))
    p[-1] ^= 0x5A
    set_payload(recs[i], p)
    manifest["crc"] = i + 1

    i = find(recs, lambda p: signed(p, "c"))
    p = bytearray(payload(recs[i]))
    bolt2 = 11 + 2 + 36  # passage 2, output slot 0
    p[bolt2] ^= 0x01
    set_payload(recs[i], p)
    manifest["signature"] = i + 1

    i = find(recs, lambda p: signed(p, chr(ord("C") | 0x80)), last=True)
    set_payload(recs[i], payload(recs[i])[:40])
    manifest["truncated"] = i + 1

    i = find(recs, lambda p: signed(p, "s"), last=True)
    set_payload(recs[i], payload(recs[i])[:6])
    manifest["header"] = i + 1

    i = find(recs, lambda p: signed(p, chr(ord("D") | 0x80)), last=True)
    recs[i]["bytes"] = recs[i]["bytes"][:len(recs[i]["bytes"]) - 20]
    manifest["snapped"] = i + 1

    write_pcap(d / "damaged.pcap", head, recs)
    (d / "damaged.json").write_text(json.dumps(manifest, indent=1, sort_keys=True) + "\n")
    print("damage.py: frames", manifest)


if __name__ == "__main__":
    main()
