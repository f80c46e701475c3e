#!/usr/bin/env python3
"""Decodes captures with tshark and the Quorinnet dissector and checks what it shows.

  check_capture.py session PCAP KEYS [SIMLOG]   a capture of the tool against feldaro-sim
  check_capture.py damaged PCAP MANIFEST         the damaged copy made by damage.py

Exits 1 with the reasons when a check fails."""
import collections
import json
import os
import random
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
LUA = HERE.parent / "quorinnet.lua"
FIELDS = [
    "frame.number", "_ws.col.Info", "_ws.expert.message", "quorinnet.tag", "quorinnet.dev",
    "quorinnet.broadcast", "quorinnet.answer", "quorinnet.cmd", "quorinnet.seq", "quorinnet.len",
    "quorinnet.crc.status", "quorinnet.sig.status", "quorinnet.signkey", "quorinnet.request_in",
    "quorinnet.status.mode", "quorinnet.time", "quorinnet.ack", "quorinnet.slot.dev",
    "quorinnet.slot.inactive", "quorinnet.slot.new", "quorinnet.doors", "quorinnet.door.bolt",
    "quorinnet.door.reader1", "quorinnet.door.type", "quorinnet.door.airlock", "quorinnet.train",
    "quorinnet.ref",
]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
    return cond


