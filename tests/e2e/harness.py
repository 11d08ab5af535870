"""End-to-end harness: pellarin.exe under Wine between a simulated terminal and host.

Why it is built this way. The relay is tested as an operator meets it: a working directory
with the three binaries and a config.ini, COM1 wired to a pty pair (tools/with-ptys.sh) whose
other end is the terminal simulator (tools/termsim.py), hosts on loopback (tools/hostsim.py,
plain or TLS with a fresh test PKI), and the notification area played by winprobe's tray
shell. Nothing is hooked inside the program: results are read back from outside, as bytes at
both ends, the log window's text (edit 1002 of "디버그 화면"), the registry and the pictures
the program hands to the shell. Every wait polls for the state that proves an outcome, with a
bound; nothing is timed by sleeping.

The harness needs DISPLAY and the with-ptys.sh environment; main() re-runs the caller under
tools/with-display.sh and tools/with-ptys.sh when they are missing.
"""

import json
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

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


def free_port():
    """A loopback port <= 9999 (the request carries 4 digits) where nothing listens."""
    for p in range(9999, 2000, -7):
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", p))
        except OSError:
            continue
        finally:
            s.close()
        return p
    raise RuntimeError("no free port")


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
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
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
            self.proc.kill()
            self.proc.wait()
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
        timeout = kw.get("timeout", 0) / 1000.0 + 30
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
        ready = self.next(60)
        if not ready or ready.get("ev") != "ready":
            raise RuntimeError("tray shell did not start: %r" % ready)
        if not ready.get("first"):
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
    """pellarin.exe running in its own working directory, seen through the inspector."""

    def __init__(self, build_dir, inspector, tray, level=99, pki=None, env=None, parent=None):
        self.build_dir = build_dir
        self.inspector = inspector
        self.tray = tray
        self.workdir = tempfile.mkdtemp(prefix="relay-", dir=parent)
        self.level = level
        self.pki = pki
        self.extra_env = env or {}
        self.proc = None
        self.main = self.log = None
        self.pid = None
        self.log_mark = 0

    # -- set-up --------------------------------------------------------------------------
    def install(self):
        for name in ("pellarin.exe", "pellarin.dll", "ssllib32.dll"):
            shutil.copy2(find_binary(self.build_dir, name), self.workdir)
        with open(os.path.join(self.workdir, "config.ini"), "w", encoding="ascii") as f:
            f.write("[DEBUG]\r\nLEVEL=%d\r\n" % self.level)
        if self.pki:
            # ssllib32's documented trust setting: only the test CA is trusted as a root.
            with open(os.path.join(self.workdir, "ssllib32.ini"), "w", encoding="ascii") as f:
                f.write("[TLS]\r\nCAFile=%s\r\nLogFile=%s\r\n" % (
                    wine_path(os.path.join(self.pki, "ca.crt")),
                    wine_path(os.path.join(self.workdir, "ssllib32.log"))))

    def start(self, timeout=60):
        self.install()
        env = dict(os.environ)
        env.update(self.extra_env)
        for k in ("SSLLIB32_CAFILE", "SSLLIB32_PINSHA256", "SSLLIB32_INSECURE_SKIP_VERIFY"):
            env.pop(k, None)
        env["SSLLIB32_INI"] = wine_path(os.path.join(self.workdir, "ssllib32.ini"))
        self.tray_mark = self.tray.mark()
        with open(os.path.join(self.workdir, "output.txt"), "wb") as out:
            self.proc = subprocess.Popen([WINE_RUN, os.path.join(self.workdir, "pellarin.exe")],
                                         cwd=self.workdir, env=env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT)
        def main_window():
            if self.proc.poll() is not None:
                return "ended"
            r = self.inspector.call("find", caption=MAIN_CAPTION, timeout=500)
            return r if r.get("ok") else None

        found = poll(main_window, timeout)
        if not isinstance(found, dict):
            raise RuntimeError("main window %r did not appear (exit code %r; output in %s)" % (
                MAIN_CAPTION, self.proc.poll(), self.workdir))
        self.main, self.pid = found["hwnd"], found["pid"]
        log = self.inspector.call("find", caption=LOG_CAPTION, pid=self.pid, timeout=BOUND * 1000)
        if not log.get("ok"):
            raise RuntimeError("log window %r did not appear" % LOG_CAPTION)
        self.log = log["hwnd"]
        # The port is open (or not) once its status line is logged; bytes sent before that
        # would be purged by the open.
        self.port_status = self.wait_log(
            lambda es: any(e.kind == "status" and " Open " in e.text for e in es))
        return self

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
        view = 64 if pe_is_64bit(os.path.join(self.workdir, "pellarin.dll")) else 32
        return self.inspector.call("reg", key=REG_KEY, value=value, view=view)

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
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


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
        self.pki = make_test_pki.make(os.path.join(self.tmp, "pki"))
        exe = find_binary(self.build_dir, "winprobe.exe")
        self.inspector = Inspector(exe)
        # Boots the prefix's server and its explorer first, so our shell window comes after
        # (in front of) explorer's own hidden one.
        self.inspector.call("list", **{"class": "Shell_TrayWnd"})
        self.tray = TrayShell(exe)
        dll = find_binary(self.build_dir, "pellarin.dll")
        self.view = 64 if pe_is_64bit(dll) else 32  # the registry view the relay writes
        r = self.inspector.call("icon-hash", module=wine_path(dll), ids="131,132")
        hashes = {(i["id"], i["size"]): i["icon"] for i in r.get("icons", [])}
        if (ICON_IDLE, 0) not in hashes or (ICON_TRAFFIC, 0) not in hashes:
            raise RuntimeError("icons 131/132 not found in %s: %r" % (dll, r))
        self.idle = hashes[(ICON_IDLE, 0)]
        self.traffic = hashes[(ICON_TRAFFIC, 0)]
        if self.idle == self.traffic:
            raise RuntimeError("icons 131 and 132 have the same picture")
        self.terminal = termsim.Terminal(os.environ["PELLARIN_TERM_COM1"])

    def store_port(self, port="COM1"):
        """The port the next relay opens (None: no stored port, so the default COM1)."""
        if port is None:
            return self.inspector.call("reg", key=REG_KEY, value="COM Port", delete=1, view=self.view)
        return self.inspector.call("reg", key=REG_KEY, value="COM Port", set=port, view=self.view)

    def relay(self, **kw):
        return Relay(self.build_dir, self.inspector, self.tray, pki=self.pki, parent=self.tmp, **kw)

    def host(self, tls=None, script=None):
        """A scripted host; tls names a certificate of the test PKI (server_ip1, selfsigned...)."""
        files = None
        if tls:
            files = hostsim.TlsFiles(os.path.join(self.pki, tls + ".crt"),
                                     os.path.join(self.pki, tls + ".key"))
        return hostsim.Listener(tls=files, script=script or {}).start()

    def close(self):
        self.terminal.close()
        self.tray.stop()
        self.inspector.stop()
        # PELLARIN_E2E_KEEP=1 keeps the working directories (output.txt, ssllib32.log, PKI).
        if os.environ.get("PELLARIN_E2E_KEEP") == "1":
            print("e2e: kept %s" % self.tmp, file=sys.stderr)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


def ensure_environment(argv):
    """Re-runs argv under a display and the pty pairs when they are missing."""
    wrap = []
    if not os.environ.get("DISPLAY"):
        wrap += ["bash", os.path.join(TOOLS, "with-display.sh")]
    if not os.environ.get("PELLARIN_TERM_COM1"):
        wrap += ["bash", os.path.join(TOOLS, "with-ptys.sh")]
    if wrap:
        os.execvp(wrap[0], wrap + [sys.executable] + argv)
