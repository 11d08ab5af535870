#!/usr/bin/env python3
"""Relay figures, measured side by side with socat as the plain-relay baseline.

Why: the relay adds a hop between the terminal's line and the host; these figures say what it
costs. Both relays run in the same run on the same kind of path: a loopback host, a relay, a
pty null-modem pair (tools/with-ptys.sh), and the terminal simulator on the far side.
  ours:   host -TCP/TLS-> pellarin.exe (Wine, COM1 = pair 1) -> pty pair 1 -> terminal
  socat:  host -TCP-> socat (nodelay) -> pty pair 2 -> terminal
Measured:
  1. host -> terminal one-way latency (send call to the last byte read at the terminal) for 1,
     42, 300 and 4096 bytes: median and p99 over SAMPLES samples; ours plain and TLS, socat;
  2. unpaced host -> terminal throughput, bytes/s (ours plain and TLS, socat);
  3. terminal -> host: delay from a frame's last byte on the line to its arrival at the host,
     less the 100 ms of silence that ends a frame (ours only; socat has no frames);
  4. back-to-back small frames ENQ then ACK (as close as frames can follow: a gap just over
     the 100 ms), each frame's delay as in 3, to see whether Nagle holds the second one.
Figures only, no pass or fail. The relay runs at log level 0 (the default without a
config.ini), so the log window's rendering is part of what is measured.
"""

import argparse
import os
import socket
import ssl
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness as h  # noqa: E402
import termsim  # noqa: E402  (harness put tools/ on the path)

SIZES = (1, 42, 300, 4096)


class Host:
    """A bare loopback host for the host -> terminal runs: one connection, send on demand."""

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

    def accept(self, timeout=h.BOUND):
        self.listener.settimeout(timeout)
        conn, _ = self.listener.accept()
        conn.settimeout(timeout)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = self.context.wrap_socket(conn, server_side=True) if self.context else conn

    def send(self, data):
        self.conn.sendall(data)

    def close(self):
        for s in (self.conn, self.listener):
            if s:
                try:
                    s.close()
                except OSError:
                    pass


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def last_rx_time(term):
    rows = [r for r in term.records() if r["dir"] == "rx"]
    return term.t0 + rows[-1]["t"]


def one_way(term, host, size, samples):
    """Latencies in ms of host sends of size bytes until their last byte reaches the terminal."""
    data = h.fill(size)
    out = []
    for _ in range(samples):
        term.clear()
        t0 = time.monotonic()
        host.send(data)
        got = term.wait_received(size, h.BOUND)
        if len(got) < size:
            raise RuntimeError("terminal got %d of %d bytes" % (len(got), size))
        out.append((last_rx_time(term) - t0) * 1000)
    return out


def throughput(term, host, total):
    data = h.fill(total)
    term.clear()
    t0 = time.monotonic()
    host.send(data)
    got = term.wait_received(total, 120)
    if len(got) < total:
        raise RuntimeError("terminal got %d of %d bytes" % (len(got), total))
    return total / (last_rx_time(term) - t0)


def connected_host(bench, relay, term, tls):
    # The host acknowledges every frame, as a real one does; a host silent for 15 s would see
    # the relay end the connection.
    host = bench.host("server_ip1" if tls else None,
                      {"rules": [{"kind": "any", "do": [{"send": "06"}]}]})
    relay.mark_log()
    term.send(h.connect_request(host.port, 0x21 if tls else 0x25), paced=False)
    status = "접속 127.0.0.1:%d" % host.port
    if not any(e.text == status for e in relay.wait_status(status)):
        host.stop()
        raise RuntimeError("no connection")
    return host


def data_events(host):
    return [e for e in list(host.events) if e["event"] in ("frame", "raw")]


def disconnect(term, host):
    term.send(bytes([h.EOM]))
    host.wait_events("closed", timeout=h.BOUND)
    host.stop()


def frame_delays(bench, relay, term, size, tls, rounds):
    """Terminal -> host: ms from a frame's last byte written to its arrival at the host, less
    the 100 ms of silence that ends it."""
    host = connected_host(bench, relay, term, tls)
    # STX and letters: were the frame ever split on the line, no part would close the link.
    frame = (bytes([0x02]) + bytes(0x41 + k % 26 for k in range(size)))[:size]
    delays = []
    try:
        received = 0
        for _ in range(rounds):
            term.send(frame, paced=True)
            sent = time.time()
            received += size
            if not h.poll(lambda: sum(e["len"] for e in data_events(host)) >= received,
                          timeout=h.BOUND, interval=0.0005):
                raise RuntimeError("host did not get the frame: host %r; log %r" % (
                    [(e["event"], e.get("len")) for e in list(host.events)][-8:],
                    relay.entries()[-6:]))
            delays.append((data_events(host)[-1]["t"] - sent - 0.100) * 1000)
    finally:
        disconnect(term, host)
    return delays


def back_to_back(bench, relay, term, tls, rounds, gap=0.110):
    """ENQ, then ACK gap s after ENQ's last byte (as close as two frames can follow); each
    frame's delay as in frame_delays. Returns (ENQ delays, ACK delays, rounds merged)."""
    host = connected_host(bench, relay, term, tls)
    enq, ack, merged = [], [], 0
    try:
        for _ in range(rounds):
            before = len(data_events(host))
            term.send(bytes([h.ENQ]), paced=True)
            t_enq = time.time()
            time.sleep(max(0.0, t_enq + gap - time.time()))  # the terminal's own gap
            term.send(bytes([h.ACK]), paced=True)
            t_ack = time.time()
            if not h.poll(lambda: "".join(e["hex"] for e in data_events(host)[before:]) == "0506",
                          timeout=h.BOUND, interval=0.0005):
                raise RuntimeError("host did not get ENQ and ACK")
            evs = data_events(host)[before:]
            if len(evs) == 1:
                merged += 1
                continue
            enq.append((evs[0]["t"] - t_enq - 0.100) * 1000)
            ack.append((evs[1]["t"] - t_ack - 0.100) * 1000)
    finally:
        disconnect(term, host)
    return enq, ack, merged


