#!/usr/bin/env python3
"""Relay figures: ours beside the platform floor and socat, measured in one run, one table.

Why: the relay adds a hop between the terminal's line and the host; these figures say what it
costs, and how much of that any relay on this platform would pay anyway. Three relays run in
the same run on the same kind of path, a loopback host and a pty null-modem pair
(tools/with-ptys.sh) with the terminal simulator on the far side:
  ours:   host -TCP/TLS-> pellarin.exe (Wine, COM1 = pair 1) -> terminal
  floor:  host -TCP-> floor.exe (Wine, COM3 = pair 3; tools/floor) -> terminal
  socat:  host -TCP/TLS-> socat (native, nodelay; OpenSSL for TLS) -> pair 2 -> terminal
floor.exe is the least relay the platform allows: an event wait on the socket, recv and an
overlapped WriteFile one way; the product's serial time-outs and reads the other way; no log,
window, tray or TLS. Each build named with --build-dir is measured in turn (one per
architecture; tools/bench.sh passes them); an architecture named with --absent ARCH=REASON,
or whose build cannot run here, gets a line with the reason in every section instead of
figures. Figures only, never pass or fail. The rows, section by section:
  1. host -> terminal one way, paced at 9600 bit/s: the host writes a block of 1, 42 or 300
     bytes one byte at a time on the line's schedule (10 bits a byte, 1.04 ms), as bytes come
     from behind a 9600 bit/s line; ms from the write of the last byte to its arrival at the
     terminal; median and p99 of --frames samples; plain and TLS (one TLS record a byte).
     4096 bytes would take 4.3 s a sample at that pace and is left to the unpaced rows.
  2. host -> terminal one way, unpaced: a block of 1, 42, 300 or 4096 bytes in one send, the
     next as soon as the previous one arrived; ms from the send call to the last byte read at
     the terminal; median and p99 of --samples samples; plain and TLS.
  3. unpaced throughput, MB/s, host -> terminal (one send of --mib MiB) and terminal -> host
     (4096-byte writes of STX, so that every part the relay cuts goes inside TLS); from the
     first send to the last byte's arrival (for a relay that holds the last part until the
     100 ms silence, that wait is included).
  4. terminal -> host: a frame of 1, 42 or 300 bytes written at 9600 bit/s; ms from its last
     byte written to its arrival at the host, beyond the 100 ms of silence that ends it
     (ours, floor, ours TLS; socat has no frames); then ENQ and ACK back to back (ACK 110 ms
     after ENQ's last byte), each measured the same way, and how many pairs arrived as one.
  5. round trip terminal -> host -> terminal (the host echoes each chunk), frames of 1, 42
     and 300 bytes paced at 9600 bit/s and unpaced; ms from the frame's last byte written to
     the echo's last byte read at the terminal, beyond the 100 ms silence for ours and the
     floor (socat forwards without waiting for it); all five columns, plain and TLS.
  6. start, connect, memory, log (ours):
     - StartMain to tray icon: the relay is started by tools/startclock (pellarin.exe's job,
       printing GetTickCount() right before StartMain) and the tray shell stamps the icon's
       NIM_ADD with the same clock; beside it, launch of the process to the icon (Wine's
       process start and the DLL load included) and floor.exe's launch to its connection;
     - connect request to TLS handshake done at the host, beyond the 100 ms silence: the
       first TLS connection of the process, then four later ones;
     - working set (and peak, private bytes) at idle, 1 s after the start, and after
       --mem-blocks host -> terminal frames of 42 bytes (each a receive and a log record);
     - log pipeline alone: records of 4096 bytes per second through the log window
       (tools/log_bench.cpp "rate", inside a Wine desktop) at levels 0, 5 and 99, the window
       hidden (as in a run) and shown (every record painted);
     - log through the relay: host blocks of 300 bytes, each sent when the previous one
       arrived, at levels 0, 5 and 99 until the log window shows them all; bound by the
       path's latency, so the levels differ by the log's share.
  7. the stage table: what each of the relay's per-block extras costs on its own. floor.exe
     runs once per stage (tools/floor/stages.h), each stage keeping the one before: the
     floor; + a sent message per host block to a window of another thread; + the tray
     picture changed per block (NIM_MODIFY, two pictures in turn); + the relay's own log
     window (level 0, hidden) rendering the record into its EDIT control; + TLS through the
     build's ssllib32.dll; beside them log-no-tray, the log stage without the tray calls (the
     relay asks the shell only for a change of picture, so a stream makes none). Rows: host
     -> terminal unpaced 42 B (median, p99, and the cost over the stage before) and host ->
     terminal throughput; then ours beside log-no-tray and ours TLS beside tls. --stages-only measures this table alone (with ours'
     two rows), so that it can be rerun quickly.
The relay runs at log level 0 (the default without a config.ini) except in the log rows, so
the log window's work is part of what is measured. A measurement that fails prints n/a and
its reason; the others go on.
"""

import argparse
import os
import platform
import re
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness as h  # noqa: E402
import termsim  # noqa: E402  (harness put tools/ on the path)

SIZES = (1, 42, 300, 4096)
FRAME_SIZES = (1, 42, 300)
SILENCE = 0.100  # s of line silence that ends a terminal frame
LOG_LEVELS = (0, 5, 99)


