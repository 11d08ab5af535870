#!/usr/bin/env python3
"""End-to-end cases of how the relay ends host connections that do not end themselves.

Run: python3 tests/e2e/test_relay_core.py --build-dir BUILD [unittest options]
(re-runs itself under tools/with-display.sh and tools/with-ptys.sh when needed).

A busy or unreachable host reads the relay's close but keeps its own side open (half-open), or
stops reading altogether. Every way the relay ends a connection (EOM, DLE, a new connect
request, Exit) must then still end it at once and leave the program responsive: the proof is
the next thing the terminal asks for (a status line of a later connect request, or the end of
the process), seen within END_BOUND seconds, a third of the 15 s the relay's receive wait may
last. The time each end took is printed for the record.
"""

import os
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

BENCH = None
END_BOUND = 5.0       # seconds: an end that waited for the 15 s receive limit fails this
# Bytes the terminal sends, without a pause, to a host that stopped reading: more than the
# relay's socket buffers hold (loopback send buffers grow to 4 MiB here).
FILL_BYTES = 4 << 20
TLS_CERT = "server_ip1"


def setUpModule():
    global BENCH
    BENCH = h.Bench(os.environ["PELLARIN_BUILD_DIR"])


def tearDownModule():
    if BENCH:
        BENCH.close()


def report(what, seconds):
    print("relay-core: %s ended in %.2f s" % (what, seconds), file=sys.stderr, flush=True)


def events(host, *kinds):
    return [e for e in list(host.events) if e["event"] in kinds]


class CoreCase(unittest.TestCase):
    """A relay of the case's own (Exit rows end it), hosts stopped after each case."""

    def setUp(self):
        self.term = BENCH.terminal
        self.term.clear()
        self.hosts = []
        self.relays = []

    def tearDown(self):
        for relay in self.relays:
            try:
                if relay.proc.poll() is None:
                    relay.exit_through_tray()
            finally:
                relay.kill()
        for host in self.hosts:
            host.stop()

    def running_relay(self, level=99):
        """The case's relay, started anew when there is none or an Exit row ended it (one
        relay at a time: it holds COM1)."""
        if self.relays and self.relays[-1].proc.poll() is None:
            return self.relays[-1]
        BENCH.store_port("COM1")
        relay = BENCH.relay(level=level).start()
        self.relays.append(relay)
        relay.mark_log()
        return relay

    def drop_connection(self, relay):
        """EOM as a frame of its own: no connection is left for the next row."""
        self.frame_logged(relay, bytes([h.EOM]))

    def host(self, tls, script):
        host = BENCH.host(TLS_CERT if tls else None, script)
        self.hosts.append(host)
        return host

    def connect(self, relay, host, tls):
        self.term.send(h.connect_request(host.port, 0x21 if tls else 0x25))
        status = "접속 127.0.0.1:%d" % host.port
        self.assertIn(status, [e.text for e in relay.wait_status(status) if e.kind == "status"])
        ok, _ = host.wait_events("handshake" if tls else "connect", timeout=h.BOUND)
        self.assertTrue(ok, "host saw no connection")

    def frame_logged(self, relay, data):
        """Sends a frame and waits for its log line (the relay has taken it as a frame)."""
        def mine(entries):
            return [e for e in entries if e.kind == "CAT->VAN" and e.count == len(data)
                    and e.hex.startswith(data[:20].hex())]
        before = len(mine(relay.entries()))
        self.term.send(data)
        entries = relay.wait_log(lambda es: len(mine(es)) > before)
        self.assertGreater(len(mine(entries)), before, "frame %r not logged" % data[:20])

    def end_connection(self, relay, how, tls):
        """Ends the open connection by how; returns the seconds until the relay proved it was
        free again (a later request's status line, or the end of the process)."""
        started = time.monotonic()
        if how == "exit":
            self.assertEqual(relay.exit_through_tray(timeout=h.BOUND), 0)
            return time.monotonic() - started
        if how == "request":
            other = self.host(tls, {})
            self.term.send(h.connect_request(other.port, 0x21 if tls else 0x25))
            status = "접속 127.0.0.1:%d" % other.port
        else:
            # The close byte is a frame of its own once its line is logged (the relay ends a
            # frame at a silence); the request after it is the next frame.
            self.frame_logged(relay, bytes([h.EOM if how == "eom" else h.DLE]))
            refused = h.free_port()
            self.term.send(h.connect_request(refused, 0x25))
            status = "#1 접속오류!![-2] 127.0.0.1:%d" % refused
        entries = relay.wait_status(status, timeout=h.BOUND)
        elapsed = time.monotonic() - started
        self.assertIn(status, [e.text for e in entries if e.kind == "status"],
                      "the relay did not serve the next request")
        return elapsed

    def assert_host_saw_close(self, host, tls):
        """The half-open host read the relay's end of stream, after close_notify on TLS."""
        ok, _ = host.wait_events("eof", timeout=h.BOUND)
        self.assertTrue(ok, "host saw no end of stream: %r" % host.events[-5:])
        if tls:
            seen = [e["event"] for e in events(host, "close_notify", "eof")]
            self.assertEqual(seen, ["close_notify", "eof"], "close_notify before the close")


