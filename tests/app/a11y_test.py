#!/usr/bin/python3
"""The real feldaro driven through the accessibility bus, as a screen reader user would.

Network namespaces of this run (names carry the pid): a bridge, the tool, and the devices
served by feldaro-sim. In the tool's namespace: Xvfb, a D-Bus session with the AT-SPI
registry, and feldaro. Controls are found by role and by the name a screen reader speaks,
and worked with the keyboard (focus, arrow keys, Return) and with their actions:

  choose the controller in the Ethernet list, read the error box of a locked controller,
  choose passage 2 on the tabs, choose another bolt output, press "Zapisz".

Then the simulator's log must show the signed write and its acknowledgement, and the write
captured on the devices' side must carry the chosen output as passage 2's bolt, every other
byte as read.

  a11y_test.py FELDARO FELDARO_SIM     exit 0 pass, 1 fail, 77 skip (fail with CI=true)
"""
import json
import os
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from atspi_rig import Bus, Segment, require, sim_ready, stop_and_report, wait_for  # noqa: E402

CTRL, LOCKED = "K27_00005", "K27_00009"

SCENARIO = {
    "devices": [
        {"type": 112, "serial": 42, "address": "10.77.0.20", "mode": "Serwis"},
        {"type": 327, "serial": 5, "address": "10.77.0.10", "mode": "Serwis",
         "bus": [{"self": True, "outputs": 4, "inputs": 4, "readers": 2},
                 {"type": 5, "serial": 101, "suffix": "A", "number": 1}],
         "doors": [
             {"outputs": [{"slot": 0, "index": 0}], "inputs": [None, {"slot": 0, "index": 1}],
              "readers": [{"slot": 1, "index": 0}], "doorType": 1, "boltPulse": 10},
             {"outputs": [{"slot": 0, "index": 1}], "inputs": [None, {"slot": 0, "index": 2}],
              "doorType": 1, "boltPulse": 6}]},
        {"type": 327, "serial": 9, "address": "10.77.0.11", "mode": "Blokada"},
    ]
}
SLOTS = {CTRL: 0, "R05_00101": 1}  # bus slot of each device in the scenario


# ---------------------------------------------------------------- inside the tool's namespace
def drive(feldaro, work):
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    # Listening first: the program's bridge learns at its start which events anyone listens
    # to, and a listener that registers later may never get a focus event.
    bus = Bus()
    app = subprocess.Popen([feldaro], env=env, stdout=open(f"{work}/app.out", "w"),
                           stderr=subprocess.STDOUT)
    at = bus.at
    kids, walk, find, spoken, press = bus.kids, bus.walk, bus.find, bus.spoken, bus.press
    focused, tab_to = bus.focused, bus.tab_to

    def states(o):
        return o.getState()

    result = {}
    try:
        root = wait_for("feldaro on the accessibility bus", bus.app_root, 20)
        frame = wait_for("the main window", lambda: next(
            (w for w in kids(root) if w.name == "Feldaro 1.2.1"), None), 20)
        eth = wait_for("the Ethernet list", lambda: find(frame, at.ROLE_LIST,
                                                         "Urządzenia w sieci Ethernet"))
        wait_for("three devices listed", lambda: eth.childCount >= 3)
        # The tab bar speaks its current tab; its label is the group " Przejścia ".
        tabs = next((o for o in walk(frame) if o.getRole() == at.ROLE_PAGE_TAB_LIST), None)
        assert tabs is not None, "no page tab list"
        pages = lambda: [c for c in kids(tabs) if c.getRole() == at.ROLE_PAGE_TAB]  # noqa

        # Every control has a name to speak.
        controls = (at.ROLE_PUSH_BUTTON, at.ROLE_CHECK_BOX, at.ROLE_COMBO_BOX,
                    at.ROLE_LIST, at.ROLE_PAGE_TAB_LIST, at.ROLE_TEXT,
                    at.ROLE_ENTRY)
        named = [(o.getRoleName(), spoken(o)) for o in walk(frame) if o.getRole() in controls]
        unnamed = [r for r, n in named if not n.strip()]
        assert not unnamed, f"controls without a name: {unnamed}"
        result["names"] = named

        # Choose the controller: the list takes the focus, Down moves to the next line.
        eth.queryComponent().grabFocus()
        wait_for("focus on the Ethernet list", lambda: focused(eth))
        line = lambda i: eth.getChildAtIndex(i)  # noqa: E731
        assert line(1).name.strip().startswith(CTRL), line(1).name
        press("Down")
        wait_for(f"{CTRL} selected", lambda: states(line(1)).contains(at.STATE_SELECTED))
        wait_for("the passage tabs enabled",
                 lambda: states(tabs).contains(at.STATE_ENABLED) and len(pages()) == 2)

        # Passage 2 by keyboard on the tabs.
        bolt = find(frame, at.ROLE_COMBO_BOX, "Rygiel")
        assert bolt is not None, "no combo box labelled Rygiel"
        first = lambda: bolt.getChildAtIndex(0).getChildAtIndex(0).name  # noqa: E731
        assert first() == f"{CTRL}:Out1", first()  # passage 1's bolt
        tab_to(tabs, "the passage tabs")
        press("Right")
        wait_for("passage 2 shown", lambda: first() == f"{CTRL}:Out2")

        # Another bolt output: open the list with the space bar, two lines down, Return.
        before = first()
        tab_to(bolt, "the bolt list")
        press("space")
        wait_for("the bolt list open", lambda: states(bolt).contains(at.STATE_EXPANDED))
        target = bolt.getChildAtIndex(0).getChildAtIndex(2).name
        press("Down")
        press("Down")
        wait_for(f"{target} under the cursor",
                 lambda: bus.focus is not None and bus.focus.name == target)
        press("Return")
        chosen = wait_for("a new bolt", lambda: first() if first() != before else None)
        assert chosen == target, (chosen, target)
        result.update(before=before, chosen=chosen)

        save = find(frame, at.ROLE_PUSH_BUTTON, "Zapisz")
        assert save is not None and states(save).contains(at.STATE_ENABLED)
        save.queryAction().doAction(0)
        wait_for("the write acknowledged", lambda: any(
            " TX " in ln and "cmd=c " in ln for ln in open(f"{work}/sim.log")), 10)

        # Then the locked controller: its error box is read out; OK closes it.
        tab_to(eth, "the Ethernet list, round the window")
        press("Down")
        box = wait_for("the error box", lambda: next(
            (o for o in kids(root) if o.name == "Błąd" and
             states(o).contains(at.STATE_SHOWING)), None))
        text = box.description + " " + " ".join(
            o.name for o in walk(box) if o.getRole() == at.ROLE_LABEL)
        assert LOCKED in box.description and "Błąd nr 9" in box.description, text
        result["error"] = box.description
        ok = find(box, at.ROLE_PUSH_BUTTON, "OK")
        ok.queryAction().doAction(0)
        wait_for("the error box closed", lambda: not states(box).contains(at.STATE_SHOWING))

    except Exception:
        bus.dump()
        raise
    finally:
        stop_and_report(app, result)