class Host:
    """A bare loopback host: one connection; sends on demand; once read() is called, a thread
    receives, keeps each chunk with its arrival time and answers it (ACK or an echo)."""

    def __init__(self, pki=None):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", h.free_port()))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.context = None
        if pki:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.minimum_version = ssl.TLSVersion.TLSv1_2
            self.context.load_cert_chain(os.path.join(pki, "server_ip1.crt"),
                                         os.path.join(pki, "server_ip1.key"))
        self.conn = None
        self.cond = threading.Condition()
        self.chunks = []  # (monotonic time, bytes)
        self.answer = "ack"  # "ack": one ACK per chunk; "echo": the chunk back
        self.reader = None
        self.stopping = False

    def accept(self, timeout=h.BOUND):
        """Accepts the relay's connection (and completes the TLS handshake)."""
        self.listener.settimeout(timeout)
        conn, _ = self.listener.accept()
        conn.settimeout(timeout)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = self.context.wrap_socket(conn, server_side=True) if self.context else conn

    def send(self, data):
        self.conn.sendall(data)

    def read(self, answer):
        """From now on a thread alone uses the connection (a TLS socket is not shared)."""
        self.answer = answer
        if self.reader is None:
            self.conn.settimeout(0.2)
            self.reader = threading.Thread(target=self._read_loop, daemon=True)
            self.reader.start()

    def _read_loop(self):
        while not self.stopping:
            try:
                data = self.conn.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError:
                break
            now = time.monotonic()
            if not data:
                break
            with self.cond:
                self.chunks.append((now, data))
                self.cond.notify_all()
            try:
                self.conn.sendall(b"\x06" if self.answer == "ack" else data)
            except OSError:
                break

    def received(self):
        with self.cond:
            return sum(len(d) for _, d in self.chunks)

    def chunk_count(self):
        with self.cond:
            return len(self.chunks)

    def wait_bytes(self, total, timeout=h.BOUND):
        with self.cond:
            self.cond.wait_for(lambda: sum(len(d) for _, d in self.chunks) >= total, timeout)
            return list(self.chunks)

    def close(self):
        self.stopping = True
        if self.reader:
            self.reader.join(2)
        for s in (self.conn, self.listener):
            if s:
                try:
                    s.close()
                except OSError:
                    pass


class Path:
    """One relay between a terminal and a host: name, the terminal's side and the host."""

    def __init__(self, name, term, host, silence):
        self.name, self.term, self.host, self.silence = name, term, host, silence


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def last_rx_time(term):
    rows = [r for r in term.records() if r["dir"] == "rx"]
    return term.t0 + rows[-1]["t"]


def one_way(path, size, samples):
    """Unpaced: ms from a host send of size bytes (one call) until its last byte reaches the
    terminal; the next block is sent as soon as the previous one arrived."""
    data = h.fill(size)
    out = []
    for _ in range(samples):
        path.term.clear()
        t0 = time.monotonic()
        path.host.send(data)
        got = path.term.wait_received(size, h.BOUND)
        if got != data:
            raise RuntimeError("terminal got %d bytes, not the %d sent" % (len(got), size))
        out.append((last_rx_time(path.term) - t0) * 1000)
    return out


def one_way_paced(path, size, samples):
    """Paced at 9600 bit/s: the host writes the block one byte at a time on the line's schedule
    (10 bits a byte, 1.04 ms), as bytes come from a host behind a 9600 bit/s line; ms from the
    write of the last byte until it reaches the terminal."""
    data = h.fill(size)
    out = []
    for _ in range(samples):
        path.term.clear()
        due = termsim.pace_schedule(size, time.monotonic())
        for i in range(size):
            wait = due[i] - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            t_last = time.monotonic()
            path.host.send(data[i:i + 1])
        got = path.term.wait_received(size, h.BOUND)
        if got != data:
            raise RuntimeError("terminal got %d bytes, not the %d sent" % (len(got), size))
        out.append((last_rx_time(path.term) - t_last) * 1000)
    return out


def h2t_throughput(path, total):
    data = h.fill(total)
    path.term.clear()
    t0 = time.monotonic()
    path.host.send(data)
    got = path.term.wait_received(total, 120)
    if got != data:
        raise RuntimeError("terminal got %d bytes, not the %d sent" % (len(got), total))
    return total / (last_rx_time(path.term) - t0)


def frame(size):
    # STX and letters: were the frame ever split on the line, no part would close the link.
    return (bytes([0x02]) + bytes(0x41 + k % 26 for k in range(size)))[:size]


