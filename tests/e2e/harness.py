"""End-to-end harness: pellarin.exe under Wine between a simulated terminal and host.

Why it is built this way. The relay is tested as an operator meets it: a working directory
with the three binaries and a config.ini, COM1 wired to a pty pair (tools/with-ptys.sh) whose
other end is the terminal simulator (tools/termsim.py), hosts on loopback (tools/hostsim.py,
plain or TLS with a fresh test PKI), and the notification area played by winprobe's tray
shell. Nothing is hooked inside the program: results are read back from outside, as bytes at
both ends, the log window's text (edit 1002 of "디버그 화면"), the registry and the pictures
the program hands to the shell. Every wait polls for the state that proves an outcome, with a
bound; nothing is timed by sleeping.

Runs must not see each other. A relay is known by the Windows process it is (learnt at start
from the path of its own copy of pellarin.exe), and its windows are looked up by that process,
never by caption alone: a window of an earlier relay that Wine is still tearing down has the
same caption. A relay is ended when the test that started it ends, whatever failed (its
cleanup is registered with that test), and before each start whatever an earlier run left in
the prefix is ended, so two relays never share COM1. A start that fails says what it saw.

The harness needs DISPLAY and the with-ptys.sh environment; main() re-runs the caller under
tools/with-display.sh and tools/with-ptys.sh when they are missing.
"""

import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOLS = os.path.join(ROOT, "tools")
sys.path.insert(0, TOOLS)

import hostsim  # noqa: E402  (tools/ is put on the path just above)
import make_test_pki  # noqa: E402
import termsim  # noqa: E402

WINE_RUN = os.path.join(TOOLS, "wine-run.sh")

PRODUCT_TITLE = "(주)Norvane Pellarin"
MAIN_CAPTION = PRODUCT_TITLE + " 1.3"
LOG_CAPTION = "디버그 화면"
EXIT_QUESTION = "프로그램을 종료하시겠습니까?"
REG_KEY = "HKLM\\Software\\(주)Norvane\\(주)Norvane Pellarin\\1.0"

IDC_EDIT_LOG = 1002
IDC_BUTTON_CLEAR = 1003
ID_TRAY_EXIT = 32774
ICON_IDLE, ICON_TRAFFIC = 131, 132
TRAY_ICON_ID = 133
WM_TRAY_NOTIFY = 1034
IDOK, IDCANCEL = 1, 2

ACK, ENQ, EOT, DLE, NAK, EOM = 0x06, 0x05, 0x04, 0x10, 0x15, 0x19

BOUND = 15.0  # seconds: generous bound for anything that should take well under a second

# Seconds: the bound on starting a Windows program (the relay, or the first winprobe, which
# boots the prefix's Wine server and services): three times the first start of the x86_64
# pellarin.exe in a new prefix, measured on a 2-core machine shared with other builds (load
# average 8) as 5.9 s and 6.6 s from the start to its first window, server boot included.
FIRST_START_MEASURED = 6.6
START_BOUND = 3 * FIRST_START_MEASURED
WINE_BOOT_BOUND = START_BOUND
# Seconds an earlier run's pellarin.exe is given to end by itself before it is ended.
LEFTOVER_GRACE = 5.0


def wine_path(path):
    """The Windows name of a Linux path (Wine maps Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def connect_request(port, kind=0x21, tail=None, groups=("127", "000", "000", "001")):
    """The 18-byte connect request: kind, four 3-digit groups, the port as 4 digits, byte 17."""
    if tail is None:
        tail = kind if kind != 0x25 else ord("X")
    body = "".join(groups).encode("ascii") + b"%04d" % port
    return bytes([kind]) + body + bytes([tail])


def fill(n, first=None):
    """n bytes 01..FF repeating (no zero byte), optionally with a chosen first byte."""
    data = bytes((k % 255) + 1 for k in range(n))
    return data if first is None else bytes([first]) + data[1:]


def _bind_low_port():
    """A socket bound to a loopback port <= 9999 (the request carries 4 digits), not listening."""
    for p in range(9999, 2000, -7):
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", p))
        except OSError:
            s.close()
            continue
        return s
    raise RuntimeError("no free port")


def free_port():
    """A loopback port <= 9999 where nothing listens now, for a listener of the caller's."""
    with _bind_low_port() as s:
        return s.getsockname()[1]