# ------------------------------------------------------------------- the run and its checks


def signed_frames(pcap):
    """(source address, command byte, payload) of every signed frame in a pcap file."""
    data = open(pcap, "rb").read()
    out, off = [], 24
    while off + 16 <= len(data):
        incl = struct.unpack_from("<I", data, off + 8)[0]
        pkt = data[off + 16:off + 16 + incl]
        off += 16 + incl
        if len(pkt) < 14 + 20 + 8 or pkt[12:14] != b"\x08\x00":
            continue
        ihl = (pkt[14] & 0x0F) * 4
        src = ".".join(str(b) for b in pkt[26:30])
        udp = pkt[14 + ihl + 8:]
        if len(udp) >= 19 and udp[:4] == b"MMDC":
            out.append((src, udp[10], udp[11:-8]))
    return out


def run(feldaro, sim):
    require("tcpdump")
    with Segment("fa11y") as seg:
        work, dev = seg.work, seg.dev
        json.dump(SCENARIO, open(f"{work}/scenario.json", "w"))
        cap = seg.start(dev, ["tcpdump", "-i", "eth0", "-U", "-n", "-w", f"{work}/cap.pcap",
                              "udp port 45389"], "tcpdump.out")
        wait_for("tcpdump", lambda: "listening" in open(f"{work}/tcpdump.out").read(), 10)
        seg.start(dev, [sim, "--log", f"{work}/sim.log", "--add-addrs", "eth0", "--no-console",
                        f"{work}/scenario.json"], "sim.out")
        wait_for("feldaro-sim", lambda: sim_ready(f"{work}/sim.log"), 10)
        res = seg.drive(__file__, [feldaro, work], 120)

        time.sleep(0.5)
        cap.send_signal(signal.SIGINT)
        cap.wait(5)
        log = open(f"{work}/sim.log").read().splitlines()
        rx = [ln for ln in log if " RX from=10.77.0.1:" in ln and f"id={CTRL} cmd=c " in ln]
        assert rx and all("sig=ok" in ln for ln in rx), "no signed write in the log"
        assert any(" TX " in ln and f"id={CTRL} cmd=c " in ln for ln in log), "write not acked"
        assert any(" RX " in ln and f"id={CTRL} cmd=s " in ln for ln in log), \
            "no session end after SIGTERM"

        # The write carries the chosen bolt for passage 2 and the rest as it was read.
        name, out = res["chosen"].split(":Out")
        want = (SLOTS[name] << 8) | (int(out) - 1)
        frames = signed_frames(f"{work}/cap.pcap")
        writes = [p for s, c, p in frames if s == "10.77.0.1" and c == ord("c")]
        reads = [p for s, c, p in frames if s == "10.77.0.10" and c == (ord("C") | 0x80)]
        assert writes and reads, "write or read missing from the capture"
        w, rd = writes[-1], reads[-1]
        doors = w[0]
        assert doors == 2 and w[1] == 18, w[:2]
        bolt2 = struct.unpack_from("<H", w, 2 + 36)[0]
        assert bolt2 == want, f"passage 2 bolt {bolt2:#06x}, chose {res['chosen']} ({want:#06x})"
        assert bolt2 != struct.unpack_from("<H", rd, 2 + 36)[0]
        body = 2 + 44 * doors
        changed = [i for i in range(body) if w[i] != rd[i]]
        assert changed and set(changed) <= {38, 39}, f"bytes changed besides the bolt: {changed}"
        print(f"PASS: passage 2 bolt {res['before']} -> {res['chosen']} written as {want:#06x};"
              f" error box read: {res['error']!r}")
        print("names: " + "; ".join(f"{r} '{n}'" for r, n in res["names"]))
        seg.ok = True


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--drive":
        drive(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3:
        try:
            run(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
        except AssertionError as e:
            print(f"FAIL: {e}")
            sys.exit(1)
    else:
        print(__doc__)
        sys.exit(2)