def t2h_throughput(path, total):
    """Terminal -> host, unpaced, in blocks of 4096 bytes (the relay's read buffer). Every
    byte is STX, so wherever the relay cuts the stream, each part goes inside TLS."""
    block = bytes([0x02]) * 4096
    before = path.host.received()
    t0 = time.monotonic()
    for _ in range(total // len(block)):
        path.term.send(block, paced=False)
    want = before + (total // len(block)) * len(block)
    chunks = path.host.wait_bytes(want, 120)
    if path.host.received() < want:
        raise RuntimeError("host got %d of %d bytes" % (path.host.received() - before, want - before))
    # Up to the last byte's arrival, silence included: a relay that reads whole 4096-byte
    # buffers forwards them without waiting for it (taking it off gave the floor a negative
    # time on a short transfer); on the default 2 MiB it is a few per cent at most.
    return (want - before) / (chunks[-1][0] - t0)


def frame_delays(path, size, rounds):
    """Terminal -> host: ms from a frame's last byte written to its arrival at the host,
    beyond the silence that ends it."""
    data = frame(size)
    out = []
    for _ in range(rounds):
        expected = path.host.received() + size
        path.term.send(data, paced=True)
        sent = time.monotonic()
        chunks = path.host.wait_bytes(expected)
        if path.host.received() < expected:
            raise RuntimeError("host did not get the frame")
        out.append((chunks[-1][0] - sent - path.silence) * 1000)
        time.sleep(0.02)  # the host's ACK goes by before the next frame
    return out


def back_to_back(path, rounds, gap=0.110):
    """ENQ, then ACK gap s after ENQ's last byte; each frame's delay as in frame_delays.
    Returns (ENQ delays, ACK delays, pairs that arrived as one chunk)."""
    enq, ack, merged = [], [], 0
    for _ in range(rounds):
        base = path.host.chunk_count()
        expected = path.host.received() + 2
        path.term.send(bytes([h.ENQ]), paced=True)
        t_enq = time.monotonic()
        time.sleep(max(0.0, t_enq + gap - time.monotonic()))
        path.term.send(bytes([h.ACK]), paced=True)
        t_ack = time.monotonic()
        chunks = path.host.wait_bytes(expected)[base:]
        if b"".join(d for _, d in chunks) != bytes([h.ENQ, h.ACK]):
            raise RuntimeError("host did not get ENQ and ACK: %r" % chunks)
        if len(chunks) == 1:
            merged += 1
        else:
            enq.append((chunks[0][0] - t_enq - path.silence) * 1000)
            ack.append((chunks[1][0] - t_ack - path.silence) * 1000)
        time.sleep(0.02)
    return enq, ack, merged


def round_trip(path, size, rounds, paced):
    """ms from a frame's last byte written at the terminal to the last byte of the host's echo
    read there, beyond the silence that ends the frame."""
    data = frame(size)
    out = []
    for _ in range(rounds):
        path.term.clear()
        path.term.send(data, paced=paced)
        sent = time.monotonic()
        # A late ACK of an earlier phase may come first; the echo ends what arrives.
        got = path.term.wait_until(lambda d: d[-size:] == data, h.BOUND)
        if got[-size:] != data:
            raise RuntimeError("terminal got %r back" % got[-16:])
        out.append((last_rx_time(path.term) - sent - path.silence) * 1000)
        time.sleep(0.02)
    return out


def fmt(values):
    if not values:
        return "%8s %8s" % ("n/a", "n/a")
    return "%8.2f %8.2f" % (statistics.median(values), pct(values, 99))


def rate(value):
    return "%10s" % ("n/a" if value is None else "%.2f" % (value / 1e6))


class Run:
    """Results by key; a measurement that raises is reported and left as n/a."""

    def __init__(self):
        self.results = {}

    def take(self, key, label, measure):
        try:
            value = measure()
        except Exception as e:  # noqa: BLE001 (any failure of one figure must not end the run)
            print("%-40s n/a (%s)" % (label, e), flush=True)
            return None
        self.results[key] = value
        shown = fmt(value) if isinstance(value, list) else "done" if isinstance(value, tuple) else value
        print("%-40s %s" % (label, shown), flush=True)
        return value

    def get(self, key):
        return self.results.get(key)


def measure_h2t(run, path, args):
    for size in FRAME_SIZES:
        run.take((path.name, "paced", size), "%s h2t %d B paced" % (path.name, size),
                 lambda: one_way_paced(path, size, args.frames))
    for size in SIZES:
        run.take((path.name, "b2b", size), "%s h2t %d B unpaced" % (path.name, size),
                 lambda: one_way(path, size, args.samples))
    run.take((path.name, "h2t tput"), "%s h2t throughput B/s" % path.name,
             lambda: h2t_throughput(path, int(args.mib * 1024 * 1024)))


def measure_t2h(run, path, args, framed, tls=False):
    path.host.read("ack")
    if framed:
        for size in FRAME_SIZES:
            run.take((path.name, "t2h", size), "%s t2h %d B" % (path.name, size),
                     lambda: frame_delays(path, size, args.frames))
    # ENQ travels outside TLS records, which a plain TLS host cannot take.
    if framed and not tls:
        r = run.take((path.name, "b2b pair"), "%s ENQ+ACK" % path.name,
                     lambda: back_to_back(path, args.frames))
        if r:
            run.results[(path.name, "b2b ENQ")], run.results[(path.name, "b2b ACK")] = r[0], r[1]
            run.results[(path.name, "b2b merged")] = r[2]
    run.take((path.name, "t2h tput"), "%s t2h throughput B/s" % path.name,
             lambda: t2h_throughput(path, int(args.mib * 1024 * 1024)))
    time.sleep(0.5)  # the last ACKs reach the terminal before the echo phase
    path.host.answer = "echo"
    for paced in (True, False):
        for size in FRAME_SIZES:
            run.take((path.name, "rtt", paced, size),
                     "%s rtt %d B %s" % (path.name, size, "paced" if paced else "unpaced"),
                     lambda: round_trip(path, size, args.frames, paced))


def connect_ours(relay, term, pki):
    """A host and the relay connected to it by a connect request; (host, ms from the request's
    last byte to the host's accept and handshake done, beyond the silence that ends it)."""
    host = Host(pki)
    relay.mark_log()
    term.send(h.connect_request(host.port, 0x21 if pki else 0x25), paced=False)
    t0 = time.monotonic()
    host.accept()
    elapsed = (time.monotonic() - t0 - SILENCE) * 1000
    status = "접속 127.0.0.1:%d" % host.port
    if not any(e.text == status for e in relay.wait_status(status)):
        host.close()
        raise RuntimeError("the relay did not connect")
    return host, elapsed


def memory(bench, pid):
    r = bench.inspector.call("memory", pid=pid)
    if not r.get("ok"):
        raise RuntimeError("no memory counters: %r" % r)
    return r


def start_socat(pty_path, port, tls):
    far = ("OPENSSL:127.0.0.1:%d,verify=0,nodelay" % port) if tls else (
        "TCP:127.0.0.1:%d,nodelay" % port)
    return subprocess.Popen(["socat", "-b", "65536", "GOPEN:%s,raw,echo=0" % pty_path, far],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stop(proc):
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class ClockedRelay(h.Relay):
    """A relay started by tools/startclock (copied over pellarin.exe in its own folder), which
    prints the GetTickCount() of its StartMain call into the relay's output.txt."""

    def install(self):
        super().install()
        shutil.copy2(h.find_binary(self.build_dir, "startclock.exe"),
                     os.path.join(self.workdir, "pellarin.exe"))

    def startmain_tick(self):
        with open(os.path.join(self.workdir, "output.txt"), "rb") as f:
            m = re.search(rb"StartMain tick (\d+)", f.read())
        return int(m.group(1)) if m else None


def on_connection(bench, relay, name, tls, measure):
    """Connects the relay to a new host (TLS or not), calls measure(path, ms to connect), and
    closes the host once the relay shows idle again; a failure is printed as n/a."""
    host = None
    try:
        host, elapsed = connect_ours(relay, bench.terminal, bench.pki if tls else None)
        measure(Path(name, bench.terminal, host, SILENCE), elapsed)
    except Exception as e:  # noqa: BLE001
        print("%s: n/a (%s)" % (name, e), flush=True)
    finally:
        if host:
            host.close()
        h.poll(lambda: relay.icon_now() == bench.idle)


def end_relay(relay):
    """Ends a relay the way a user does (tray menu, Exit, OK), and for certain."""
    if relay:
        try:
            relay.exit_through_tray()
        except Exception:  # noqa: BLE001
            pass
        relay.kill()


def bench_ours(run, bench, args):
    relay = None
    try:
        bench.store_port("COM1")
        for attempt in (1, 2):  # a start that fails under load is tried once more
            tick = bench.inspector.call("now").get("tick")
            relay = ClockedRelay(bench.build_dir, bench.inspector, bench.tray, level=0,
                                 pki=bench.pki, parent=bench.tmp)
            relay.bench = bench
            bench.relays.append(relay)
            try:
                relay.start()
                break
            except RuntimeError as e:
                relay.kill()
                if attempt == 2:
                    raise
                print("ours: the relay did not start (%s); once more" % e, flush=True)
        relay.wait_status("COM1 Open 성공!")
        adds = [c for c in relay.tray_calls() if c["op"] == "ADD"]
        if tick is not None and adds:
            run.results[("ours", "start")] = adds[0]["t"] - tick
        called = relay.startmain_tick()
        if called is not None and adds:
            run.results[("ours", "startmain")] = adds[0]["t"] - called
        term = bench.terminal
        time.sleep(1)  # the start settles before the idle figure
        run.take(("ours", "mem idle"), "ours working set at idle", lambda: memory(bench, relay.pid))
        handshakes = []
        for tls in (False, True):
            name = "ours TLS" if tls else "ours"

            def measure(path, elapsed, tls=tls):
                if tls:
                    handshakes.append(elapsed)
                measure_h2t(run, path, args)
                measure_t2h(run, path, args, framed=True, tls=tls)
            on_connection(bench, relay, name, tls, measure)
        for _ in range(4):  # later TLS connections, for the first-connection figure
            try:
                host, elapsed = connect_ours(relay, term, bench.pki)
                handshakes.append(elapsed)
                host.close()
            except Exception as e:  # noqa: BLE001
                print("ours TLS connect: n/a (%s)" % e, flush=True)
        run.results[("ours", "handshakes")] = handshakes
        if args.mem_blocks:
            run.take(("ours", "mem busy"), "ours working set after %d blocks" % args.mem_blocks,
                     lambda: blocks_then_memory(bench, relay, term, args.mem_blocks))
    finally:
        end_relay(relay)


def blocks_then_memory(bench, relay, term, count):
    """count host -> terminal blocks of 42 bytes, each one a log record, then the memory."""
    host, _ = connect_ours(relay, term, None)
    try:
        data = h.fill(42)
        for k in range(count):
            term.clear()
            host.send(data)
            if len(term.wait_received(42, h.BOUND)) < 42:
                raise RuntimeError("block %d lost" % k)
            if k % 10000 == 9999:
                print("  %d blocks" % (k + 1), flush=True)
        return memory(bench, relay.pid)
    finally:
        host.close()


def log_rate(bench, level, count):
    """Records per second through the log window at level: count host -> terminal blocks of
    300 bytes, each sent once the previous one arrived, so each is one receive and one record.
    The figure includes the relay's path, measured the same way at every level."""
    relay = bench.relay(level=level).start()
    try:
        relay.wait_status("COM1 Open 성공!")
        host, _ = connect_ours(relay, bench.terminal, None)
        try:
            data = h.fill(300)
            t0 = time.monotonic()
            for k in range(count):
                bench.terminal.clear()
                host.send(data)
                if bench.terminal.wait_received(300, h.BOUND) != data:
                    raise RuntimeError("block %d lost" % k)
            # Done once the log window shows every record (time-stamped lines after the
            # connection's status line; a level-0 line names the block without its bytes).
            def shown():
                return len(re.findall(h._STAMP, relay.log_text()[relay.log_mark:])) - 1
            if not h.poll(lambda: shown() >= count, timeout=60, interval=0.01):
                raise RuntimeError("the log window shows %d of %d records" % (shown(), count))
            return count / (time.monotonic() - t0)
        finally:
            host.close()
    finally:
        end_relay(relay)


def log_pipeline(build_dir, level, mode, count):
    """Records per second through the log window alone (tools/log_bench.cpp "rate"): count
    records of 4096 bytes at level, the window hidden or shown, inside a Wine desktop."""
    exe = h.find_binary(build_dir, "log_bench.exe")
    out = subprocess.run([h.WINE_RUN, "explorer", "/desktop=pellarin-bench,1024x768",
                          h.wine_path(exe), "rate", str(level), mode, str(count)],
                         capture_output=True, timeout=600)
    m = re.search(rb"([0-9.]+) records/s", out.stdout)
    if not m:
        raise RuntimeError("log_bench: %r" % out.stdout[-200:])
    return float(m.group(1))


def bench_floor(run, bench, args):
    term = termsim.Terminal(os.environ["PELLARIN_TERM_COM3"])
    host = Host()
    proc = None
    try:
        proc, run.results[("floor", "start")] = start_floor(bench, host)
        path = Path("floor", term, host, SILENCE)
        measure_h2t(run, path, args)
        measure_t2h(run, path, args, framed=True)
    finally:
        end_floor(proc, host)
        term.close()


STAGES = ("floor", "message", "tray", "log", "tls")
# Beside the line: the log stage without the tray calls (the relay asks the shell only for a
# change of picture, so a stream of blocks makes none after the first).
SIDE_STAGE = "log-no-tray"


def start_floor(bench, host, stage="floor"):
    """floor.exe on COM3 connected to host, at stage (tools/floor/stages.h); (process, ms from
    its launch to the host's accept, and handshake for tls). For tls it loads the build's
    ssllib32.dll, which trusts the run's test CA alone."""
    args = [h.WINE_RUN, h.find_binary(bench.build_dir, "floor.exe"), "COM3", str(host.port)]
    env = dict(os.environ)
    if stage != "floor":
        args.append(stage)
    if stage == "tls":
        # A copy of the library with its trust setting beside it, where the library reads it.
        folder = os.path.join(bench.tmp, "floor-tls")
        os.makedirs(folder, exist_ok=True)
        shutil.copy2(h.find_binary(bench.build_dir, "ssllib32.dll"), folder)
        args.append(h.wine_path(os.path.join(folder, "ssllib32.dll")))
        with open(os.path.join(folder, "ssllib32.ini"), "w", encoding="ascii") as f:
            f.write("[TLS]\r\nCAFile=%s\r\n" % h.wine_path(os.path.join(bench.pki, "ca.crt")))
        for k in ("SSLLIB32_CAFILE", "SSLLIB32_PINSHA256", "SSLLIB32_INSECURE_SKIP_VERIFY",
                  "SSLLIB32_INI"):
            env.pop(k, None)
    t0 = time.monotonic()
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    try:
        host.accept(60)
        elapsed = (time.monotonic() - t0) * 1000
        line = proc.stdout.readline()
        if line.strip() != b"ready":
            raise RuntimeError("floor.exe %s: %r" % (stage, line + proc.stdout.read(400)))
    except BaseException:
        stop(proc)
        raise
    return proc, elapsed


def end_floor(proc, host):
    host.close()
    if proc:
        try:
            proc.wait(10)  # it ends when the host closes
        except subprocess.TimeoutExpired:
            stop(proc)


def bench_stages(run, bench, args):
    """The stage table: floor.exe at each stage (the floor, then the relay's per-block extras
    added one by one), host -> terminal unpaced 42 B and throughput, on COM3. The stages take
    turns in --stage-rounds rounds, each with its share of the samples, so that a change of the
    machine's load during the run falls on all of them alike; a stage's throughput is the
    median of its rounds."""
    term = termsim.Terminal(os.environ["PELLARIN_TERM_COM3"])
    rounds = max(1, args.stage_rounds)
    share = max(1, args.stage_samples // rounds)
    rates = {}
    try:
        for k in range(rounds):
            for stage in STAGES + (SIDE_STAGE,):
                host = Host(bench.pki if stage == "tls" else None)
                proc = None
                try:
                    proc, _ = start_floor(bench, host, stage)
                    path = Path("stage " + stage, term, host, SILENCE)
                    values = one_way(path, 42, share)
                    run.results.setdefault(("stage", stage, 42), []).extend(values)
                    shown = fmt(values)
                    if args.stage_mib:
                        r = h2t_throughput(path, int(args.stage_mib * 1024 * 1024))
                        rates.setdefault(stage, []).append(r)
                        shown += "  %.2f MB/s" % (r / 1e6)
                    print("%-40s %s" % ("stage %s round %d h2t 42 B" % (stage, k + 1), shown),
                          flush=True)
                except Exception as e:  # noqa: BLE001 (the other stages are still worth having)
                    print("stage %s round %d: n/a (%s)" % (stage, k + 1, e), flush=True)
                finally:
                    end_floor(proc, host)
    finally:
        term.close()
    for stage, values in rates.items():
        run.results[("stage", stage, "tput")] = statistics.median(values)


def bench_ours_h2t(run, bench, args):
    """For the stage table run alone: the relay's own unpaced 42 B and throughput rows, plain
    and TLS, measured as in the full run."""
    relay = None
    try:
        relay = start_relay(bench)
        for tls in (False, True):
            name = "ours TLS" if tls else "ours"

            def measure(path, _elapsed, name=name):
                run.take((name, "b2b", 42), "%s h2t 42 B unpaced" % name,
                         lambda: one_way(path, 42, args.stage_samples))
                if args.stage_mib:
                    run.take((name, "h2t tput"), "%s h2t throughput B/s" % name,
                             lambda: h2t_throughput(path, int(args.stage_mib * 1024 * 1024)))
            on_connection(bench, relay, name, tls, measure)
    finally:
        end_relay(relay)


def start_relay(bench):
    """The relay on COM1 at log level 0, started and its port open."""
    bench.store_port("COM1")
    relay = h.Relay(bench.build_dir, bench.inspector, bench.tray, level=0, pki=bench.pki,
                    parent=bench.tmp)
    bench.relays.append(relay)
    relay.start()
    relay.wait_status("COM1 Open 성공!")
    return relay


# --tls-rows: the rows of a TLS host that the relay's TLS reads decide, alone, in about a
# minute a build: ours TLS host -> terminal paced (one record per byte) at 1, 42 and 300 bytes
# and TLS throughput both ways, beside the floor's plain throughput both ways in the same run.
def bench_tls_rows(run, bench, args):
    relay = None
    try:
        relay = start_relay(bench)

        def measure(path, _elapsed):
            for size in FRAME_SIZES:
                run.take((path.name, "paced", size), "%s h2t %d B paced" % (path.name, size),
                         lambda: one_way_paced(path, size, args.frames))
            mib = int(args.mib * 1024 * 1024)
            run.take((path.name, "h2t tput"), "%s h2t throughput B/s" % path.name,
                     lambda: h2t_throughput(path, mib))
            path.host.read("ack")
            run.take((path.name, "t2h tput"), "%s t2h throughput B/s" % path.name,
                     lambda: t2h_throughput(path, mib))
        on_connection(bench, relay, "ours TLS", True, measure)
    finally:
        end_relay(relay)
    term = termsim.Terminal(os.environ["PELLARIN_TERM_COM3"])
    host = Host()
    proc = None
    try:
        proc, _ = start_floor(bench, host)
        path = Path("floor", term, host, SILENCE)
        mib = int(args.mib * 1024 * 1024)
        run.take(("floor", "h2t tput"), "floor h2t throughput B/s", lambda: h2t_throughput(path, mib))
        host.read("ack")
        run.take(("floor", "t2h tput"), "floor t2h throughput B/s", lambda: t2h_throughput(path, mib))
    finally:
        end_floor(proc, host)
        term.close()


def tls_rows_report(runs):
    print()
    print("TLS rows; %s" % machine())
    for arch, build, run, load in runs:
        get = run.get
        print("%s (%s), load average before it: %s" % (build, arch, load))
        for size in FRAME_SIZES:
            print("  ours TLS h2t %3d B paced, one record per byte, median p99 ms  %s"
                  % (size, fmt(get(("ours TLS", "paced", size)))))
        for way in ("h2t", "t2h"):
            ours, floor = get(("ours TLS", way + " tput")), get(("floor", way + " tput"))
            share = " (%.0f%% of the floor's)" % (100.0 * ours / floor) if ours and floor else ""
            print("  %s throughput, MB/s: ours TLS %s, floor %s%s"
                  % (way, rate(ours), rate(floor), share))


def bench_socat(run, bench, args):
    term = termsim.Terminal(os.environ["PELLARIN_TERM_COM2"])
    try:
        for tls in (False, True):
            name = "socat TLS" if tls else "socat"
            host = Host(bench.pki if tls else None)
            proc = start_socat(os.environ["PELLARIN_HOST_COM2"], host.port, tls)
            try:
                host.accept()
                path = Path(name, term, host, 0.0)
                measure_h2t(run, path, args)
                measure_t2h(run, path, args, framed=False)
            except Exception as e:  # noqa: BLE001
                print("%s: n/a (%s)" % (name, e), flush=True)
            finally:
                host.close()
                stop(proc)
    finally:
        term.close()


def stage_rows(arch, get):
    """The stage table's rows for one architecture: each stage, and the relay beside the stage
    nearest to it (ours beside log-no-tray, ours TLS beside tls), with the cost over that one."""
    def cell(v):
        return "%8s %8s" % ("n/a", "n/a") if v is None else "%8.2f %8.2f" % v

    def figures(key):
        values = get(key)
        return (statistics.median(values), pct(values, 99)) if values else None

    rows = [("stage " + st, ("stage", st, 42), ("stage", st, "tput"), prev)
            for st, prev in zip(STAGES + (SIDE_STAGE,), (None,) + STAGES[:-1] + ("message",))]
    rows += [("ours", ("ours", "b2b", 42), ("ours", "h2t tput"), SIDE_STAGE),
             ("ours TLS", ("ours TLS", "b2b", 42), ("ours TLS", "h2t tput"), "tls")]
    for label, key, tput_key, prev in rows:
        now = figures(key)
        base = figures(("stage", prev, 42)) if prev else None
        cost = None if now is None or base is None else (now[0] - base[0], now[1] - base[1])
        print("%-7s %-19s %s   %-11s %s  %s" % (
            arch, label, cell(now), prev or "",
            "%8s %8s" % ("", "") if prev is None else
            ("%8s %8s" % ("n/a", "n/a") if cost is None else "%+8.2f %+8.2f" % cost),
            rate(get(tput_key))))


# The figures the relay aims at, each beside the floor's measured in the same run: a latency
# row's median within LATENCY_RATIO times the floor's (or the floor's + LATENCY_SLACK ms,
# whichever is larger) and its p99 within P99_RATIO times; TLS one record per byte within
# TLS_PACED_MS; throughput at least THROUGHPUT_SHARE of the floor's; the log pipeline alone
# (window hidden) at least LOG_RATE records a second at its level.
LATENCY_RATIO, LATENCY_SLACK, P99_RATIO = 1.25, 0.25, 2.0
TLS_PACED_MS = 3.0
THROUGHPUT_SHARE = 0.60
LOG_RATE = {0: 5000, 5: 3000}


def goal_rows(arch, get):
    """One line per goal: the figure, the limit it is held to, and whether it is met; then the
    count of goals met."""
    tally = []

    def line(what, ours, limit, met):
        tally.append(met)
        print("%-7s %-44s %10s %10s  %s" % (arch, what, ours, limit,
                                             "n/a" if met is None else "met" if met else "NOT met"))

    def latency(label, key):
        ours, floor = get(("ours",) + key), get(("floor",) + key)
        if not ours or not floor:
            line(label + " median", "n/a", "n/a", None)
            line(label + " p99", "n/a", "n/a", None)
            return
        om, fm = statistics.median(ours), statistics.median(floor)
        limit = max(fm * LATENCY_RATIO, fm + LATENCY_SLACK)
        line(label + " median", "%.2f" % om, "%.2f" % limit, om <= limit)
        op, fp = pct(ours, 99), pct(floor, 99)
        line(label + " p99", "%.2f" % op, "%.2f" % (fp * P99_RATIO), op <= fp * P99_RATIO)

    for size in FRAME_SIZES:
        latency("h2t paced %d B, ms" % size, ("paced", size))
    for size in SIZES:
        latency("h2t unpaced %d B, ms" % size, ("b2b", size))
    for size in FRAME_SIZES:
        latency("t2h %d B beyond the silence, ms" % size, ("t2h", size))
    for f in ("ENQ", "ACK"):
        latency("t2h %s beyond the silence, ms" % f, ("b2b " + f,))
    for paced in (True, False):
        for size in FRAME_SIZES:
            latency("round trip %s %d B, ms" % ("paced" if paced else "unpaced", size),
                    ("rtt", paced, size))
    for size in (42, 300):
        values = get(("ours TLS", "paced", size))
        m = statistics.median(values) if values else None
        line("TLS h2t paced %d B (a record a byte), ms" % size,
             "n/a" if m is None else "%.2f" % m, "%.2f" % TLS_PACED_MS,
             None if m is None else m <= TLS_PACED_MS)
    for col in ("ours", "ours TLS"):
        for key, label in (("h2t tput", "host->terminal"), ("t2h tput", "terminal->host")):
            ours, floor = get((col, key)), get(("floor", key))
            limit = None if floor is None else floor * THROUGHPUT_SHARE
            line("%s throughput %s, MB/s" % (col, label),
                 "n/a" if ours is None else "%.2f" % (ours / 1e6),
                 "n/a" if limit is None else "%.2f" % (limit / 1e6),
                 None if ours is None or limit is None else ours >= limit)
    for level, least in sorted(LOG_RATE.items()):
        r = get(("log pipeline", "hidden", level))
        line("log pipeline alone, hidden, level %d, rec/s" % level,
             "n/a" if r is None else "%.0f" % r, "%d" % least,
             None if r is None else r >= least)
    print("%-7s goals met: %d of %d measured (%d not measured)" % (
        arch, tally.count(True), len(tally) - tally.count(None), tally.count(None)))


def stage_section(section, args):
    section("stage table: host -> terminal one way, unpaced 42 B (one send, the next when it "
            "arrived), ms, median / p99 of %d samples (stages: in %d rounds taking turns), and "
            "the cost over the stage before; throughput host -> terminal, MB/s (%.1f MiB; "
            "stages: median of the rounds). Stages (floor.exe, each keeping the "
            "one before): floor; message = + a sent message per block to a window of another "
            "thread; tray = + NIM_MODIFY per block (a new picture each time); log = + the real "
            "log window, level 0, hidden; tls = + ssllib32.dll; beside them log-no-tray = the "
            "log stage without the tray calls, as the relay streams (it asks the shell only for "
            "a change); ours and ours TLS are the relay's own rows" % (
                max(1, args.stage_samples // max(1, args.stage_rounds)) *
                max(1, args.stage_rounds), max(1, args.stage_rounds), args.stage_mib),
            "%-19s %8s %8s   %-11s %8s %8s  %10s" % ("row", "median", "p99", "cost over",
                                                    "median", "p99", "MB/s"), stage_rows)


def report(runs, absent, args):
    """One table for the run: each section has a row per architecture and size."""
    cols = ("ours", "floor", "socat", "ours TLS", "socat TLS")
    print()
    print("Relay benchmark; %s" % machine())
    for arch, build, _run, load in runs:
        print("  %-7s build %s, load average before it: %s" % (arch, build, load))
    for arch, reason in absent:
        print("  %-7s not measured: %s" % (arch, reason))

    def section(head, header, rows):
        """head and header lines, then rows(arch, get) for each measured architecture and a
        line for each one not measured."""
        print()
        print(head)
        if header:
            print("%-7s " % "arch" + header)
        for arch, _build, run, _load in runs:
            rows(arch, run.get)
        for arch, _reason in absent:
            print("%-7s not measured (see above)" % arch)

    def lat_cols(arch, get, kind, sizes, columns):
        for size in sizes:
            print("%-7s %6d  " % (arch, size) + "  ".join(fmt(get((c, kind, size)))
                                                          for c in columns))

    if args.stages_only:
        stage_section(section, args)
        return
    if args.tls_rows:
        tls_rows_report(runs)
        return
    lat_header = "%6s  " % "bytes" + "  ".join("%-17s" % c for c in cols)
    section("host -> terminal one way, ms, median / p99, %d samples, paced at 9600 bit/s (the "
            "host writes one byte per 1.04 ms; from the last byte's write)" % args.frames,
            lat_header, lambda arch, get: lat_cols(arch, get, "paced", FRAME_SIZES, cols))
    section("host -> terminal one way, ms, median / p99, %d samples, unpaced (one send, the "
            "next when it arrived)" % args.samples,
            lat_header, lambda arch, get: lat_cols(arch, get, "b2b", SIZES, cols))

    def tput(arch, get):
        for key, label in (("h2t tput", "host->terminal"), ("t2h tput", "terminal->host")):
            print("%-7s %15s  " % (arch, label) + "  ".join(rate(get((c, key))) for c in cols))
    section("unpaced throughput, MB/s (%.1f MiB)" % args.mib,
            "%15s  " % "" + "  ".join("%10s" % c for c in cols), tput)

    framed = ("ours", "floor", "ours TLS")

    def delays(arch, get):
        lat_cols(arch, get, "t2h", FRAME_SIZES, framed)
        for f in ("ENQ", "ACK"):
            print("%-7s %6s  " % (arch, f) + "  ".join(fmt(get((c, "b2b " + f))) for c in framed))
        print("%-7s   ENQ+ACK pairs that arrived as one: " % arch + ", ".join(
            "%s %s" % (c, get((c, "b2b merged"))) for c in framed))
    section("terminal -> host, ms beyond the 100 ms frame-end silence, median / p99, %d frames "
            "paced at 9600 bit/s" % args.frames,
            "%6s  " % "bytes" + "  ".join("%-17s" % c for c in framed), delays)

    for paced in (True, False):
        section("round trip terminal -> host -> terminal (host echoes), ms, median / p99, %d "
                "frames %s; ours and floor beyond the 100 ms silence" % (
                    args.frames, "paced at 9600 bit/s" if paced else "unpaced"),
                lat_header,
                lambda arch, get, paced=paced: [
                    print("%-7s %6d  " % (arch, size) + "  ".join(
                        fmt(get((c, "rtt", paced, size))) for c in cols))
                    for size in FRAME_SIZES])

    def ms(value, digits=0):
        return "n/a" if value is None else "%.*f" % (digits, value)

    def figures(arch, get):
        print("%-7s StartMain to tray icon %s ms; launch to tray icon %s ms (with Wine's process "
              "start; floor.exe launch to its connection %s ms)" % (
                  arch, ms(get(("ours", "startmain"))), ms(get(("ours", "start"))),
                  ms(get(("floor", "start")))))
        shakes = get(("ours", "handshakes")) or []
        print("%-7s connect request to TLS handshake done at the host, ms beyond the 100 ms "
              "silence: first %s, later %s" % (
                  arch, ms(shakes[0] if shakes else None, 1),
                  " ".join("%.1f" % v for v in shakes[1:]) or "n/a"))
        for key, label in (("mem idle", "at idle"),
                           ("mem busy", "after %d host->terminal frames" % args.mem_blocks)):
            m = get(("ours", key))
            print("%-7s working set %s: %s" % (arch, label, "n/a" if not m else
                  "%.1f MiB (peak %.1f MiB, private %.1f MiB)" % (
                      m["working_set"] / 2**20, m["peak_working_set"] / 2**20,
                      m["private"] / 2**20)))
        for mode in ("hidden", "shown"):
            print("%-7s log pipeline alone, window %s, records/s: " % (arch, mode) + ", ".join(
                "level %d %s" % (lv, ms(get(("log pipeline", mode, lv)))) for lv in LOG_LEVELS))
        print("%-7s log through the relay (host blocks of 300 bytes, each sent when the previous "
              "arrived), records/s: " % arch + ", ".join(
                  "level %d %s" % (lv, ms(get(("log", lv)))) for lv in LOG_LEVELS))
    section("start, connect, memory and log figures", "", figures)
    stage_section(section, args)
    section("goals: latency median within %.2f x the floor's (or the floor's + %.2f ms), p99 "
            "within %.1f x; TLS a record a byte within %.0f ms; throughput at least %d%% of the "
            "floor's; log pipeline alone, window hidden, at least %s records/s" % (
                LATENCY_RATIO, LATENCY_SLACK, P99_RATIO, TLS_PACED_MS, THROUGHPUT_SHARE * 100,
                " and ".join("%d at level %d" % (v, k) for k, v in sorted(LOG_RATE.items()))),
            "%-44s %10s %10s  %s" % ("row", "ours", "limit", "goal"), goal_rows)


def machine():
    """CPU model, core count, kernel and Wine version: the figures mean little without them."""
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    try:
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        wine = "wine ?"
    return "%s x %d, Linux %s, %s" % (model, os.cpu_count() or 0, platform.release(), wine)


def main():
    ap = argparse.ArgumentParser(description="relay figures: ours, the platform floor, socat")
    ap.add_argument("--build-dir", action="append", default=[],
                    help="a cross build to measure (repeat for each architecture)")
    ap.add_argument("--absent", action="append", default=[], metavar="ARCH=REASON",
                    help="an architecture not measured, and why (shown in the table)")
    ap.add_argument("--samples", type=int, default=200, help="unpaced host->terminal samples")
    ap.add_argument("--mib", type=float, default=2.0, help="throughput transfer size")
    ap.add_argument("--frames", type=int, default=50,
                    help="paced samples and terminal frames per size")
    ap.add_argument("--mem-blocks", type=int, default=100000,
                    help="host frames before the second working-set figure (0: skip)")
    ap.add_argument("--log-blocks", type=int, default=2000,
                    help="host blocks per log level for the through-the-relay figure (0: skip)")
    ap.add_argument("--log-records", type=int, default=5000,
                    help="records per level for the log pipeline alone, window hidden (a "
                         "fifth at level 99; shown: 6%% and 4%%) (0: skip)")
    ap.add_argument("--stages-only", action="store_true",
                    help="only the stage table (floor.exe's stages and the relay's own rows)")
    ap.add_argument("--stage-samples", type=int, default=200,
                    help="unpaced 42 B samples per row of the stage table")
    ap.add_argument("--stage-rounds", type=int, default=3,
                    help="rounds in which the stages take turns (samples shared among them)")
    ap.add_argument("--stage-mib", type=float, default=2.0,
                    help="throughput transfer size per row of the stage table (0: skip)")
    ap.add_argument("--tls-rows", action="store_true",
                    help="only ours TLS paced host->terminal and TLS throughput, beside the "
                         "floor's throughput (no log rows)")
    args = ap.parse_args()
    if args.tls_rows:
        args.log_blocks = args.log_records = 0
    h.ensure_environment([os.path.abspath(__file__)] + sys.argv[1:])
    absent = [tuple(a.split("=", 1)) if "=" in a else (a, "no reason given")
              for a in args.absent]

    runs = []
    for build in args.build_dir:
        with open("/proc/loadavg") as f:
            load = " ".join(f.read().split()[:3])
        arch = "x86_64" if h.pe_is_64bit(h.find_binary(build, "pellarin.dll")) else "i686"
        print("== %s (%s)" % (build, arch), flush=True)
        run = Run()
        runs.append((arch, build, run, load))
        try:
            bench = h.Bench(build)
        except Exception as e:  # noqa: BLE001 (say why, and go on with the next build)
            print("%s: not measured (%s)" % (build, e), flush=True)
            runs.pop()
            absent.append((arch, str(e)))
            continue
        try:
            parts = ((bench_ours_h2t, bench_stages) if args.stages_only else
                     (bench_tls_rows,) if args.tls_rows else
                     (bench_ours, bench_floor, bench_socat, bench_stages))
            for part in parts:
                try:
                    part(run, bench, args)
                except Exception as e:  # noqa: BLE001 (the other columns are still worth having)
                    print("%s: stopped (%s)" % (part.__name__, e), flush=True)
            if args.log_blocks and not args.stages_only:
                for level in LOG_LEVELS:
                    run.take(("log", level), "log records/s at level %d" % level,
                             lambda: log_rate(bench, level, args.log_blocks))
        finally:
            bench.close()
        if args.log_records and not args.stages_only:
            counts = {"hidden": (args.log_records, max(1, args.log_records // 5)),
                      "shown": (max(1, args.log_records * 6 // 100),
                                max(1, args.log_records * 4 // 100))}
            for mode in ("hidden", "shown"):
                for level in LOG_LEVELS:
                    n = counts[mode][1 if level == 99 else 0]
                    run.take(("log pipeline", mode, level),
                             "log pipeline alone, %s, level %d" % (mode, level),
                             lambda: log_pipeline(build, level, mode, n))
    report(runs, absent, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
