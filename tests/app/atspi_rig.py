"""What the accessibility tests of feldaro share: a segment of network namespaces with Xvfb
in the tool's namespace (the run's side), and the AT-SPI helpers a screen reader's view is
driven with (the side inside the D-Bus session).

Segment: a bridge, the tool at 10.77.0.1 and the devices at 10.77.0.250 (their namespace
names carry the pid). Bus: controls found by role and by the name a reader speaks, the
focus as the bus reports it, keys as a keyboard user presses them.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
TOOL_ADDR, DEV_ADDR = "10.77.0.1", "10.77.0.250"


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


def sim_ready(log):
    """True once feldaro-sim has written the head of its log."""
    return os.path.exists(log) and "# feldaro-sim" in open(log).read()


def require(*progs):
    """Skips the run when it cannot be made here: not root, a program or pyatspi missing,
    no network namespaces."""
    if os.geteuid() != 0:
        skip("needs root to create network namespaces")
    for prog in ("ip", "Xvfb", "dbus-run-session", *progs):
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


class Segment:
    """The namespaces of one run, its work folder and its processes; all of them go at the
    end, and the work folder stays (with its logs) when the run failed."""

    def __init__(self, prefix):
        pre = f"{prefix}{os.getpid()}"
        self.br, self.tool, self.dev = pre + "b", pre + "t", pre + "d"
        self.work = tempfile.mkdtemp(prefix=f"fdl-{prefix}-")
        os.chmod(self.work, 0o755)
        self.procs, self.made, self.ok = [], [], False

    def __enter__(self):
        for ns in (self.br, self.tool, self.dev):
            sh("ip", "netns", "add", ns)
            self.made.append(ns)
            sh("ip", "-n", ns, "link", "set", "lo", "up")
        sh("ip", "-n", self.br, "link", "add", "br0", "type", "bridge")
        sh("ip", "-n", self.br, "link", "set", "br0", "up")
        for ns, peer, addr in ((self.tool, "vt", TOOL_ADDR), (self.dev, "vd", DEV_ADDR)):
            sh("ip", "link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", peer,
               "netns", self.br)
            sh("ip", "-n", self.br, "link", "set", peer, "master", "br0")
            sh("ip", "-n", self.br, "link", "set", peer, "up")
            sh("ip", "-n", ns, "addr", "add", addr + "/24", "dev", "eth0")
            sh("ip", "-n", ns, "link", "set", "eth0", "up")
            sh("ip", "-n", ns, "route", "add", "default", "dev", "eth0")
        return self

    def start(self, ns, argv, name, **kw):
        """A process in namespace ns, its output in the work folder's file `name`."""
        p = subprocess.Popen(["ip", "netns", "exec", ns, *argv],
                             stdout=open(f"{self.work}/{name}", "w"), stderr=subprocess.STDOUT,
                             **kw)
        self.procs.append(p)
        return p

    def drive(self, script, args, timeout):
        """Runs `script --drive ARGS...` in a D-Bus session on a fresh Xvfb in the tool's
        namespace and returns the RESULT it printed."""
        # Xvfb picks a free display itself and names it on a pipe: parallel runs never meet.
        rfd, wfd = os.pipe()
        self.start(self.tool, ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp", "-noreset"], "xvfb.out", pass_fds=(wfd,))
        os.close(wfd)
        with os.fdopen(rfd) as pipe:
            n = pipe.readline().strip()
        assert n.isdigit(), "Xvfb did not start: " + open(f"{self.work}/xvfb.out").read()
        os.makedirs(f"{self.work}/run", mode=0o700)
        env = dict(os.environ, DISPLAY=f":{n}", XDG_RUNTIME_DIR=f"{self.work}/run",
                   HOME=self.work)
        inner = subprocess.run(
            ["ip", "netns", "exec", self.tool, "dbus-run-session", "--", "/usr/bin/python3",
             os.path.abspath(script), "--drive", *args],
            env=env, capture_output=True, text=True, timeout=timeout)
        res = next((json.loads(ln[7:]) for ln in inner.stdout.splitlines()
                    if ln.startswith("RESULT ")), None)
        if inner.returncode != 0 or not res:
            print(inner.stdout, inner.stderr, sep="\n")
            raise AssertionError(f"driving the window failed ({inner.returncode})")
        assert res.get("exit") == 0, f"feldaro ended with {res.get('exit')}"
        return res

    def __exit__(self, *exc):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    p.kill()
        for ns in self.made:
            pids = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True)
            for pid in pids.stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        if self.ok:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print(f"logs kept in {self.work}")
        return False