_refusing = []


def refusing_port():
    """A loopback port <= 9999 that refuses every connect while this process runs: a socket of
    ours holds it bound and never listens. A port merely found free can be taken meanwhile by
    another test run on the machine, and one that listens without accepting turns the refusal
    into a connect that hangs."""
    if not _refusing:
        _refusing.append(_bind_low_port())
    return _refusing[0].getsockname()[1]


def poll(predicate, timeout=BOUND, interval=0.05):
    """Calls predicate until it returns a true value or timeout passes; returns the last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class _LineProcess:
    """A Windows console program under Wine whose stdout is JSON lines, read by a thread."""

    def __init__(self, args, cwd=None, env=None):
        self.proc = subprocess.Popen([WINE_RUN] + args, cwd=cwd, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            try:
                self.lines.put(json.loads(raw.decode("utf-8")))
            except ValueError:
                self.lines.put({"ev": "noise", "text": raw.decode("utf-8", "replace")})
        self.lines.put(None)
        self.proc.stdout.close()

    def next(self, timeout):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def stop(self, timeout=10):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            kill_tree(self.proc)
        self.proc.stdin = None


class Inspector(_LineProcess):
    """winprobe in "repl" mode: one command line in, one JSON answer out."""

    def __init__(self, exe):
        super().__init__([exe, "repl"])
        self.lock = threading.Lock()

    def call(self, command, /, **kw):
        words = [command]
        for k, v in kw.items():
            words += ["--" + k.replace("_", "-"), str(v)]
        timeout = kw.get("timeout", 0) / 1000.0 + WINE_BOOT_BOUND
        with self.lock:
            self.proc.stdin.write(("\t".join(words) + "\n").encode("utf-8"))
            self.proc.stdin.flush()
            answer = self.next(timeout)
        if answer is None:
            raise RuntimeError("winprobe did not answer %s" % command)
        return answer


class TrayShell(_LineProcess):
    """winprobe "tray-shell": owns Shell_TrayWnd and reports every Shell_NotifyIcon call."""

    def __init__(self, exe):
        super().__init__([exe, "tray-shell"])
        self.events = []
        self.cond = threading.Condition()
        ready = self.next(WINE_BOOT_BOUND)
        if not ready or ready.get("ev") != "ready":
            self.stop(1)
            raise RuntimeError("tray shell did not start within %.0f s: %r" % (WINE_BOOT_BOUND, ready))
        if not ready.get("first"):
            self.stop(1)
            raise RuntimeError("another Shell_TrayWnd comes first; the shell's copies miss us")
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        while True:
            ev = self.lines.get()
            if ev is None:
                return
            with self.cond:
                self.events.append(ev)
                self.cond.notify_all()

    def calls(self, owner, since=0):
        """Tray calls of one owner window, from index since on."""
        with self.cond:
            return [e for e in self.events[since:] if e.get("ev") == "tray" and e["owner"] == owner]

    def mark(self):
        with self.cond:
            return len(self.events)

    def hold_calls(self, ms):
        """Makes the stand-in shell hold every later Shell_NotifyIcon call ms before it
        answers (0: answer at once again), as a hung or slow shell does."""
        self.proc.stdin.write(b"delay %d\n" % ms)
        self.proc.stdin.flush()

    def wait(self, predicate, timeout=BOUND):
        with self.cond:
            return self.cond.wait_for(lambda: predicate(self), timeout)


# Log lines (the log window's own layouts): a time stamp, then a status text or a block.
_STAMP = r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d"
_BLOCK = re.compile(_STAMP + r" \[(CAT->VAN|CAT<-VAN)\] \[(\d{3,4})\] \[(.*?)\] \[([0-9a-f]*)\]\r\n", re.S)
_STATUS = re.compile(_STAMP + r" (?!\[CAT)(.*?)\r\n")


class LogEntry:
    def __init__(self, kind, count=0, chars="", hexdump="", text=""):
        self.kind = kind  # "status", "CAT->VAN" or "CAT<-VAN"
        self.count = count
        self.chars = chars
        self.hex = hexdump
        self.text = text

    def __repr__(self):
        if self.kind == "status":
            return "<status %r>" % self.text
        return "<%s [%d] %s>" % (self.kind, self.count, self.hex[:40])


def parse_log(text):
    """Entries in order. Block lines are matched first (their character field may hold any
    byte, CR and LF too); the rest of the text is status lines."""
    entries = []
    pos = 0
    stamp = re.compile(_STAMP + " ")
    while pos < len(text):
        m = _BLOCK.match(text, pos)
        if m:
            entries.append(LogEntry(m.group(1), int(m.group(2)), m.group(3), m.group(4)))
            pos = m.end()
            continue
        m = _STATUS.match(text, pos)
        if m:
            entries.append(LogEntry("status", text=m.group(1)))
            pos = m.end()
            continue
        nxt = stamp.search(text, pos + 1)  # unknown text: skip to the next time stamp
        pos = nxt.start() if nxt else len(text)
    return entries


class Relay:
    """pellarin.exe running in its own working directory, seen through the inspector.

    By default the build's binaries and a config.ini are copied into that directory. With
    `program` (the Windows path of an installed pellarin.exe) that program runs instead, as it
    is, with `cwd` (a Linux path) as its current directory and `args` on its command line;
    nothing is copied."""

    def __init__(self, build_dir, inspector, tray, level=99, pki=None, env=None, parent=None,
                 log=None, config="", program=None, cwd=None, args=(), tls_ini=""):
        self.build_dir = build_dir
        self.program = program
        self.cwd = cwd
        self.args = list(args)
        self.inspector = inspector
        self.tray = tray
        self.workdir = tempfile.mkdtemp(prefix="relay-", dir=parent)
        self.level = level
        self.log_settings = log or {}  # config.ini [LOG] keys and values
        self.config = config  # more config.ini text after [DEBUG] (a [RELAY] section)
        self.pki = pki
        self.tls_ini = tls_ini  # more [TLS] lines of the ssllib32.ini beside the DLL
        self.extra_env = env or {}
        self.proc = None
        self.main = self.log = None
        self.pid = None  # the Windows process id, learnt at start
        self.log_mark = 0
        self.bench = None  # the Bench that made it, whose other relays it must not meet
        self.started_by = None  # the test (or class) whose cleanup ends it
        self.ended = False

    @property
    def image(self):
        """The Windows path of this relay's own pellarin.exe: what tells its process apart."""
        return self.program or wine_path(os.path.join(self.workdir, "pellarin.exe"))

    # -- set-up --------------------------------------------------------------------------
    def install(self):
        if self.program:
            return
        for name in ("pellarin.exe", "pellarin.dll", "ssllib32.dll"):
            shutil.copy2(find_binary(self.build_dir, name), self.workdir)
        with open(os.path.join(self.workdir, "config.ini"), "w", encoding="ascii") as f:
            f.write("[DEBUG]\r\nLEVEL=%d\r\n" % self.level)
            if self.log_settings:
                f.write("[LOG]\r\n" + "".join("%s=%s\r\n" % kv for kv in self.log_settings.items()))
            f.write(self.config)
        if self.pki:
            # ssllib32's documented trust setting: only the test CA is trusted as a root.
            with open(os.path.join(self.workdir, "ssllib32.ini"), "w", encoding="ascii") as f:
                f.write("[TLS]\r\nCAFile=%s\r\nLogFile=%s\r\n%s" % (
                    wine_path(os.path.join(self.pki, "ca.crt")),
                    wine_path(os.path.join(self.workdir, "ssllib32.log")), self.tls_ini))

    def start(self, timeout=None, alone=True):
        """Starts pellarin.exe and waits for its windows and its port's status line.

        Before the start, whatever an earlier run left in the prefix is ended; a relay of this
        Bench that still runs makes the start fail unless alone is False (two relays on one port
        share its bytes). The relay is ended when the test that called start() ends (its
        cleanup), and at once when the start fails, with what was seen in the message."""
        timeout = START_BOUND if timeout is None else timeout
        self.install()
        self._clear_the_way(alone)
        env = dict(os.environ)
        # The library reads its trust from the ssllib32.ini beside it (install()); the
        # environment may not loosen it, so only what a case asks for is passed on.
        for k in ("SSLLIB32_CAFILE", "SSLLIB32_PINSHA256", "SSLLIB32_INSECURE_SKIP_VERIFY",
                  "SSLLIB32_INI"):
            env.pop(k, None)
        env.update(self.extra_env)
        self.tray_mark = self.tray.mark()
        with open(os.path.join(self.workdir, "output.txt"), "wb") as out:
            program = self.program or os.path.join(self.workdir, "pellarin.exe")
            self.proc = subprocess.Popen([WINE_RUN, program] + self.args,
                                         cwd=self.cwd or self.workdir, env=env,
                                         stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True)
        self.started_at = time.monotonic()
        self._end_with_caller()
        try:
            self._wait_started(time.monotonic() + timeout)
        except Exception as e:
            seen = self.describe()
            self.kill()
            raise RuntimeError("%s after %.1f s (bound %.0f s)\n%s" % (
                e, time.monotonic() - self.started_at, timeout, seen)) from None
        return self

    def _wait_started(self, deadline):
        def left():
            return max(0.0, deadline - time.monotonic())

        def own_process():
            if self.proc.poll() is not None:
                return "ended"
            procs = self.inspector.call("procs", image=self.image).get("procs", [])
            return procs[0]["pid"] if procs else None

        pid = poll(own_process, left())
        if pid in (None, "ended"):
            raise RuntimeError("pellarin.exe did not come up as a Windows process")
        self.pid = pid

        def window(caption):
            def find():
                if self.proc.poll() is not None:
                    return "ended"
                r = self.inspector.call("find", caption=caption, pid=self.pid, timeout=200)
                if r.get("ok"):
                    return r
                # Wine may list a short-lived process of the same image before the one that
                # runs (seen under load when the loader starts it over): follow the image to
                # the process that is there now.
                procs = self.inspector.call("procs", image=self.image).get("procs", [])
                if procs and self.pid not in [p["pid"] for p in procs]:
                    self.pid = procs[0]["pid"]
                return None
            found = poll(find, left())
            if not isinstance(found, dict):
                raise RuntimeError("window %r of pellarin.exe (pid %d) did not appear" % (
                    caption, self.pid))
            return found["hwnd"]

        self.main = window(MAIN_CAPTION)
        self.log = window(LOG_CAPTION)
        # A dialog is listed as soon as its own window exists, before its controls are made:
        # the log is readable once its edit control is there.
        if not poll(lambda: self.inspector.call("text", hwnd=self.log, id=IDC_EDIT_LOG)
                    .get("ok"), left()):
            raise RuntimeError("the log window of pellarin.exe (pid %d) has no edit control"
                               % self.pid)
        self.load_time = time.monotonic() - self.started_at
        # The port is open (or not) once its status line is logged; bytes sent before that
        # would be purged by the open.
        self.port_status = self.wait_log(
            lambda es: any(e.kind == "status" and " Open " in e.text for e in es),
            max(BOUND, left()))

    def _end_with_caller(self):
        """Registers kill() as a cleanup of the test (or test class) that called start(), so
        the relay ends when that test ends, whatever failed in it."""
        frame = sys._getframe(2)
        while frame:
            owner = frame.f_locals.get("self")
            if isinstance(owner, unittest.TestCase):
                owner.addCleanup(self.kill)
                self.started_by = owner.id()
                return
            owner = frame.f_locals.get("cls")
            if isinstance(owner, type) and issubclass(owner, unittest.TestCase):
                owner.addClassCleanup(self.kill)
                self.started_by = owner.__qualname__
                return
            frame = frame.f_back
        self.started_by = "(no test: ended by Bench.close or the caller)"

    def _clear_the_way(self, alone):
        """Ends what an earlier run left in the prefix; fails when a live relay of this Bench
        would share the port."""
        live = {r.pid: r for r in (self.bench.relays if self.bench else [])
                if r is not self and r.running()}
        if alone and live:
            raise RuntimeError("another relay of this run still runs (pid %s, started by %s); "
                               "two relays would share the port" % (
                                   ", ".join(str(p) for p in live),
                                   ", ".join(r.started_by or "?" for r in live.values())))

        # Left by earlier runs: any pellarin.exe, and any test program of this build (one that
        # runs pellarin.dll holds the port as well); the probes are the Bench's business.
        build = wine_path(self.build_dir).lower() + "\\"

        def strangers():
            procs = self.inspector.call("procs").get("procs", [])
            return [p for p in procs if p["pid"] not in live and (
                p["name"].lower() == "pellarin.exe" or
                (p["image"].lower().startswith(build) and p["name"].lower() != "winprobe.exe"))]

        left = poll(lambda: not strangers(), LEFTOVER_GRACE) or strangers()
        if left is True:
            return
        for p in left:
            r = self.inspector.call("kill", pid=p["pid"], image=p["image"], timeout=5000)
            print("e2e: ended a program left running in the prefix (pid %d, %s): %r" % (
                p["pid"], p["image"], r), file=sys.stderr)
        still = poll(lambda: not strangers(), BOUND) or strangers()
        if still is not True:
            raise RuntimeError("another program holds the port and could not be ended: %s" %
                               "; ".join("pid %d %s" % (p["pid"], p["image"]) for p in still))

    def running(self):
        return self.proc is not None and self.proc.poll() is None and not self.ended

    def describe(self):
        """What can be seen of this relay and its kind, for a failure message."""
        lines = []
        if self.proc is None:
            lines.append("process: not started")
        else:
            code = self.proc.poll()
            lines.append("process: %s" % ("running (Linux pid %d)" % self.proc.pid if code is None
                                           else "ended with exit code %r" % code))
        lines.append("Windows process id: %r (image %s)" % (self.pid, self.image))
        try:
            procs = self.inspector.call("procs", name="pellarin.exe").get("procs", [])
            lines.append("pellarin.exe processes in the prefix: %s" % (
                "; ".join("pid %d %s" % (p["pid"], p["image"]) for p in procs) or "none"))
            wins = [w for w in self.inspector.call("list").get("windows", [])
                    if w.get("pid") == self.pid or w.get("caption") in (MAIN_CAPTION, LOG_CAPTION)
                    or w.get("image", "").lower().endswith("\\pellarin.exe")]
            lines.append("windows: %s" % ("; ".join(
                "%s %r pid %d%s" % (w["class"], w["caption"], w["pid"],
                                    "" if w["visible"] else " hidden") for w in wins) or "none"))
        except Exception as e:  # the inspector itself may be what failed
            lines.append("inspector: %s" % e)
        out = os.path.join(self.workdir, "output.txt")
        try:
            with open(out, "rb") as f:
                text = f.read()[-1500:].decode("utf-8", "replace").strip()
            lines.append("output (%s): %s" % (out, text or "empty"))
        except OSError as e:
            lines.append("output: %s" % e)
        return "\n".join("  " + line for line in lines)

    # -- reading back ----------------------------------------------------------------------
    def log_text(self):
        r = self.inspector.call("text", hwnd=self.log, id=IDC_EDIT_LOG)
        if not r.get("ok"):
            raise RuntimeError("cannot read the log: %r; relay exit code %r (its output: %s)" % (
                r, self.proc.poll(), os.path.join(self.workdir, "output.txt")))
        return r["text"]

    def entries(self):
        """Log entries since the last mark_log()."""
        return parse_log(self.log_text()[self.log_mark:])

    def mark_log(self):
        """Starts a fresh stretch of log: presses "모두 지우기" and waits for the control to
        empty; whatever is left (a line still queued in the sink) is skipped by position."""
        self.inspector.call("press", hwnd=self.log, button=IDC_BUTTON_CLEAR)
        poll(lambda: self.log_text() == "", timeout=3)
        self.log_mark = len(self.log_text())

    def wait_log(self, predicate, timeout=BOUND):
        """Polls the log until predicate(entries) is true; returns the entries."""
        last = []

        def check():
            last[:] = [self.entries()]
            return predicate(last[0])
        poll(check, timeout)
        return last[0]

    def wait_status(self, text, timeout=BOUND):
        return self.wait_log(lambda es: any(e.kind == "status" and e.text == text for e in es),
                             timeout)

    def registry(self, value):
        return self.inspector.call("reg", key=REG_KEY, value=value, view=32)

    def tray_calls(self):
        return self.tray.calls(self.main, self.tray_mark) if self.main else []

    def icon_now(self):
        """The picture last handed to the shell (a hash), or None."""
        icons = [c["icon"] for c in self.tray_calls() if "icon" in c]
        return icons[-1] if icons else None

    def wait_icon(self, expected, timeout=BOUND):
        """Waits until the picture the shell shows is expected. The relay skips a change to
        the picture already shown, so no new call need come for it."""
        return self.tray.wait(lambda _: self.icon_now() == expected, timeout)

    def icons_since(self, since):
        """The pictures shown from tray mark since on: the one shown at the mark (if any),
        then each one handed over after it."""
        calls = self.tray_calls()
        after = self.tray.calls(self.main, since) if self.main else []
        before = [c["icon"] for c in calls[:len(calls) - len(after)] if "icon" in c]
        return before[-1:] + [c["icon"] for c in after if "icon" in c]

    # -- ending ------------------------------------------------------------------------------
    def exit_through_tray(self, timeout=BOUND):
        """Exit from the tray menu, then OK in the confirmation box. Returns the exit code, or
        raises if the box did not come or the process did not end within timeout."""
        r = self.inspector.call("command", hwnd=self.main, cmd=ID_TRAY_EXIT)
        if not r.get("ok"):
            raise RuntimeError("Exit command not delivered: %r" % r)
        box = self.inspector.call("box", caption=PRODUCT_TITLE, pid=self.pid,
                                  contains=EXIT_QUESTION, timeout=int(timeout * 1000))
        if not box.get("ok"):
            raise RuntimeError("no exit confirmation box")
        self.inspector.call("press", hwnd=box["hwnd"], button=IDOK)
        return self.proc.wait(timeout)

    def kill(self):
        """Ends the relay if it still runs (its Wine process and what it started) and waits
        until the Windows process is gone. Safe to call any number of times."""
        self.ended = True
        if self.proc is not None:
            kill_tree(self.proc)
        if self.pid is not None:
            try:
                self.inspector.call("kill", pid=self.pid, image=self.image, timeout=5000)
            except Exception:  # the inspector may be gone already; the process group is
                pass


