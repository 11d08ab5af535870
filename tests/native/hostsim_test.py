#!/usr/bin/env python3
"""Checks the host simulator itself, since the TLS and end-to-end tests trust what it reports.

A real TLS client (Python's ssl over a plain socket it also writes raw bytes to) talks to a
real listener on loopback: records and raw frames interleaved in one stream must come out as
frames and raw frames in order; scripted answers must arrive as scripted.
"""

import os
import socket
import ssl
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import hostsim  # noqa: E402
import make_test_pki  # noqa: E402

PKI = None


def setUpModule():
    global PKI
    PKI = tempfile.mkdtemp(prefix="hostsim-pki-")
    make_test_pki.make(PKI)


class TlsClient:
    """TLS over a socket through memory BIOs, so raw bytes can be put between records."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        ctx = ssl.create_default_context(cafile=os.path.join(PKI, "ca.crt"))
        ctx.check_hostname = False
        self.inb, self.outb = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.inb, self.outb, server_side=False)
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self._flush()
                self.inb.write(self.sock.recv(65536))
        self._flush()

    def _flush(self):
        data = self.outb.read()
        if data:
            self.sock.sendall(data)

    def wire_record(self, data):
        self.tls.write(data)
        return self.outb.read()

    def read(self, n):
        out = b""
        while len(out) < n:
            try:
                out += self.tls.read(n - len(out))
            except ssl.SSLWantReadError:
                self.inb.write(self.sock.recv(65536))
        return out


class SplitterTest(unittest.TestCase):
    def test_rows(self):
        rec = bytes([0x17, 3, 3, 0, 3]) + b"abc"
        rows = [
            ("record alone", [rec], [("record", rec)]),
            ("raw byte between records", [rec + b"\x04" + rec],
             [("record", rec), ("raw", b"\x04"), ("record", rec)]),
            ("raw frame with a record-type byte inside", [b"\x02\x17\x30" + rec],
             [("raw", b"\x02\x17\x30"), ("record", rec)]),
            ("record split over three reads", [rec[:2], rec[2:6], rec[6:]], [("record", rec)]),
            ("raw at the end of a read", [b"\x06"], [("raw", b"\x06")]),
            ("raw frame starting with a record-type byte", [b"\x16\x41\x42" + rec],
             [("raw", b"\x16\x41\x42"), ("record", rec)]),
        ]
        for name, chunks, want in rows:
            with self.subTest(name):
                sp = hostsim.StreamSplitter()
                got = []
                for c in chunks:
                    got += sp.feed(c)
                self.assertEqual(got, want)
                self.assertEqual(sp.pending, b"")


class ListenerTest(unittest.TestCase):
    def tls_listener(self, script):
        lst = hostsim.Listener(tls=hostsim.TlsFiles(os.path.join(PKI, "server_ip1.crt"),
                                                    os.path.join(PKI, "server_ip1.key")),
                               script=script).start()
        self.addCleanup(lst.stop)
        self.assertLessEqual(lst.port, 9999)
        return lst

    def test_raw_between_records_and_echo(self):
        lst = self.tls_listener({"rules": [{"kind": "frame", "do": [{"echo": True}]}]})
        c = TlsClient(lst.port)
        self.addCleanup(c.sock.close)
        c.sock.sendall(c.wire_record(b"first") + b"\x04" + c.wire_record(b"second"))
        self.assertEqual(c.read(11), b"firstsecond")
        ok, frames = lst.wait_events("frame", count=2)
        self.assertTrue(ok)
        ok, raws = lst.wait_events("raw", count=1)
        self.assertTrue(ok)
        self.assertEqual([e["hex"] for e in frames], [b"first".hex(), b"second".hex()])
        self.assertEqual(raws[0]["hex"], "04")
        order = [e["event"] for e in lst.events if e["event"] in ("frame", "raw")]
        self.assertEqual(order, ["frame", "raw", "frame"])

    def test_scripted_answers(self):
        lst = self.tls_listener({"on_connect": [{"send": "0605"}],
                                 "rules": [{"prefix": "49", "do": [{"send_len": 300}]},
                                           {"do": [{"records_len": [10, 20]}]}]})
        c = TlsClient(lst.port)
        self.addCleanup(c.sock.close)
        self.assertEqual(c.read(2), b"\x06\x05")
        c.sock.sendall(c.wire_record(b"I1"))
        answer = c.read(300)
        self.assertNotIn(0, answer)
        c.sock.sendall(c.wire_record(b"X"))
        self.assertEqual(len(c.read(30)), 30)

    def test_plain_close_after_answer(self):
        lst = hostsim.Listener(script={"rules": [{"do": [{"send": "414243"}, {"close": True}]}]}).start()
        self.addCleanup(lst.stop)
        s = socket.create_connection(("127.0.0.1", lst.port), timeout=5)
        self.addCleanup(s.close)
        s.sendall(b"\x02hello")
        got = b""
        while True:
            d = s.recv(100)
            if not d:
                break
            got += d
        self.assertEqual(got, b"ABC")
        ok, ev = lst.wait_events("frame")
        self.assertTrue(ok)
        self.assertEqual(ev[0]["hex"], b"\x02hello".hex())


if __name__ == "__main__":
    unittest.main()