def start_socat(pty_path, port):
    return subprocess.Popen(["socat", "-b", "65536", "GOPEN:%s,raw,echo=0" % pty_path,
                             "TCP:127.0.0.1:%d,nodelay" % port],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def fmt(values):
    if not values:
        return "%8s %8s" % ("n/a", "n/a")
    return "%8.2f %8.2f" % (statistics.median(values), pct(values, 99))


def main():
    ap = argparse.ArgumentParser(description="relay latency and throughput, ours and socat's")
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--samples", type=int, default=200)
    ap.add_argument("--mib", type=float, default=2.0, help="throughput transfer size")
    ap.add_argument("--frames", type=int, default=50, help="terminal -> host samples per size")
    args = ap.parse_args()
    h.ensure_environment([os.path.abspath(__file__)] + sys.argv[1:])

    bench = h.Bench(args.build_dir)
    relay = None
    socat = None
    results = {}
    total = int(args.mib * 1024 * 1024)
    try:
        bench.store_port("COM1")
        relay = bench.relay(level=0).start()
        relay.wait_status("COM1 Open 성공!")
        term = bench.terminal

        for name, pki in (("ours plain", None), ("ours TLS", bench.pki)):
            host = Host(pki)
            relay.mark_log()
            term.send(h.connect_request(host.port, 0x21 if pki else 0x25), paced=False)
            host.accept()
            status = "접속 127.0.0.1:%d" % host.port
            if not any(e.text == status for e in relay.wait_status(status)):
                raise RuntimeError("%s: relay did not connect" % name)
            for size in SIZES:
                results[(name, size)] = one_way(term, host, size, args.samples)
                print("%-11s %4d B  median/p99 %s ms" % (name, size, fmt(results[(name, size)])),
                      flush=True)
            results[(name, "tput")] = throughput(term, host, total)
            print("%-11s throughput %.0f B/s" % (name, results[(name, "tput")]), flush=True)
            host.close()
            h.poll(lambda: relay.icon_now() == bench.idle)

        socat_term = termsim.Terminal(os.environ["PELLARIN_TERM_COM2"])
        host = Host()
        socat = start_socat(os.environ["PELLARIN_HOST_COM2"], host.port)
        host.accept()
        for size in SIZES:
            results[("socat", size)] = one_way(socat_term, host, size, args.samples)
            print("%-11s %4d B  median/p99 %s ms" % ("socat", size, fmt(results[("socat", size)])),
                  flush=True)
        results[("socat", "tput")] = throughput(socat_term, host, total)
        host.close()
        socat_term.close()

        for tls in (False, True):
            name = "TLS" if tls else "plain"
            for size in (1, 42, 300):
                d = frame_delays(bench, relay, term, size, tls, args.frames)
                results[("t2h " + name, size)] = d
                print("t2h %-5s %4d B  median/p99 %s ms" % (name, size, fmt(d)), flush=True)
            enq, ack, merged = back_to_back(bench, relay, term, tls, args.frames)
            results[("b2b " + name, "ENQ")], results[("b2b " + name, "ACK")] = enq, ack
            results[("b2b " + name, "merged")] = merged
    finally:
        if socat:
            socat.terminate()
            socat.wait()
        if relay:
            try:
                relay.exit_through_tray()
            except Exception:
                pass
            relay.kill()
        bench.close()

    print()
    print("host -> terminal one-way latency, ms (median / p99, %d samples each)" % args.samples)
    print("%6s  %-17s  %-17s  %-17s" % ("bytes", "ours plain", "ours TLS", "socat plain"))
    for size in SIZES:
        print("%6d  %s  %s  %s" % (size, fmt(results[("ours plain", size)]),
                                   fmt(results[("ours TLS", size)]), fmt(results[("socat", size)])))
    print()
    print("host -> terminal throughput, unpaced, %.1f MiB: bytes/s" % args.mib)
    print("  ours plain %12.0f   ours TLS %12.0f   socat %12.0f" % (
        results[("ours plain", "tput")], results[("ours TLS", "tput")], results[("socat", "tput")]))
    print()
    print("terminal -> host, ms beyond the 100 ms frame-end silence (median / p99, %d frames; "
          "frames paced at 9600 bit/s; ours only)" % args.frames)
    print("%6s  %-17s  %-17s" % ("bytes", "plain", "TLS"))
    for size in (1, 42, 300):
        print("%6d  %s  %s" % (size, fmt(results[("t2h plain", size)]), fmt(results[("t2h TLS", size)])))
    print()
    print("back-to-back ENQ then ACK (next frame as soon as the 100 ms silence allows), ms as above")
    print("%6s  %-17s  %-17s" % ("frame", "plain", "TLS"))
    for f in ("ENQ", "ACK"):
        print("%6s  %s  %s" % (f, fmt(results[("b2b plain", f)]), fmt(results[("b2b TLS", f)])))
    print("  pairs that arrived as one frame (gap too short for the relay): plain %d, TLS %d" % (
        results[("b2b plain", "merged")], results[("b2b TLS", "merged")]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
