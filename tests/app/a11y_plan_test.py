#!/usr/bin/python3
"""The plan window of the real feldaro driven through the accessibility bus.

A plan of the simulated controller is captured with feldaro-cli; then the simulator stops,
and with no device on the network `feldaro PLAN.json` opens the plan window: passage 1's
bolt is changed with the keyboard and "Zapisz plan" must leave the change in the file, and
nothing else. Then the simulator starts again: "Sprawdź sieć" must show the controller as
differing, "Wgraj do kontrolera" asks with the list of changes, "Tak" writes: the
simulator must log exactly one signed 'c', and what it stored (read back with feldaro-cli
backup) must be the plan's passages with the chosen bolt.

  a11y_plan_test.py FELDARO FELDARO_SIM FELDARO_CLI   exit 0 pass, 1 fail, 77 skip
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from a11y_test import SCENARIO, CTRL, sh, skip, wait_for  # noqa: E402

PLAN_SCENARIO = {"devices": [d for d in SCENARIO["devices"] if d["mode"] != "Blokada"]}


def drive(feldaro, sim, work, devns):
    import pyatspi
    from gi.repository import GLib

    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    app = subprocess.Popen([feldaro, f"{work}/plan.json"], env=env,
                           stdout=open(f"{work}/app.out", "w"), stderr=subprocess.STDOUT)
    keys = {"Tab": 0xFF09, "Down": 0xFF54, "Return": 0xFF0D, "space": 0x20}
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
        if o.getRole() in (pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_PAGE_TAB_LIST):
            labels = [r.getTarget(i) for r in o.getRelationSet()
                      if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                      for i in range(r.getNTargets())]
            labels.sort(key=lambda t: t.getRole() != pyatspi.ROLE_LABEL)
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

    def app_root():
        for a in kids(pyatspi.Registry.getDesktop(0)):
            if a.name == "feldaro":
                return a
        return None

    def box(root, caption):
        return next((o for o in kids(root) if o.name == caption and
                     o.getState().contains(pyatspi.STATE_SHOWING)), None)

    def press_in(dlg, name):
        b = find(dlg, pyatspi.ROLE_PUSH_BUTTON, name)
        assert b is not None, f"no button {name}"
        b.queryAction().doAction(0)

    result = {}
    try:
        root = wait_for("feldaro on the accessibility bus", app_root, 20)
        plan = wait_for("the plan window", lambda: next(
            (w for w in kids(root) if w.name == "Plan obiektu – Hala"), None), 20)
        ctrls = wait_for("the list of controllers",
                         lambda: find(plan, pyatspi.ROLE_LIST, "Kontrolery planu"))
        line = lambda: ctrls.getChildAtIndex(0).name  # noqa: E731
        wait_for("the controller listed", lambda: ctrls.childCount >= 1)
        assert line().startswith("Nie sprawdzono: " + CTRL), line()
        for name in ("Sprawdź sieć", "Pobierz z kontrolera", "Wgraj do kontrolera",
                     "Zapisz plan"):
            assert find(plan, pyatspi.ROLE_PUSH_BUTTON, name) is not None, name

        # Passage 1's bolt, with the keyboard: focus, space opens, two lines down, Return.
        bolt = find(plan, pyatspi.ROLE_COMBO_BOX, "Rygiel")
        assert bolt is not None, "no combo box labelled Rygiel"
        first = lambda: bolt.getChildAtIndex(0).getChildAtIndex(0).name  # noqa: E731
        before = first()
        def on_bolt():
            pump()
            f = focus["obj"]
            return f is not None and (f == bolt or f.parent == bolt)

        # From the list of controllers the Tab key goes to the passage tabs, then the bolt.
        ctrls.queryComponent().grabFocus()
        for _ in range(6):
            if on_bolt():
                break
            press("Tab")
        assert on_bolt(), "the Tab key did not reach the bolt list"
        press("space")
        wait_for("the bolt list open", lambda: bolt.getState().contains(pyatspi.STATE_EXPANDED))
        target = bolt.getChildAtIndex(0).getChildAtIndex(2).name
        press("Down")
        press("Down")
        press("Return")
        chosen = wait_for("a new bolt", lambda: first() if first() != before else None)
        assert chosen == target, (chosen, target)
        result.update(before=before, chosen=chosen)
        wait_for("the edit mark", lambda: "*" in line())

        # No network: the upload says why and sends nothing.
        find(plan, pyatspi.ROLE_PUSH_BUTTON, "Wgraj do kontrolera").queryAction().doAction(0)
        err = wait_for("the box about the missing controller", lambda: box(root, "Plan obiektu"))
        result["offline"] = err.description
        press_in(err, "OK")

        find(plan, pyatspi.ROLE_PUSH_BUTTON, "Zapisz plan").queryAction().doAction(0)
        wait_for("the plan saved", lambda: "*" not in line())
        result["saved"] = json.load(open(f"{work}/plan.json"))

        # The simulator comes back; the check sees the difference, the upload writes it.
        subprocess.Popen(
            ["ip", "netns", "exec", devns, sim, "--log", f"{work}/sim2.log", "--add-addrs",
             "eth0", "--no-console", f"{work}/scenario.json"],
            stdout=open(f"{work}/sim2.out", "w"), stderr=subprocess.STDOUT)
        wait_for("feldaro-sim again", lambda: os.path.exists(f"{work}/sim2.log") and
                 "# feldaro-sim" in open(f"{work}/sim2.log").read(), 10)
        find(plan, pyatspi.ROLE_PUSH_BUTTON, "Sprawdź sieć").queryAction().doAction(0)
        wait_for("the check", lambda: line().startswith("Różni się: " + CTRL), 20)
        find(plan, pyatspi.ROLE_PUSH_BUTTON, "Wgraj do kontrolera").queryAction().doAction(0)
        ask = wait_for("the list of changes", lambda: box(root, "Plan obiektu"), 20)
        result["asked"] = ask.description
        press_in(ask, "Tak")
        wait_for("the upload", lambda: line().startswith("Zgodny: " + CTRL), 20)
        done = wait_for("the box after the write", lambda: box(root, "Plan obiektu"), 10)
        result["done"] = done.description
        press_in(done, "OK")
    except Exception:
        f = focus["obj"]
        print("FOCUS", f and f.getRoleName(), f and spoken(f), file=sys.stderr)
        for w in kids(app_root()):
            print("WINDOW", w.name, [pyatspi.stateToString(x) for x in w.getState().getStates()],
                  file=sys.stderr)
        r = None
        for o in (walk(r) if r else []):
            print(f"  {o.getRoleName()} '{spoken(o)}' {o.description!r}", file=sys.stderr)
        raise
    finally:
        # The plan is saved: closing asks nothing.
        app.send_signal(signal.SIGTERM)
        try:
            result["exit"] = app.wait(10)
        except subprocess.TimeoutExpired:
            app.kill()
            result["exit"] = "hung"
        # The simulator keeps running: the run reads back what it stored.
        print("RESULT " + json.dumps(result, ensure_ascii=False), flush=True)


def run(feldaro, sim, cli):
    if os.geteuid() != 0:
        skip("needs root to create network namespaces")
    for prog in ("ip", "Xvfb", "dbus-run-session"):
        if not shutil.which(prog):
            skip(f"{prog} is not installed")
    if subprocess.run(["/usr/bin/python3", "-c", "import pyatspi"],
                      capture_output=True).returncode != 0:
        skip("python3-pyatspi is not installed")

    pre = f"fa11q{os.getpid()}"
    br, tool, dev = pre + "b", pre + "t", pre + "d"
    work = tempfile.mkdtemp(prefix="fdl-a11y-plan-")
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

        json.dump(PLAN_SCENARIO, open(f"{work}/scenario.json", "w"))
        # The plan, captured on the network; then the network is left without devices.
        first = start(dev, [sim, "--log", f"{work}/sim1.log", "--add-addrs", "eth0",
                            "--no-console", f"{work}/scenario.json"], "sim1.out")
        wait_for("feldaro-sim", lambda: os.path.exists(f"{work}/sim1.log") and
                 "# feldaro-sim" in open(f"{work}/sim1.log").read(), 10)
        sh("ip", "netns", "exec", tool, cli, "site", "capture", "-o", f"{work}/plan.json",
           "--name", "Hala")
        first.terminate()
        first.wait(5)
        before = json.load(open(f"{work}/plan.json"))

        rfd, wfd = os.pipe()
        start(tool, ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten",
                     "tcp", "-noreset"], "xvfb.out", pass_fds=(wfd,))
        os.close(wfd)
        with os.fdopen(rfd) as pipe:
            n = pipe.readline().strip()
        assert n.isdigit(), "Xvfb did not start"
        os.makedirs(f"{work}/run", mode=0o700)
        env = dict(os.environ, DISPLAY=f":{n}", XDG_RUNTIME_DIR=f"{work}/run", HOME=work)
        inner = subprocess.run(
            ["ip", "netns", "exec", tool, "dbus-run-session", "--", "/usr/bin/python3",
             os.path.abspath(__file__), "--drive", feldaro, sim, work, dev],
            env=env, capture_output=True, text=True, timeout=150)
        res = next((json.loads(ln[7:]) for ln in inner.stdout.splitlines()
                    if ln.startswith("RESULT ")), None)
        if inner.returncode != 0 or not res:
            print(inner.stdout, inner.stderr, sep="\n")
            raise AssertionError(f"driving the plan window failed ({inner.returncode})")
        assert res.get("exit") == 0, f"feldaro ended with {res.get('exit')}"

        # The saved file holds the new bolt of passage 1 and otherwise the same passages.
        name, out = res["chosen"].split(":Out")
        saved = res["saved"]["controllers"][0]["passages"]
        old = before["controllers"][0]["passages"]
        bolt = saved[0]["outputs"][0]
        assert (bolt["device"], bolt["index"]) == (name, int(out) - 1), bolt
        assert saved[1:] == old[1:], "passages other than 1 changed in the file"
        assert "Rygiel" in res["asked"], res["asked"]

        log = open(f"{work}/sim2.log").read().splitlines()
        assert not any(f"id={CTRL} cmd=c " in ln for ln in open(f"{work}/sim1.log")), \
            "a write reached the controller before the upload"
        writes = [ln for ln in log if " RX " in ln and f"id={CTRL} cmd=c " in ln]
        assert len(writes) == 1 and "sig=ok" in writes[0], f"writes: {writes}"
        assert any(" TX " in ln and f"id={CTRL} cmd=c " in ln for ln in log), "write not acked"
        # What the simulator stored from that 'c', read by feldaro-cli: the plan's passages.
        sh("ip", "netns", "exec", tool, cli, "backup", CTRL, "-o", f"{work}/after.json")
        after = json.load(open(f"{work}/after.json"))["passages"]
        got = after[0]["outputs"][0]
        assert (got["device"], got["index"]) == (name, int(out) - 1), got
        assert after[1:] == saved[1:], "other passages differ from the plan"
        want = (int(out) - 1) | ({CTRL: 0, "R05_00101": 1}[name] << 8)
        print(f"PASS: bolt {res['before']} -> {res['chosen']} saved offline and written as "
              f"{want:#06x}; offline: {res['offline']!r}")
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
    if len(sys.argv) == 6 and sys.argv[1] == "--drive":
        drive(*sys.argv[2:])
    elif len(sys.argv) == 4:
        try:
            run(*(os.path.abspath(a) for a in sys.argv[1:]))
        except AssertionError as e:
            print(f"FAIL: {e}")
            sys.exit(1)
    else:
        print(__doc__)
        sys.exit(2)
