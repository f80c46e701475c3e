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
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
CTRL, LOCKED = "K27_00005", "K27_00009"


def skip(reason):
    if os.environ.get("CI") == "true":
        print(f"FAIL: {reason} (required in CI)")
        sys.exit(1)
    print(f"SKIP: {reason}")
    sys.exit(SKIP)


def sh(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw)


def wait_for(what, pred, timeout=15.0, step=0.1):
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(step)


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
    import pyatspi
    from gi.repository import GLib

    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    app = subprocess.Popen([feldaro], env=env, stdout=open(f"{work}/app.out", "w"),
                           stderr=subprocess.STDOUT)
    keys = {"Tab": 0xFF09, "Down": 0xFF54, "Up": 0xFF52, "Right": 0xFF53, "Return": 0xFF0D,
            "space": 0x20}  # X keysyms

    # Where the focus is, as the focus events on the bus report it (a reader follows these;
    # the cached states of objects that lost the focus are not reliable).
    focus = {"obj": None}

    def on_focus(ev):
        if ev.detail1 == 1:
            focus["obj"] = ev.source

    pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")

    def pump():
        ctx = GLib.MainContext.default()
        while ctx.pending():
            ctx.iteration(False)

    def press(key):
        pyatspi.Registry.generateKeyboardEvent(keys[key], None, pyatspi.KEY_SYM)
        time.sleep(0.3)
        pump()

    def kids(o):
        return [c for c in (o.getChildAtIndex(i) for i in range(o.childCount)) if c is not None]

    def spoken(o):
        # A combo box is spoken by the label that labels it (Qt on Linux names it by its
        # current text); everything else by its own name.
        if o.getRole() in (pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_PAGE_TAB_LIST):
            labels = [r.getTarget(i) for r in o.getRelationSet()
                      if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                      for i in range(r.getNTargets())]
            labels.sort(key=lambda t: t.getRole() != pyatspi.ROLE_LABEL)  # a label first
            if labels:
                return labels[0].name
        return o.name

    def walk(o, depth=0):
        yield o
        if depth < 25 and o.getRole() not in (pyatspi.ROLE_LIST, pyatspi.ROLE_COMBO_BOX):
            for c in kids(o):
                yield from walk(c, depth + 1)

    def find(root, role, name):
        for o in walk(root):
            if o.getRole() == role and spoken(o) == name:
                return o
        return None

    def states(o):
        return o.getState()

    def focused(o):
        pump()
        f = focus["obj"]
        return f is not None and (f == o or (f.parent is not None and f.parent == o))

    def tab_to(o, what):
        # The Tab key, as a keyboard user moves on, until o has the focus.
        for _ in range(45):
            if focused(o):
                return
            press("Tab")
        raise AssertionError(f"the Tab key never reached {what}")

    def app_root():
        desk = pyatspi.Registry.getDesktop(0)
        for a in kids(desk):
            if a.name == "feldaro":
                return a
        return None

    result = {}
    try:
        root = wait_for("feldaro on the accessibility bus", app_root, 20)
        frame = wait_for("the main window", lambda: next(
            (w for w in kids(root) if w.name == "Feldaro 1.2.1"), None), 20)
        eth = wait_for("the Ethernet list", lambda: find(frame, pyatspi.ROLE_LIST,
                                                         "Urządzenia w sieci Ethernet"))
        wait_for("three devices listed", lambda: eth.childCount >= 3)
        # The tab bar speaks its current tab; its label is the group " Przejścia ".
        tabs = next((o for o in walk(frame) if o.getRole() == pyatspi.ROLE_PAGE_TAB_LIST), None)
        assert tabs is not None, "no page tab list"
        pages = lambda: [c for c in kids(tabs) if c.getRole() == pyatspi.ROLE_PAGE_TAB]  # noqa

        # Every control has a name to speak.
        controls = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_COMBO_BOX,
                    pyatspi.ROLE_LIST, pyatspi.ROLE_PAGE_TAB_LIST, pyatspi.ROLE_TEXT,
                    pyatspi.ROLE_ENTRY)
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
        wait_for(f"{CTRL} selected", lambda: states(line(1)).contains(pyatspi.STATE_SELECTED))
        wait_for("the passage tabs enabled",
                 lambda: states(tabs).contains(pyatspi.STATE_ENABLED) and len(pages()) == 2)

        # Passage 2 by keyboard on the tabs.
        bolt = find(frame, pyatspi.ROLE_COMBO_BOX, "Rygiel")
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
        wait_for("the bolt list open", lambda: states(bolt).contains(pyatspi.STATE_EXPANDED))
        target = bolt.getChildAtIndex(0).getChildAtIndex(2).name
        press("Down")
        press("Down")
        wait_for(f"{target} under the cursor",
                 lambda: focus["obj"] is not None and focus["obj"].name == target)
        press("Return")
        chosen = wait_for("a new bolt", lambda: first() if first() != before else None)
        assert chosen == target, (chosen, target)
        result.update(before=before, chosen=chosen)

        save = find(frame, pyatspi.ROLE_PUSH_BUTTON, "Zapisz")
        assert save is not None and states(save).contains(pyatspi.STATE_ENABLED)
        save.queryAction().doAction(0)
        wait_for("the write acknowledged", lambda: any(
            " TX " in ln and "cmd=c " in ln for ln in open(f"{work}/sim.log")), 10)

        # Then the locked controller: its error box is read out; OK closes it.
        tab_to(eth, "the Ethernet list, round the window")
        press("Down")
        box = wait_for("the error box", lambda: next(
            (o for o in kids(root) if o.name == "Error" and
             states(o).contains(pyatspi.STATE_SHOWING)), None))
        text = box.description + " " + " ".join(
            o.name for o in walk(box) if o.getRole() == pyatspi.ROLE_LABEL)
        assert LOCKED in box.description and "Błąd nr 9" in box.description, text
        result["error"] = box.description
        ok = find(box, pyatspi.ROLE_PUSH_BUTTON, "OK")
        ok.queryAction().doAction(0)
        wait_for("the error box closed", lambda: not states(box).contains(pyatspi.STATE_SHOWING))

    except Exception:
        # What the bus showed, for the log of a failed run.
        r = app_root()
        for o in (walk(r) if r else []):
            st = " ".join(pyatspi.stateToString(x) for x in states(o).getStates())
            print(f"  {o.getRoleName()} '{spoken(o)}' {o.description!r} [{st}]", file=sys.stderr)
        raise
    finally:
        app.send_signal(signal.SIGTERM)
        try:
            result["exit"] = app.wait(10)
        except subprocess.TimeoutExpired:
            app.kill()
            result["exit"] = "hung"
        print("RESULT " + json.dumps(result, ensure_ascii=False), flush=True)


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
    if os.geteuid() != 0:
        skip("needs root to create network namespaces")
    for prog in ("ip", "Xvfb", "dbus-run-session", "tcpdump"):
        if not shutil.which(prog):
            skip(f"{prog} is not installed")
    if subprocess.run(["/usr/bin/python3", "-c", "import pyatspi"],
                      capture_output=True).returncode != 0:
        skip("python3-pyatspi is not installed")
    probe = f"fa11yp{os.getpid()}"
    r = subprocess.run(["ip", "netns", "add", probe], capture_output=True, text=True)
    if r.returncode != 0:
        skip(f"cannot create network namespaces (ip netns add: {r.stderr.strip()})")
    subprocess.run(["ip", "netns", "del", probe])

    pre = f"fa11y{os.getpid()}"
    br, tool, dev = pre + "b", pre + "t", pre + "d"
    work = tempfile.mkdtemp(prefix="fdl-a11y-")
    os.chmod(work, 0o755)
    procs, made, ok = [], [], False

    def start(ns, argv, name, **kw):
        p = subprocess.Popen(["ip", "netns", "exec", ns, *argv], stdout=open(f"{work}/{name}", "w"),
                             stderr=subprocess.STDOUT, **kw)
        procs.append(p)
        return p

    try:
        for ns in (br, tool, dev):
            sh("ip", "netns", "add", ns)
            made.append(ns)
            sh("ip", "-n", ns, "link", "set", "lo", "up")
        sh("ip", "-n", br, "link", "add", "br0", "type", "bridge")
        sh("ip", "-n", br, "link", "set", "br0", "up")
        for ns, peer, addr in ((tool, "vt", "10.77.0.1/24"), (dev, "vd", "10.77.0.250/24")):
            sh("ip", "link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", peer,
               "netns", br)
            sh("ip", "-n", br, "link", "set", peer, "master", "br0")
            sh("ip", "-n", br, "link", "set", peer, "up")
            sh("ip", "-n", ns, "addr", "add", addr, "dev", "eth0")
            sh("ip", "-n", ns, "link", "set", "eth0", "up")
            sh("ip", "-n", ns, "route", "add", "default", "dev", "eth0")

        json.dump(SCENARIO, open(f"{work}/scenario.json", "w"))
        cap = start(dev, ["tcpdump", "-i", "eth0", "-U", "-n", "-w", f"{work}/cap.pcap",
                          "udp port 45389"], "tcpdump.out")
        wait_for("tcpdump", lambda: "listening" in open(f"{work}/tcpdump.out").read(), 10)
        start(dev, [sim, "--log", f"{work}/sim.log", "--add-addrs", "eth0", "--no-console",
                    f"{work}/scenario.json"], "sim.out")
        wait_for("feldaro-sim", lambda: os.path.exists(f"{work}/sim.log") and
                 "# feldaro-sim" in open(f"{work}/sim.log").read(), 10)
        # Xvfb picks a free display itself and names it on a pipe: parallel runs never meet.
        rfd, wfd = os.pipe()
        start(tool, ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten",
                     "tcp", "-noreset"], "xvfb.out", pass_fds=(wfd,))
        os.close(wfd)
        with os.fdopen(rfd) as pipe:
            n = pipe.readline().strip()
        assert n.isdigit(), "Xvfb did not start: " + open(f"{work}/xvfb.out").read()

        os.makedirs(f"{work}/run", mode=0o700)
        env = dict(os.environ, DISPLAY=f":{n}", XDG_RUNTIME_DIR=f"{work}/run", HOME=work)
        inner = subprocess.run(
            ["ip", "netns", "exec", tool, "dbus-run-session", "--", "/usr/bin/python3",
             os.path.abspath(__file__), "--drive", feldaro, work],
            env=env, capture_output=True, text=True, timeout=120)
        res = next((json.loads(ln[7:]) for ln in inner.stdout.splitlines()
                    if ln.startswith("RESULT ")), None)
        if inner.returncode != 0 or not res:
            print(inner.stdout, inner.stderr, sep="\n")
            raise AssertionError(f"driving the window failed ({inner.returncode})")
        assert res.get("exit") == 0, f"feldaro ended with {res.get('exit')}"

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
        ok = True
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    p.kill()
        for ns in made:
            pids = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True)
            for pid in pids.stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        if ok:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"logs kept in {work}")


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