def kill_tree(proc, timeout=10):
    """Ends a process started with start_new_session=True and everything in its process group
    (the Wine loader of the program and the processes it spawned), then reaps it."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        pass


def find_binary(build_dir, name):
    for dirpath, _dirs, files in os.walk(build_dir):
        if name in files and "CMakeFiles" not in dirpath:
            return os.path.join(dirpath, name)
    raise FileNotFoundError("%s not built in %s" % (name, build_dir))


def pe_is_64bit(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[pe + 4:pe + 6], "little") == 0x8664


class Bench:
    """Everything a run shares: the PKI, the inspector, the tray shell and the icon hashes."""

    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.tmp = tempfile.mkdtemp(prefix="pellarin-bench-")
        self.relays = []
        self.inspector = self.tray = self.terminal = None
        try:
            self._open()
        except BaseException:
            self.close()
            raise

    def _open(self):
        self.pki = make_test_pki.make(os.path.join(self.tmp, "pki"))
        exe = find_binary(self.build_dir, "winprobe.exe")
        if os.environ.get("PELLARIN_NO_32BIT") == "1" and not pe_is_64bit(exe):
            raise RuntimeError("this machine runs no 32-bit programs, so Wine cannot run the "
                               "i686 build in %s (see tools/wine-env.sh)" % self.build_dir)
        self.inspector = Inspector(exe)
        # Boots the prefix's server and its explorer first, so our shell window comes after
        # (in front of) explorer's own hidden one.
        started = time.monotonic()
        self.inspector.call("list", **{"class": "Shell_TrayWnd"})
        self.boot_time = time.monotonic() - started
        self._end_earlier_probes()
        self.tray = TrayShell(exe)
        dll = find_binary(self.build_dir, "pellarin.dll")
        self.view = 32  # the registry view both builds of the relay use, as the installer does
        r = self.inspector.call("icon-hash", module=wine_path(dll), ids="131,132")
        hashes = {(i["id"], i["size"]): i["icon"] for i in r.get("icons", [])}
        if (ICON_IDLE, 0) not in hashes or (ICON_TRAFFIC, 0) not in hashes:
            raise RuntimeError("icons 131/132 not found in %s: %r" % (dll, r))
        self.idle = hashes[(ICON_IDLE, 0)]
        self.traffic = hashes[(ICON_TRAFFIC, 0)]
        if self.idle == self.traffic:
            raise RuntimeError("icons 131 and 132 have the same picture")
        self.terminal = termsim.Terminal(os.environ["PELLARIN_TERM_COM1"])

    def _end_earlier_probes(self):
        """Ends winprobe processes an earlier run left in the prefix: a tray shell of theirs
        would come before ours and receive the relay's tray calls."""
        me = self.inspector.call("self")["pid"]
        for p in self.inspector.call("procs", name="winprobe.exe").get("procs", []):
            if p["pid"] != me:
                r = self.inspector.call("kill", pid=p["pid"], image=p["image"], timeout=5000)
                print("e2e: ended a winprobe left running in the prefix (pid %d, %s): %r" % (
                    p["pid"], p["image"], r), file=sys.stderr)

    def store_port(self, port="COM1"):
        """The port the next relay opens (None: no stored port, so the default COM1)."""
        if port is None:
            return self.inspector.call("reg", key=REG_KEY, value="COM Port", delete=1, view=self.view)
        return self.inspector.call("reg", key=REG_KEY, value="COM Port", set=port, view=self.view)

    def relay(self, **kw):
        relay = Relay(self.build_dir, self.inspector, self.tray, pki=self.pki, parent=self.tmp, **kw)
        relay.bench = self
        self.relays.append(relay)
        return relay

    def host(self, tls=None, script=None):
        """A scripted host; tls names a certificate of the test PKI (server_ip1, selfsigned...)."""
        files = None
        if tls:
            files = hostsim.TlsFiles(os.path.join(self.pki, tls + ".crt"),
                                     os.path.join(self.pki, tls + ".key"))
        return hostsim.Listener(tls=files, script=script or {}).start()

    def close(self):
        """Ends every relay it made that still runs, then its own helpers."""
        for relay in self.relays:
            relay.kill()
        if self.terminal:
            self.terminal.close()
        if self.tray:
            self.tray.stop()
        if self.inspector:
            self.inspector.stop()
        # PELLARIN_E2E_KEEP=1 keeps the working directories (output.txt, ssllib32.log, PKI).
        if os.environ.get("PELLARIN_E2E_KEEP") == "1":
            print("e2e: kept %s" % self.tmp, file=sys.stderr)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