class Bus:
    """feldaro as a screen reader sees it. Made inside the D-Bus session, before the
    program starts, so its bridge knows from the start that focus events are listened to."""

    KEYS = {"Tab": 0xFF09, "Down": 0xFF54, "Up": 0xFF52, "Right": 0xFF53, "Return": 0xFF0D,
            "space": 0x20}  # X keysyms

    def __init__(self):
        import pyatspi
        from gi.repository import GLib
        self.at, self.glib = pyatspi, GLib
        # Where the focus is, as the focus events on the bus report it (a reader follows
        # these; the cached states of objects that lost the focus are not reliable).
        self.focus = None
        pyatspi.Registry.registerEventListener(self._on_focus, "object:state-changed:focused")

    def _on_focus(self, ev):
        if ev.detail1 == 1:
            self.focus = ev.source

    def pump(self):
        ctx = self.glib.MainContext.default()
        while ctx.pending():
            ctx.iteration(False)

    def press(self, key):
        self.at.Registry.generateKeyboardEvent(self.KEYS[key], None, self.at.KEY_SYM)
        time.sleep(0.3)
        self.pump()

    @staticmethod
    def kids(o):
        return [c for c in (o.getChildAtIndex(i) for i in range(o.childCount)) if c is not None]

    def spoken(self, o):
        # A combo box is spoken by the label that labels it (Qt on Linux names it by its
        # current text); everything else by its own name.
        at = self.at
        if o.getRole() in (at.ROLE_COMBO_BOX, at.ROLE_PAGE_TAB_LIST):
            labels = [r.getTarget(i) for r in o.getRelationSet()
                      if r.getRelationType() == at.RELATION_LABELLED_BY
                      for i in range(r.getNTargets())]
            labels.sort(key=lambda t: t.getRole() != at.ROLE_LABEL)  # a label first
            if labels:
                return labels[0].name
        return o.name

    def walk(self, o, depth=0):
        yield o
        if depth < 25 and o.getRole() not in (self.at.ROLE_LIST, self.at.ROLE_COMBO_BOX):
            for c in self.kids(o):
                yield from self.walk(c, depth + 1)

    def find(self, root, role, name):
        return next((o for o in self.walk(root) if o.getRole() == role and
                     self.spoken(o) == name), None)

    def focused(self, o):
        """o has the focus, or one of its lines has it."""
        self.pump()
        f = self.focus
        return f is not None and (f == o or (f.parent is not None and f.parent == o))

    def tab_to(self, o, what, presses=45):
        """The Tab key, as a keyboard user moves on, until o has the focus."""
        for _ in range(presses):
            if self.focused(o):
                return
            self.press("Tab")
        raise AssertionError(f"the Tab key never reached {what}")

    def app_root(self):
        return next((a for a in self.kids(self.at.Registry.getDesktop(0))
                     if a.name == "feldaro"), None)

    def box(self, root, caption):
        """The message box of that caption on screen now, or None."""
        return next((o for o in self.kids(root) if o.name == caption and
                     o.getState().contains(self.at.STATE_SHOWING)), None)

    def push(self, root, name):
        """Presses the button of that name below root through its action."""
        b = self.find(root, self.at.ROLE_PUSH_BUTTON, name)
        assert b is not None, f"no button {name}"
        b.queryAction().doAction(0)

    def dump(self):
        """What the bus shows of feldaro, for the log of a failed run."""
        f = self.focus
        print("FOCUS", f and f.getRoleName(), f and self.spoken(f), file=sys.stderr)
        r = self.app_root()
        for o in (self.walk(r) if r else []):
            st = " ".join(self.at.stateToString(x) for x in o.getState().getStates())
            print(f"  {o.getRoleName()} '{self.spoken(o)}' {o.description!r} [{st}]",
                  file=sys.stderr)


def stop_and_report(app, result):
    """Ends feldaro as the desktop does (SIGTERM) and prints the RESULT line with its exit
    status ("hung" when it did not end)."""
    app.send_signal(signal.SIGTERM)
    try:
        result["exit"] = app.wait(10)
    except subprocess.TimeoutExpired:
        app.kill()
        result["exit"] = "hung"
    print("RESULT " + json.dumps(result, ensure_ascii=False), flush=True)
