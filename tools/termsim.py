#!/usr/bin/env python3
"""Card-terminal simulator on the terminal side of a pty null-modem pair.

A pty has no baud rate: bytes written to it arrive as fast as they are written. A real terminal
on a 9600 bit/s 8N1 line sends one byte per 10 bit times (about 1.04 ms), and the program under
test finds frame ends by 100 ms of silence, so the simulator paces its output itself. Each
byte is due at start + i * byte_time on a monotonic clock and is written when due (several at
once if the process fell behind), so the pace never drifts the way a sleep per byte does.
Unpaced sending writes a frame in one go, as a fast line would. Between frames the simulator
keeps a gap of silence.

Everything received is recorded with its monotonic time stamp, and can be written as JSON
lines ({"t": seconds since start, "dir": "rx" | "tx", "hex": ...}).

Three ways to use it:
  * as a library: Terminal(path) with send(), send_frames(), wait_received(), records();
  * from the command line: `termsim.py run PATH --script FILE --record OUT`, where each line of
    FILE is JSON: {"hex": "..."} or {"text": "..."} with optional "gap_ms" (silence before the
    frame, default 150) and "paced" (default true), or {"wait_ms": N};
  * as a control server for Windows test programs, which cannot open a Linux pty themselves:
    `termsim.py serve -- CMD...` listens on loopback, exports PELLARIN_TERMSIM=127.0.0.1:PORT
    to CMD and exits with CMD's status. The protocol is one text line per request and one
    line per answer ("OK ..." or "ERR ..."); see Server.COMMANDS.
Standard library only.
"""

import argparse
import binascii
import json
import os
import select
import socket
import socketserver
import subprocess
import sys
import termios
import threading
import time
import tty

BAUD = 9600
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
DEFAULT_GAP_MS = 150


def byte_time(baud=BAUD):
    """Seconds one byte takes on the line."""
    return BITS_PER_BYTE / float(baud)


def pace_schedule(count, start, baud=BAUD):
    """Monotonic due times of count bytes whose first byte is due at start."""
    step = byte_time(baud)
    return [start + i * step for i in range(count)]


