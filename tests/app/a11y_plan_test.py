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
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from a11y_test import SCENARIO, CTRL  # noqa: E402
from atspi_rig import (Bus, Segment, require, sh, sim_ready, stop_and_report,  # noqa: E402
                       wait_for)

PLAN_SCENARIO = {"devices": [d for d in SCENARIO["devices"] if d["mode"] != "Blokada"]}


def drive(feldaro, sim, work, devns):
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    bus = Bus()  # listening before the program starts, as in a11y_test.py
    app = subprocess.Popen([feldaro, f"{work}/plan.json"], env=env,
                           stdout=open(f"{work}/app.out", "w"), stderr=subprocess.STDOUT)
    at = bus.at
    kids, find, press, box, press_in = bus.kids, bus.find, bus.press, bus.box, bus.push

    result = {}
    try:
        root = wait_for("feldaro on the accessibility bus", bus.app_root, 20)
        plan = wait_for("the plan window", lambda: next(
            (w for w in kids(root) if w.name == "Plan obiektu – Hala"), None), 20)
        ctrls = wait_for("the list of controllers",
                         lambda: find(plan, at.ROLE_LIST, "Kontrolery planu"))
        line = lambda: ctrls.getChildAtIndex(0).name  # noqa: E731
        wait_for("the controller listed", lambda: ctrls.childCount >= 1)
        assert line().startswith("Nie sprawdzono: " + CTRL), line()
        for name in ("Sprawdź sieć", "Pobierz z kontrolera", "Wgraj do kontrolera",
                     "Zapisz plan"):
            assert find(plan, at.ROLE_PUSH_BUTTON, name) is not None, name

        # Passage 1's bolt, with the keyboard: focus, space opens, two lines down, Return.
        bolt = find(plan, at.ROLE_COMBO_BOX, "Rygiel")
        assert bolt is not None, "no combo box labelled Rygiel"
        first = lambda: bolt.getChildAtIndex(0).getChildAtIndex(0).name  # noqa: E731
        before = first()
        # From the list of controllers the Tab key goes to the passage tabs, then the bolt.
        ctrls.queryComponent().grabFocus()
        bus.tab_to(bolt, "the bolt list", presses=6)
        press("space")
        wait_for("the bolt list open", lambda: bolt.getState().contains(at.STATE_EXPANDED))
        target = bolt.getChildAtIndex(0).getChildAtIndex(2).name
        press("Down")
        press("Down")
        press("Return")
        chosen = wait_for("a new bolt", lambda: first() if first() != before else None)
        assert chosen == target, (chosen, target)
        result.update(before=before, chosen=chosen)
        wait_for("the edit mark", lambda: "*" in line())

        # No network: the upload says why and sends nothing.
        find(plan, at.ROLE_PUSH_BUTTON, "Wgraj do kontrolera").queryAction().doAction(0)
        err = wait_for("the box about the missing controller", lambda: box(root, "Plan obiektu"))
        result["offline"] = err.description
        press_in(err, "OK")

        find(plan, at.ROLE_PUSH_BUTTON, "Zapisz plan").queryAction().doAction(0)
        wait_for("the plan saved", lambda: "*" not in line())
        result["saved"] = json.load(open(f"{work}/plan.json"))

        # The simulator comes back; the check sees the difference, the upload writes it.
        subprocess.Popen(
            ["ip", "netns", "exec", devns, sim, "--log", f"{work}/sim2.log", "--add-addrs",
             "eth0", "--no-console", f"{work}/scenario.json"],
            stdout=open(f"{work}/sim2.out", "w"), stderr=subprocess.STDOUT)
        wait_for("feldaro-sim again", lambda: sim_ready(f"{work}/sim2.log"), 10)
        find(plan, at.ROLE_PUSH_BUTTON, "Sprawdź sieć").queryAction().doAction(0)
        wait_for("the check", lambda: line().startswith("Różni się: " + CTRL), 20)
        find(plan, at.ROLE_PUSH_BUTTON, "Wgraj do kontrolera").queryAction().doAction(0)
        ask = wait_for("the list of changes", lambda: box(root, "Plan obiektu"), 20)
        result["asked"] = ask.description
        press_in(ask, "Tak")
        wait_for("the upload", lambda: line().startswith("Zgodny: " + CTRL), 20)
        done = wait_for("the box after the write", lambda: box(root, "Plan obiektu"), 10)
        result["done"] = done.description
        press_in(done, "OK")
    except Exception:
        bus.dump()
        raise
    finally:
        # The plan is saved: closing asks nothing. The simulator keeps running: the run reads
        # back what it stored.
        stop_and_report(app, result)


def run(feldaro, sim, cli):
    require()
    with Segment("fa11q") as seg:
        work, tool, dev = seg.work, seg.tool, seg.dev
        json.dump(PLAN_SCENARIO, open(f"{work}/scenario.json", "w"))
        # The plan, captured on the network; then the network is left without devices.
        first = seg.start(dev, [sim, "--log", f"{work}/sim1.log", "--add-addrs", "eth0",
                                "--no-console", f"{work}/scenario.json"], "sim1.out")
        wait_for("feldaro-sim", lambda: sim_ready(f"{work}/sim1.log"), 10)
        sh("ip", "netns", "exec", tool, cli, "site", "capture", "-o", f"{work}/plan.json",
           "--name", "Hala")
        first.terminate()
        first.wait(5)
        before = json.load(open(f"{work}/plan.json"))

        res = seg.drive(__file__, [feldaro, sim, work, dev], 150)

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
        seg.ok = True


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