class HalfOpenHostTest(CoreCase):

    def test_every_close_path_ends_a_half_open_host_at_once(self):
        for how in ("eom", "dle", "request", "exit"):
            for tls in (False, True):
                with self.subTest(how=how, tls=tls):
                    relay = self.running_relay()
                    relay.mark_log()
                    host = self.host(tls, {"half_open": True})
                    self.connect(relay, host, tls)
                    elapsed = self.end_connection(relay, how, tls)
                    report("%s, %s, half-open host" % (how, "TLS" if tls else "plain"), elapsed)
                    self.assertLess(elapsed, END_BOUND)
                    self.assert_host_saw_close(host, tls)
                    if how == "request":
                        self.drop_connection(relay)  # the new connection goes too

    def test_half_record_then_half_open_ended_by_dle(self):
        # The relay's read waits inside the TLS library for the rest of a record that never
        # comes; DLE must reach it there.
        relay = self.running_relay()
        host = self.host(True, {"half_open": True, "on_connect": [{"half_record": 300}]})
        self.connect(relay, host, True)
        sent = [e for e in events(host, "sent") if e.get("how") == "half_record"]
        self.assertEqual(len(sent), 1)
        elapsed = self.end_connection(relay, "dle", True)
        report("dle, TLS, host stuck after half a record", elapsed)
        self.assertLess(elapsed, END_BOUND)
        ok, _ = host.wait_events("eof", timeout=h.BOUND)
        self.assertTrue(ok, "host saw no end of stream")
        self.assertEqual(self.term.received(), b"", "half a record is no data for the terminal")


class StoppedReadingHostTest(CoreCase):

    def test_full_send_buffers_do_not_freeze_the_relay(self):
        # All 0x02: every 4096-byte burst goes through the session on TLS, raw on plain.
        stream = bytes([0x02]) * FILL_BYTES
        for how in ("dle", "request", "exit"):
            for tls in (False, True):
                with self.subTest(how=how, tls=tls):
                    relay = self.running_relay(level=1)  # short dumps: the fill is long
                    relay.mark_log()
                    host = self.host(tls, {"stop_reading": True, "half_open": True,
                                           "rcvbuf": 4096})
                    self.connect(relay, host, tls)
                    ok, _ = host.wait_events("paused", timeout=h.BOUND)
                    self.assertTrue(ok)
                    # A relay blocked on the host for good would stop reading the terminal,
                    # and this write would never end.
                    fill = threading.Thread(target=self.term.send, args=(stream, False),
                                            daemon=True)
                    fill.start()
                    fill.join(120)
                    self.assertFalse(fill.is_alive(), "the relay stopped taking the "
                                     "terminal's bytes: a send to the host never ended")
                    elapsed = self.end_connection(relay, how, tls)
                    report("%s, %s, host not reading" % (how, "TLS" if tls else "plain"),
                           elapsed)
                    self.assertLess(elapsed, END_BOUND)
                    # The buffers were full: a send failed and the rest was not sent, so the
                    # host, reading again, finds fewer bytes than the terminal sent, then the
                    # end of the stream.
                    host._conns[-1].resume()
                    ok, _ = host.wait_events("eof", timeout=60)
                    self.assertTrue(ok, "host saw no end of stream")
                    got = sum(e["len"] for e in events(host, "frame", "raw"))
                    self.assertLess(got, FILL_BYTES, "every byte went out: the buffers never "
                                    "filled")
                    print("relay-core: host got %d of %d bytes" % (got, FILL_BYTES),
                          file=sys.stderr)
                    if how != "exit":
                        self.drop_connection(relay)


if __name__ == "__main__":
    h.run_tests(__file__)