class Terminal:
    """The terminal side of one pty pair: paced sending and time-stamped receiving."""

    def __init__(self, path, baud=BAUD):
        self.path = path
        self.baud = baud
        self.t0 = time.monotonic()
        self._fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(self._fd, termios.TCSANOW)
        except termios.error:
            pass  # not a tty (a plain file or pipe in a unit test): nothing to set
        self._cond = threading.Condition()
        self._rx = []        # (time, bytes) in arrival order
        self._tx = []        # (time, bytes) per frame sent
        self._closed = False
        self._hung_up = False
        self._wake_r, self._wake_w = os.pipe()
        self._write_lock = threading.Lock()
        self._reading = threading.Event()  # cleared: the terminal reads nothing (a stall)
        self._reading.set()
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()

    # -- receiving ------------------------------------------------------------------------
    def _read_loop(self):
        while True:
            self._reading.wait()
            try:
                ready, _, _ = select.select([self._fd, self._wake_r], [], [])
            except (OSError, ValueError):
                break
            if self._wake_r in ready:
                break
            try:
                data = os.read(self._fd, 65536)
            except OSError:
                data = b""  # EIO: the other side of the pair has gone
            now = time.monotonic()
            with self._cond:
                if not data:
                    self._hung_up = True
                    self._cond.notify_all()
                    break
                self._rx.append((now, data))
                self._cond.notify_all()

    def received(self):
        """All bytes received so far, in order."""
        with self._cond:
            return b"".join(d for _, d in self._rx)

    def wait_until(self, done, timeout):
        """Waits until done(all bytes received so far) is true, timeout seconds pass or the
        pair hangs up; returns all bytes received so far."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                data = b"".join(d for _, d in self._rx)
                left = deadline - time.monotonic()
                if done(data) or self._hung_up or left <= 0:
                    return data
                self._cond.wait(left)

    def wait_received(self, count, timeout):
        """Waits until at least count bytes arrived; returns all bytes received so far."""
        return self.wait_until(lambda data: len(data) >= count, timeout)

    def clear(self):
        with self._cond:
            self._rx = []

    def stop_reading(self):
        """The terminal stops taking bytes (after the read under way, if any): the line's
        buffers fill and a writer to it blocks."""
        self._reading.clear()

    def resume_reading(self):
        self._reading.set()

    @property
    def hung_up(self):
        with self._cond:
            return self._hung_up

    # -- sending --------------------------------------------------------------------------
    def _write_all(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self._fd, view)
            view = view[n:]

    def send(self, data, paced=True):
        """Sends one frame; returns when its last byte has been written."""
        data = bytes(data)
        with self._write_lock:
            start = time.monotonic()
            if not paced or not data:
                self._write_all(data)
            else:
                due = pace_schedule(len(data), start, self.baud)
                i = 0
                while i < len(data):
                    now = time.monotonic()
                    j = i
                    while j < len(data) and due[j] <= now:
                        j += 1
                    if j > i:
                        self._write_all(data[i:j])
                        i = j
                    else:
                        time.sleep(due[i] - now)
            with self._cond:
                self._tx.append((start, data))
        return len(data)

    def send_frames(self, frames, paced=True, gap_ms=DEFAULT_GAP_MS):
        """Sends frames with gap_ms of silence between them (from the moment one frame's last
        byte is written to the first byte of the next)."""
        total = 0
        for k, frame in enumerate(frames):
            if k:
                time.sleep(gap_ms / 1000.0)
            total += self.send(frame, paced)
        return total

    # -- record ---------------------------------------------------------------------------
    def records(self):
        """Time-stamped record of both directions, oldest first."""
        with self._cond:
            rows = [{"t": round(t - self.t0, 6), "dir": "rx", "hex": d.hex()} for t, d in self._rx]
            rows += [{"t": round(t - self.t0, 6), "dir": "tx", "hex": d.hex()} for t, d in self._tx]
        return sorted(rows, key=lambda r: r["t"])

    def write_record(self, path):
        with open(path, "w", encoding="ascii") as out:
            for row in self.records():
                out.write(json.dumps(row) + "\n")

    def close(self):
        if self._closed:
            return
        self._closed = True
        os.write(self._wake_w, b"x")
        self._reading.set()
        self._reader.join(5)
        for fd in (self._fd, self._wake_r, self._wake_w):
            try:
                os.close(fd)
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def frame_bytes(row):
    if "hex" in row:
        return binascii.unhexlify(row["hex"])
    return row["text"].encode("latin-1")


def run_script(term, rows):
    """Plays script rows (see the module text) on term."""
    first = True
    for row in rows:
        if "wait_ms" in row:
            time.sleep(row["wait_ms"] / 1000.0)
            continue
        if not first:
            time.sleep(row.get("gap_ms", DEFAULT_GAP_MS) / 1000.0)
        first = False
        term.send(frame_bytes(row), row.get("paced", True))


# -- control server for Windows test programs ---------------------------------------------
class Server:
    """Serves the terminal sides named by PELLARIN_TERM_<PORT> (exported by with-ptys.sh).

    COMMANDS, one line each; PORT is a name like COM1:
      OPEN PORT                        open (or reopen) the terminal side; clears its record
      CLOSE PORT                       close it
      SEND PORT paced|unpaced GAP_MS HEX [HEX...]
                                       send frames GAP_MS apart; answers when all are sent
      RECV PORT COUNT TIMEOUT_MS       wait for COUNT bytes; answers "OK HEX" with all received
      RECVTAIL PORT HEX TIMEOUT_MS     the same, waiting until what arrived ends with HEX
      CLEAR PORT                       forget what was received
      KILL PORT                        close the terminal side and stop the pty pair
      START PORT                       start the pair again and reopen the terminal side
    Each connection is served on its own thread, so a test can send on one while it waits on
    another.
    """

    def __init__(self):
        self.lock = threading.Lock()
        self.terms = {}

    def _term(self, port):
        with self.lock:
            term = self.terms.get(port)
        if term is None:
            raise RuntimeError("%s is not open" % port)
        return term

    def _open(self, port):
        path = os.environ.get("PELLARIN_TERM_" + port)
        if not path:
            raise RuntimeError("no PELLARIN_TERM_%s (run under with-ptys.sh)" % port)
        self._close(port)
        term = Terminal(path)
        with self.lock:
            self.terms[port] = term

    def _close(self, port):
        with self.lock:
            term = self.terms.pop(port, None)
        if term:
            term.close()

    def _pair(self, action, port):
        ctl = os.environ.get("PELLARIN_PTYS_CTL")
        if not ctl or not port.upper().startswith("COM"):
            raise RuntimeError("no pair control for %s" % port)
        subprocess.run(["bash", ctl, action, port[3:]], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def handle(self, line):
        words = line.split()
        if not words:
            raise RuntimeError("empty request")
        cmd, args = words[0].upper(), words[1:]
        if cmd == "OPEN":
            self._open(args[0])
            return "OK"
        if cmd == "CLOSE":
            self._close(args[0])
            return "OK"
        if cmd == "SEND":
            port, mode, gap = args[0], args[1], int(args[2])
            frames = [binascii.unhexlify(h) for h in args[3:]]
            n = self._term(port).send_frames(frames, mode == "paced", gap)
            return "OK %d" % n
        if cmd == "RECV":
            data = self._term(args[0]).wait_received(int(args[1]), int(args[2]) / 1000.0)
            return "OK " + data.hex()
        if cmd == "RECVTAIL":
            tail = binascii.unhexlify(args[1])
            data = self._term(args[0]).wait_until(lambda d: d.endswith(tail),
                                                  int(args[2]) / 1000.0)
            return "OK " + data.hex()
        if cmd == "CLEAR":
            self._term(args[0]).clear()
            return "OK"
        if cmd == "KILL":
            self._close(args[0])
            self._pair("--kill", args[0])
            return "OK"
        if cmd == "START":
            self._pair("--start", args[0])
            self._open(args[0])
            return "OK"
        raise RuntimeError("unknown request " + cmd)

    def close_all(self):
        with self.lock:
            terms, self.terms = list(self.terms.values()), {}
        for term in terms:
            term.close()


def serve(command, listen_host="127.0.0.1"):
    state = Server()

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            for raw in self.rfile:
                try:
                    answer = state.handle(raw.decode("ascii", "replace").strip())
                except Exception as exc:  # every failure goes back to the test as text
                    answer = "ERR %s" % str(exc).replace("\n", " ")
                self.wfile.write((answer + "\n").encode("ascii"))
                self.wfile.flush()

    class ThreadedServer(socketserver.ThreadingTCPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = ThreadedServer((listen_host, 0), Handler)
    host, port = server.server_address
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, PELLARIN_TERMSIM="%s:%d" % (host, port))
    try:
        return subprocess.call(command, env=env)
    finally:
        server.shutdown()
        server.server_close()
        state.close_all()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    run_p = sub.add_parser("run", help="play a script of frames, record what comes back")
    run_p.add_argument("path", help="terminal side of the pty pair")
    run_p.add_argument("--script", required=True, help="JSON lines of frames (- for stdin)")
    run_p.add_argument("--record", help="JSON-lines record of both directions")
    run_p.add_argument("--linger", type=float, default=0.5,
                       help="seconds to keep receiving after the last frame")
    serve_p = sub.add_parser("serve", help="control server for Windows test programs")
    serve_p.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)

    if args.mode == "serve":
        command = args.command[1:] if args.command[:1] == ["--"] else args.command
        if not command:
            parser.error("serve needs a command to run")
        return serve(command)

    source = sys.stdin if args.script == "-" else open(args.script, encoding="utf-8")
    with source:
        rows = [json.loads(line) for line in source if line.strip()]
    with Terminal(args.path) as term:
        run_script(term, rows)
        time.sleep(args.linger)
        if args.record:
            term.write_record(args.record)
        else:
            for row in term.records():
                print(json.dumps(row))
    return 0


if __name__ == "__main__":
    sys.exit(main())