def decode(pcap):
    """One dict per frame: field name -> list of values."""
    cmd = ["tshark", "-n", "-r", str(pcap), "-X", "lua_script:" + str(LUA), "-T", "fields",
           "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    for f in FIELDS:
        cmd += ["-e", f]
    run = subprocess.run(cmd, capture_output=True, text=True, errors="replace")
    err = "\n".join(l for l in run.stderr.splitlines() if "dangerous" not in l)
    if run.returncode != 0 or "Lua" in err or "rror" in err:
        sys.exit("tshark failed (%d):\n%s" % (run.returncode, err))
    frames = []
    for line in run.stdout.splitlines():
        cols = line.split("\t")
        frames.append({f: (c.split("|") if c else []) for f, c in zip(FIELDS, cols)})
    return frames


def one(frame, field):
    v = frame[field]
    return v[0] if v else None


def no_lua_errors(frames):
    for f in frames:
        for m in f["_ws.expert.message"]:
            check("Lua Error" not in m, "frame %s: %s" % (one(f, "frame.number"), m))


def check_crypto(pcap):
    """The cipher and signer against FIPS-197 and RFC 4493, inside tshark's Lua."""
    run = subprocess.run(["tshark", "-n", "-r", str(pcap), "-c", "1",
                          "-X", "lua_script:" + str(HERE / "crypto_vectors.lua"),
                          "-X", "lua_script1:" + str(LUA)], capture_output=True, text=True)
    check("crypto vectors: 5 passed" in run.stdout, "crypto vectors: %s %s" % (run.stdout, run.stderr))


def check_session(pcap, keys, simlog):
    check_crypto(pcap)
    frames = decode(pcap)
    no_lua_errors(frames)
    check(len(frames) > 20, "only %d frames" % len(frames))
    for f in frames:
        n = one(f, "frame.number")
        check(one(f, "quorinnet.tag") is not None, "frame %s not decoded" % n)
        check(not f["_ws.expert.message"], "frame %s: expert info %s" % (n, f["_ws.expert.message"]))
        check(one(f, "quorinnet.crc.status") in (None, "good"), "frame %s: CRC not good" % n)
    first = frames[0]
    check(one(first, "quorinnet.broadcast") == "1" and one(first, "quorinnet.cmd") == "O",
          "the capture does not start with the discovery broadcast")
    check(any(one(f, "quorinnet.time") for f in frames), "no time frame decoded")

    # The signing key derived from the key material equals the one the tool's link used.
    derived = [one(f, "quorinnet.signkey") for f in frames if one(f, "quorinnet.signkey")]
    want = Path(keys).read_text().split()
    check(len(derived) == 1, "expected one key material answer, found %d" % len(derived))
    check(derived and derived[0].replace(":", "") == want[1],
          "derived key %s, the link used %s" % (derived, want[1]))

    signed = [f for f in frames if one(f, "quorinnet.tag") == "MMDC"]
    requests = [f for f in signed if one(f, "quorinnet.answer") == "0"]
    answers = [f for f in signed if one(f, "quorinnet.answer") == "1"]
    bad = [one(f, "frame.number") for f in signed if one(f, "quorinnet.sig.status") != "good"]
    check(not bad, "signatures not good in frames %s" % bad)
    seqs = [int(one(f, "quorinnet.seq")) for f in requests]
    check(seqs == list(range(1, len(seqs) + 1)), "request numbers %s" % seqs)
    letters = "".join(one(f, "quorinnet.cmd") for f in requests)
    # Without the timer's polls ('D' alone) and keep-alives ('S'): the installer's actions.
    actions = "".join(c for i, c in enumerate(letters)
                      if c != "S" and (c != "D" or letters[i + 1:i + 2] == "C"))
    check(actions == "DCRDCcFDCs", "commands %s" % letters)
    replace = next(f for f in requests if one(f, "quorinnet.cmd") == "R")
    # Its number depends on how many polls the timer made before the click.
    check(re.search(r" R seq=\d+ replace R05_00102 <-- R05_00109$", one(replace, "_ws.col.Info")),
          "replacement: %s" % one(replace, "_ws.col.Info"))
    by_number = {one(f, "frame.number"): f for f in frames}
    for a in answers:
        req = by_number.get(one(a, "quorinnet.request_in"))
        check(req is not None and one(req, "quorinnet.seq") == one(a, "quorinnet.seq")
              and one(req, "quorinnet.cmd") == one(a, "quorinnet.cmd"),
              "answer in frame %s is not paired with its request" % one(a, "frame.number"))
        if one(a, "quorinnet.cmd") in "cFSs":
            check(one(a, "quorinnet.ack") == "0x06", "frame %s: no ACK" % one(a, "frame.number"))

    # Start-up read: the bus device list and the passages, in the window's texts.
    devlist = next(f for f in answers if one(f, "quorinnet.cmd") == "D")
    check(devlist["quorinnet.slot.dev"] ==
          ["K27_00005", "R05_00101", "R05_00102", "R05_00109", "R05_00103"],
          "device list %s" % devlist["quorinnet.slot.dev"])
    check(devlist["quorinnet.slot.inactive"] == ["0", "0", "1", "0", "1"], "inactive flags")
    check(devlist["quorinnet.slot.new"] == ["0", "0", "0", "1", "0"], "new flags")
    doors = next(f for f in answers if one(f, "quorinnet.cmd") == "C")
    check(one(doors, "_ws.col.Info") == "K27_00005 C seq=2 (2 passages)",
          "Info of the passage answer: %s" % one(doors, "_ws.col.Info"))
    check(doors["quorinnet.door.bolt"] == ["K27_00005:Out1", "R05_00102:Out1"],
          "bolts read %s" % doors["quorinnet.door.bolt"])
    check(doors["quorinnet.door.airlock"] == ["1", "0"], "airlocks %s" % doors["quorinnet.door.airlock"])

    # The write: passage 2's bolt is now the controller's third output, normally closed; its
    # reader, in the slot the replacement filled, is named after the device list read last.
    write = next(f for f in requests if one(f, "quorinnet.cmd") == "c")
    check(write["quorinnet.door.bolt"] == ["K27_00005:Out1", "K27_00005:Out3"],
          "bolts written %s" % write["quorinnet.door.bolt"])
    check(write["quorinnet.ref"][18] == "0x0082", "passage 2 bolt reference %s" % write["quorinnet.ref"][18:19])
    check(write["quorinnet.door.reader1"] == ["R05_00101:Rd1", "R05_00109:Rd1"],
          "readers written %s" % write["quorinnet.door.reader1"])
    check(write["quorinnet.door.type"] == ["1", "2"] and one(write, "quorinnet.train") == "1234",
          "types and train number written")
    check(one(write, "quorinnet.len") == "92", "write length %s" % one(write, "quorinnet.len"))
    after = [f for f in answers if one(f, "quorinnet.cmd") == "D"][-1]
    check(after["quorinnet.slot.dev"][:4] == ["K27_00005", "R05_00101", "R05_00109", "?23_65535"]
          and "R05_00103" not in after["quorinnet.slot.dev"],
          "device list after the removal %s" % after["quorinnet.slot.dev"])

    if simlog:
        # feldaro-sim decodes the same datagrams on its side; both must agree.
        theirs = collections.Counter()
        for line in Path(simlog).read_text().splitlines():
            kv = dict(t.split("=", 1) for t in line.split() if "=" in t)
            if "tag" in kv:
                theirs[(kv["tag"], kv["cmd"], kv.get("seq", ""), kv["len"],
                        kv.get("sig", kv.get("crc")))] += 1
        ours = collections.Counter()
        for f in frames:
            length = one(f, "quorinnet.len")
            length = str(int(length) + 19) if length else None
            status = one(f, "quorinnet.sig.status") or one(f, "quorinnet.crc.status")
            ours[(one(f, "quorinnet.tag"), one(f, "quorinnet.cmd"), one(f, "quorinnet.seq") or "",
                  length, {"good": "ok"}.get(status, status))] += 1
        theirs_signed = {k: v for k, v in theirs.items() if k[0] == "MMDC"}
        ours_signed = {k: v for k, v in ours.items() if k[0] == "MMDC"}
        check(ours_signed == theirs_signed, "signed frames differ from feldaro-sim's log:\n%s\n%s"
              % (sorted(ours_signed), sorted(theirs_signed)))
        check(sum(theirs.values()) == len(frames),
              "feldaro-sim logged %d datagrams, the capture has %d" % (sum(theirs.values()), len(frames)))
    return frames


def check_damaged(pcap, manifest):
    frames = decode(pcap)
    no_lua_errors(frames)
    damage = json.loads(Path(manifest).read_text())
    expected = {
        "crc": "Bad CRC-32", "signature": "Bad signature", "truncated": "passages need",
        "header": "Shorter than the 8-byte header", "snapped": "cut short by the capture",
    }
    hit = {}
    for f in frames:
        n = int(one(f, "frame.number"))
        msgs = " ".join(f["_ws.expert.message"])
        kinds = [k for k, frame in damage.items() if frame == n]
        for k in kinds:
            check(expected[k] in msgs, "frame %d (%s): expert infos %r" % (n, k, msgs))
            hit[k] = True
        if not kinds:
            check(not msgs, "undamaged frame %d: expert infos %r" % (n, msgs))
            check(one(f, "quorinnet.sig.status") in (None, "good"), "undamaged frame %d: bad signature" % n)
    check(set(hit) == set(expected), "damaged frames not found: %s" % (set(expected) - set(hit)))
    sig = next(f for f in frames if int(one(f, "frame.number")) == damage["signature"])
    check(one(sig, "quorinnet.sig.status") == "bad" and "[BAD SIGNATURE]" in one(sig, "_ws.col.Info"),
          "the altered write is not marked bad")
    crc = next(f for f in frames if int(one(f, "frame.number")) == damage["crc"])
    check(one(crc, "quorinnet.crc.status") == "bad", "the altered status answer's CRC is not bad")
    for name in ("truncated", "header", "snapped"):
        f = next(f for f in frames if int(one(f, "frame.number")) == damage[name])
        check("[malformed]" in one(f, "_ws.col.Info"), "frame %d not marked malformed" % damage[name])

    # Every cut of every datagram and random byte errors: never a Lua error.
    sys.dont_write_bytecode = True  # nothing written into the source tree
    sys.path.insert(0, str(HERE))
    import damage as dm
    head, recs = dm.read_pcap(Path(pcap).with_name("session.pcap"))
    rng = random.Random(14)
    mutated = []
    for r in recs:
        p = dm.payload(r)
        for cut in range(0, len(p)):
            m = dict(r, bytes=bytearray(r["bytes"]))
            dm.set_payload(m, p[:cut])
            mutated.append(m)
        for _ in range(8):
            q = bytearray(p)
            for _ in range(rng.randint(1, 4)):
                q[rng.randrange(len(q))] = rng.randrange(256)
            m = dict(r, bytes=bytearray(r["bytes"]))
            dm.set_payload(m, bytes(q))
            mutated.append(m)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "mutated.pcap"
        dm.write_pcap(path, head, mutated)
        frames = decode(path)
    no_lua_errors(frames)
    check(len(frames) == len(mutated), "%d of %d mutated frames decoded" % (len(frames), len(mutated)))
    return frames


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ("session", "damaged"):
        sys.exit(__doc__)
    if sys.argv[1] == "session":
        frames = check_session(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    else:
        frames = check_damaged(sys.argv[2], sys.argv[3])
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        sys.exit(1)
    print("%s: %d frames decoded, all checks passed" % (os.path.basename(sys.argv[2]), len(frames)))


if __name__ == "__main__":
    main()