def share_bench(module_globals, port=None):
    """Gives a test module one Bench for all its cases, as its global BENCH: defines the
    module's setUpModule (opens it; stores `port` as the relay's port when given) and
    tearDownModule (closes it)."""
    module_globals["BENCH"] = None

    def setUpModule():
        bench = Bench(os.environ["PELLARIN_BUILD_DIR"])
        module_globals["BENCH"] = bench
        if port:
            bench.store_port(port)

    def tearDownModule():
        if module_globals["BENCH"]:
            module_globals["BENCH"].close()

    module_globals["setUpModule"] = setUpModule
    module_globals["tearDownModule"] = tearDownModule


def run_tests(test_file):
    """The command line of an end-to-end test file: --build-dir BUILD [unittest options].

    Runs the file's cases under a display and the pty pairs (re-running itself when they are
    missing)."""
    import unittest
    args = sys.argv[1:]
    if "--build-dir" in args:
        i = args.index("--build-dir")
        os.environ["PELLARIN_BUILD_DIR"] = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    if not os.environ.get("PELLARIN_BUILD_DIR"):
        sys.exit("usage: %s --build-dir BUILD [unittest options]" % os.path.basename(test_file))
    ensure_environment([os.path.abspath(test_file)] + args)
    unittest.main(module="__main__", argv=[sys.argv[0]] + args, verbosity=2)


def ensure_environment(argv):
    """Re-runs argv under a display and the pty pairs when they are missing."""
    wrap = []
    if not os.environ.get("DISPLAY"):
        wrap += ["bash", os.path.join(TOOLS, "with-display.sh")]
    if not os.environ.get("PELLARIN_TERM_COM1"):
        wrap += ["bash", os.path.join(TOOLS, "with-ptys.sh")]
    if wrap:
        os.execvp(wrap[0], wrap + [sys.executable] + argv)
