#!/usr/bin/env python3
"""End-to-end cases of the relay: pellarin.exe under Wine, terminal on COM1, hosts on loopback.

Run: python3 tests/e2e/test_relay.py --build-dir build/i686 [unittest options]
(re-runs itself under tools/with-display.sh and tools/with-ptys.sh when needed).

One relay serves the RelayTest cases in turn; each case starts with no host connection and a
cleared log, and ends by dropping whatever connection it left. LifecycleTest starts relays of
its own, because ending the program is what it checks.
"""

import glob
import os
import re
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

h.share_bench(globals())


def logged_hex(data):
    """What the log's hex field shows for a block: its bytes up to the first zero, then zeros."""
    cut = data.find(b"\0")
    return (data if cut < 0 else data[:cut] + bytes(len(data) - cut)).hex()


def count_events(host, kind):
    return len([e for e in list(host.events) if e["event"] == kind])


def frames_of(host, *kinds):
    return [(e["event"], e["hex"]) for e in list(host.events) if e["event"] in kinds]


class RelayCase(unittest.TestCase):
    """Shared plumbing: one relay for the class, helpers that wait for proof of each step."""

    relay = None

    @classmethod
    def setUpClass(cls):
        cls.term = BENCH.terminal
        BENCH.store_port("COM1")
        cls.relay = BENCH.relay().start()

    @classmethod
    def tearDownClass(cls):
        if cls.relay:
            try:
                cls.relay.exit_through_tray()
            finally:
                cls.relay.kill()

    def setUp(self):
        self.hosts = []
        self.relay.mark_log()
        self.term.clear()

    def tearDown(self):
        # Leave no connection behind: EOM closes one if it is still open.
        self.relay.mark_log()
        self.send_frame(bytes([h.EOM]))
        for host in self.hosts:
            host.stop()

    # -- helpers -------------------------------------------------------------------------
    def host(self, tls=None, script=None):
        host = BENCH.host(tls, script)
        self.hosts.append(host)
        return host

    def blocks(self, kind="CAT->VAN"):
        return [e for e in self.relay.entries() if e.kind == kind]

    def send_frame(self, data, paced=True):
        """Sends one frame and waits for its log line, which also proves that the relay has
        taken it as a frame of its own (it ended with the line's silence)."""
        before = len(self.blocks())
        self.term.send(data, paced)
        entries = self.relay.wait_log(
            lambda es: len([e for e in es if e.kind == "CAT->VAN"]) > before)
        mine = [e for e in entries if e.kind == "CAT->VAN"][before:]
        self.assertEqual(len(mine), 1, "one log line per frame: %r" % mine)
        self.assertEqual((mine[0].count, mine[0].hex), (len(data), logged_hex(data)))
        return entries

    def connect(self, host, kind=0x21, tls=True):
        """Sends a connect request to host and waits for the connection on both sides."""
        since = BENCH.tray.mark()
        proof = "handshake" if tls else "connect"
        before = count_events(host, proof)
        request = h.connect_request(host.port, kind)
        status = "접속 127.0.0.1:%d" % host.port
        # Lines reach the log window a little after they are logged, and an earlier connection
        # to the same host left the same status line: wait for one more of it.
        def statuses(es):
            return len([e for e in es if e.kind == "status" and e.text == status])
        seen = statuses(self.relay.entries())
        self.term.send(request)
        entries = self.relay.wait_log(lambda es: statuses(es) > seen)
        texts = [(e.kind, e.hex if e.kind != "status" else e.text) for e in entries]
        self.assertIn(("status", status), texts)
        self.assertLess(texts.index(("CAT->VAN", request.hex())), texts.index(("status", status)),
                        "the request's line comes before the status line")
        ok, _ = host.wait_events(proof, before + 1, timeout=h.BOUND)
        self.assertTrue(ok, "host saw no new %s" % proof)
        self.assert_icons(since, ends=BENCH.traffic)
        return since

    def assert_icons(self, since, ends, passes=None):
        """The shell's picture since a tray mark ends as `ends` (and went through `passes`)."""
        self.assertTrue(self.relay.wait_icon(ends),
                        "tray icon is not %s: %r" % (ends, self.relay.icon_now()))
        if passes:
            self.assertIn(passes, self.relay.icons_since(since))

    def wait_closed(self, host, count=1):
        ok, evs = host.wait_events("closed", count, timeout=h.BOUND)
        self.assertTrue(ok, "host saw no close: %r" % host.events)
        return evs


class RelayTest(RelayCase):

    def test_connect_request_then_ack_then_eom(self):
        rows = [  # kind, TLS?
            (0x21, True),
            (0x0D, True),
            (0x25, False),
        ]
        for kind, tls in rows:
            with self.subTest(kind=hex(kind)):
                host = self.host("server_ip1" if tls else None)
                since = self.connect(host, kind, tls)
                self.assert_icons(since, ends=BENCH.traffic, passes=BENCH.idle)
                self.send_frame(bytes([h.ACK]))
                ok, _ = host.wait_events("frame", 1)
                self.assertTrue(ok)
                # The request never reached the host: ACK is the first and only thing it got.
                self.assertEqual(frames_of(host, "frame", "raw"), [("frame", "06")])
                since = BENCH.tray.mark()
                self.send_frame(bytes([h.EOM]))
                self.wait_closed(host)
                self.assertEqual(frames_of(host, "frame", "raw"), [("frame", "06")])
                self.assert_icons(since, ends=BENCH.idle)

    def test_every_frame_whole_whatever_its_first_byte(self):
        # On a TLS connection every frame travels inside TLS ("frame"; "raw" would be bytes on
        # the socket between records), whatever its first byte; on a plain connection every
        # frame arrives as sent.
        rows = [
            bytes([0x04]) + b"ABC",
            bytes([0x02]) + b"AB\0CD" + bytes([0x03]),
            bytes([h.ACK]),
            bytes([h.NAK]),
            b"I0123",
            b"T0123",
            bytes([h.ENQ]),
            b"A\0B",
        ]
        for tls in (True, False):
            with self.subTest(tls=tls):
                host = self.host("server_ip1" if tls else None)
                self.connect(host, 0x21 if tls else 0x25, tls)
                for n, data in enumerate(rows, 1):
                    self.send_frame(data)
                    ok = h.poll(lambda: len(frames_of(host, "frame", "raw")) >= n)
                    self.assertTrue(ok, "host got %d of %d frames" % (len(frames_of(host, "frame", "raw")), n))
                self.assertEqual(frames_of(host, "frame", "raw"),
                                 [("frame", data.hex()) for data in rows])

    def test_host_answer_reaches_terminal_whole(self):
        rows = [  # host's answer, TLS?
            (h.fill(300), False),
            (h.fill(300), True),
            (bytes([0x02]) + b"AB\0CD" + bytes([0x03]), True),
            (h.fill(4096), False),
            (h.fill(4096), True),
        ]
        for answer, tls in rows:
            with self.subTest(size=len(answer), tls=tls):
                self.relay.mark_log()
                self.term.clear()
                host = self.host("server_ip1" if tls else None,
                                 {"rules": [{"prefix": "54", "do": [{"send": answer.hex()}]}]})
                self.connect(host, 0x21 if tls else 0x25, tls)
                since = BENCH.tray.mark()
                self.send_frame(b"T")
                got = self.term.wait_received(len(answer), h.BOUND)
                self.assertEqual(got, answer)
                lines = self.relay.wait_log(
                    lambda es: sum(e.count for e in es if e.kind == "CAT<-VAN") >= len(answer))
                back = [e for e in lines if e.kind == "CAT<-VAN"]
                self.assertEqual([(e.count, e.hex) for e in back], [(len(answer), logged_hex(answer))])
                self.assert_icons(since, ends=BENCH.traffic)
                self.send_frame(bytes([h.EOM]))
                self.wait_closed(host)

    def test_log_window_keeps_every_line_of_long_traffic(self):
        # Eight full dumps of 4096-byte answers make about 100,000 characters of log, far below
        # the 5000 lines the window keeps; every one must show.
        host = self.host(None, {"rules": [{"prefix": "54", "do": [{"send_len": 4096}]}]})
        self.connect(host, 0x25, tls=False)
        for k in range(1, 9):
            self.term.clear()
            self.send_frame(b"T")
            self.assertEqual(len(self.term.wait_received(4096, h.BOUND)), 4096)
            lines = self.relay.wait_log(
                lambda es: len([e for e in es if e.kind == "CAT<-VAN"]) >= k)
            whole = [e.count == 4096 and e.hex == h.fill(4096).hex()
                     for e in lines if e.kind == "CAT<-VAN"]
            self.assertEqual(whole, [True] * k, "answer %d not shown whole (%d characters in "
                             "the log window)" % (k, len(self.relay.log_text())))

    def test_terminal_block_of_4096_bytes(self):
        block = h.fill(4096, first=0x02)
        for tls in (False, True):
            with self.subTest(tls=tls):
                self.relay.mark_log()
                host = self.host("server_ip1" if tls else None)
                self.connect(host, 0x21 if tls else 0x25, tls)
                self.send_frame(block)
                ok, evs = host.wait_events("frame", nbytes=len(block))
                self.assertTrue(ok, "host got %d bytes" % sum(e["len"] for e in evs))
                self.assertEqual(bytes.fromhex("".join(e["hex"] for e in evs)), block)
                self.assertEqual(frames_of(host, "raw"), [])

    def test_dle_and_eom_close_without_being_sent(self):
        for byte in (h.EOM, h.DLE):
            for tls in (False, True):
                with self.subTest(byte=hex(byte), tls=tls):
                    host = self.host("server_ip1" if tls else None)
                    self.connect(host, 0x21 if tls else 0x25, tls)
                    since = BENCH.tray.mark()
                    self.send_frame(bytes([byte]))
                    self.wait_closed(host)
                    self.assertEqual(frames_of(host, "frame", "raw"), [])
                    self.assert_icons(since, ends=BENCH.idle)

    def test_without_connection_frames_are_only_logged(self):
        host = self.host()
        self.connect(host, 0x25, tls=False)
        self.send_frame(bytes([h.EOM]))
        self.wait_closed(host)
        for data in (bytes([h.ACK]), bytes([0x02]) + b"HELLO" + bytes([0x03]), bytes([h.EOM])):
            self.send_frame(data)
        self.assertEqual(frames_of(host, "frame", "raw"), [])
        self.assertEqual(count_events(host, "connect"), 1)
        statuses = [e for e in self.relay.entries() if e.kind == "status"]
        self.assertEqual([e.text for e in statuses], ["접속 127.0.0.1:%d" % host.port])

    def test_bad_digits_close_old_connection_and_open_none(self):
        host = self.host()
        self.connect(host, 0x25, tls=False)
        bad = h.connect_request(host.port, 0x25, groups=("19A", "000", "000", "001"))
        self.send_frame(bad)
        self.wait_closed(host)
        # A marker frame after it: any status line the bad request caused would come before.
        self.send_frame(bytes([0x02]) + b"MARK" + bytes([0x03]))
        statuses = [e.text for e in self.relay.entries() if e.kind == "status"]
        self.assertEqual(statuses, ["접속 127.0.0.1:%d" % host.port])
        self.assertEqual(count_events(host, "connect"), 1)
        self.assertEqual(frames_of(host, "frame", "raw"), [])


class CardDataLogTest(RelayCase):
    """Card numbers in the log window and the daily file ([LOG] Dir=log, beside config.ini)."""

    @classmethod
    def setUpClass(cls):
        cls.term = BENCH.terminal
        BENCH.store_port("COM1")
        cls.relay = BENCH.relay(log={"Dir": "log"}).start()

    def log_file_bytes(self):
        """The day's log file as the program's reader sees it (through Windows, sharing read
        and write while the relay writes)."""
        names = sorted(glob.glob(os.path.join(self.relay.workdir, "log", "pellarin-*.log")))
        self.assertEqual(len(names), 1, "one day, one file: %r" % names)
        self.assertRegex(os.path.basename(names[0]), r"^pellarin-\d{8}\.log$")
        r = BENCH.inspector.call("read-file", path=h.wine_path(names[0]))
        self.assertTrue(r.get("ok"), "the file cannot be read while the relay runs: %r" % r)
        return bytes.fromhex(r["hex"])

    @staticmethod
    def summary(entries):
        return [(e.kind, e.count, e.hex) if e.kind != "status" else (e.kind, e.text)
                for e in entries]

    def request_and_answer(self, request, answer):
        """A plain connection to a host that answers a frame starting with STX: the request
        and the answer cross unchanged (whatever the log shows of them)."""
        host = self.host(None, {"rules": [{"prefix": "02", "do": [{"send": answer.hex()}]}]})
        self.connect(host, 0x25, tls=False)
        self.relay.mark_log()
        self.term.clear()
        self.term.send(request)
        ok, evs = host.wait_events("frame", nbytes=len(request))
        self.assertTrue(ok, "host got %r" % evs)
        self.assertEqual(bytes.fromhex("".join(e["hex"] for e in evs)), request)
        self.assertEqual(self.term.wait_received(len(answer), h.BOUND), answer)

    def test_card_numbers_masked_in_window_and_file_relayed_whole(self):
        # Track 2 equivalent data packed as chip terminals send it: card number, D, expiry,
        # service code, discretionary data, F pad.
        packed = bytes.fromhex("4111111111111111d25121011234567f")
        request = b"\x02PAN=4111111111111111\x1c" + packed + b"\x03"
        answer = b"\x02CARD 4012-8888-8888-1881 OK\x03"
        shown_request = (b"\x02PAN=411111******1111\x1c" +
                         bytes.fromhex("411111ffffff1111dfffffffffffffff") + b"\x03")
        shown_answer = b"\x02CARD 4012-88**-****-1881 OK\x03"

        self.request_and_answer(request, answer)

        entries = self.relay.wait_log(lambda es: any(e.kind == "CAT<-VAN" for e in es))
        blocks = [(e.kind, e.count, e.hex) for e in entries if e.kind != "status"]
        self.assertEqual(blocks, [("CAT->VAN", len(request), shown_request.hex()),
                                  ("CAT<-VAN", len(answer), shown_answer.hex())])

        # The file holds the window's lines, in the window's order, within the flush interval
        # (the character fields hold bytes that are no code page 949 text: compared by the
        # lines' kinds, counts, hex fields and status texts).
        window = self.summary(h.parse_log(self.relay.log_text()))

        def file_lines():
            return self.summary(h.parse_log(self.log_file_bytes().decode("cp949", "replace")))

        def file_holds_window():
            lines = file_lines()
            return any(lines[i:i + len(window)] == window for i in range(len(lines)))
        self.assertTrue(h.poll(file_holds_window), "window %r\nfile %r" % (window, file_lines()))
        raw = self.log_file_bytes()
        self.assertTrue(raw.endswith(b"\r\n"))
        self.assertNotIn(b"4111111111111111", raw)
        self.assertNotIn(b"4012-8888-8888-1881", raw)
        self.assertNotIn(packed, raw)
        for clear in (request.hex(), answer.hex(), packed.hex()):
            self.assertNotIn(clear.encode(), raw)

    def test_record_keeps_every_byte_but_card_digits_one_line_each(self):
        # A terminal request with a card number followed by its expiry; the host's answer with
        # KEY=value fields after the card number (answer code, approval number, amount), CR LF,
        # then an EMV block: tag 57 (track 2), tag 5A (card number) and the amount tag 9F02,
        # whose zero bytes end what the window shows but not what the file shows.
        request = b"\x020200\x1c41111111111111112512\x1c000000023000\x03"
        shown_request = b"\x020200\x1c411111******11112512\x1c000000023000\x03"
        track2 = "5555555555554444d25121011234567f"
        answer = (b"\x02D1 0210 RC=00 CARD=5555555555554444 AUTH=83215507 AMT=000000023000\r\n" +
                  bytes.fromhex("5710" + track2 + "5a085555555555554444" + "9f0206000000023000") +
                  b"\x03")
        shown_answer = (b"\x02D1 0210 RC=00 CARD=555555******4444 AUTH=83215507 AMT=000000023000\r\n" +
                        bytes.fromhex("5710" + "555555ffffff4444dfffffffffffffff" +
                                      "5a08555555ffffff4444" + "9f0206000000023000") + b"\x03")

        self.request_and_answer(request, answer)

        # The window: every byte as sent but the card digits, up to the first zero byte.
        entries = self.relay.wait_log(lambda es: any(e.kind == "CAT<-VAN" for e in es))
        blocks = [(e.kind, e.count, e.hex) for e in entries if e.kind != "status"]
        self.assertEqual(blocks, [("CAT->VAN", len(request), logged_hex(shown_request)),
                                  ("CAT<-VAN", len(answer), logged_hex(shown_answer))])

        # The file: every byte of each block in its hex field, printable bytes as they are and
        # every other one as '.' in its character field; one line per record, all of it code
        # page 949 text.
        def chars(data):
            return "".join(chr(b) if 0x20 <= b <= 0x7e else "." for b in data)
        wanted = [("CAT->VAN", len(request), chars(shown_request), shown_request.hex()),
                  ("CAT<-VAN", len(answer), chars(shown_answer), shown_answer.hex())]

        def file_blocks():
            return [(e.kind, e.count, e.chars, e.hex)
                    for e in h.parse_log(self.log_file_bytes().decode("cp949", "replace"))
                    if e.kind != "status"]

        def file_holds_records():
            lines = file_blocks()
            return any(lines[i:i + 2] == wanted for i in range(len(lines)))
        self.assertTrue(h.poll(file_holds_records), "wanted %r\nfile %r" % (wanted, file_blocks()))
        raw = self.log_file_bytes()
        text = raw.decode("cp949")  # strict: the whole file is code page 949 text
        lines = text.split("\r\n")
        self.assertEqual(lines[-1], "")
        self.assertTrue(all(re.match(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d ", line)
                            for line in lines[:-1]), "a record over several lines: %r" % lines)
        self.assertNotIn("\n", "".join(lines))
        for card in (b"4111111111111111", b"5555555555554444"):
            self.assertNotIn(card, raw)
            self.assertNotIn(card.hex().encode(), raw)
        self.assertNotIn(bytes.fromhex("5555555555554444"), raw)


class LogFileFailureTest(unittest.TestCase):

    def test_unwritable_folder_gives_one_status_line_and_relay_goes_on(self):
        # A folder inside a file can never be made. Two values that cannot be used and
        # masking turned off each give their status line at start, too.
        BENCH.store_port("COM1")
        relay = BENCH.relay(log={"Dir": "config.ini\\log", "KeepDays": "abc",
                                 "MaskCardNumbers": "0"}).start()
        self.addCleanup(relay.kill)
        folder = h.wine_path(os.path.join(relay.workdir, "config.ini", "log"))

        def failures(es):
            return [e.text for e in es if e.kind == "status" and
                    e.text.startswith("로그 파일 폴더에 기록할 수 없음: %s (" % folder)]
        entries = relay.wait_log(lambda es: failures(es))
        self.assertEqual(len(failures(entries)), 1, entries)
        statuses = [e.text for e in entries if e.kind == "status"]
        self.assertIn("config.ini [LOG] KeepDays=abc: 사용할 수 없는 값, 기본값 90 사용", statuses)
        self.assertTrue(any(t.startswith("config.ini [LOG] MaskCardNumbers=0: ") for t in statuses),
                        statuses)

        host = BENCH.host()
        self.addCleanup(host.stop)
        BENCH.terminal.send(h.connect_request(host.port, 0x25))
        ok, _ = host.wait_events("connect", 1, timeout=h.BOUND)
        self.assertTrue(ok, "no connection")
        for k in range(1, 4):
            BENCH.terminal.send(b"\x02F%d\x03" % k)
            ok, _ = host.wait_events("frame", k, timeout=h.BOUND)
            self.assertTrue(ok, "frame %d not relayed" % k)
        entries = relay.wait_log(lambda es: len([e for e in es if e.kind == "CAT->VAN"]) >= 4)
        self.assertEqual(len(failures(entries)), 1, "one status line, not one per line logged")
        BENCH.terminal.send(bytes([h.EOM]))


class LifecycleTest(unittest.TestCase):

    def test_start_stores_port_shows_idle_icon_and_exit_ends(self):
        BENCH.store_port(None)
        relay = BENCH.relay().start()
        try:
            self.assertIn("COM1 Open 성공!", [e.text for e in relay.wait_status("COM1 Open 성공!")])
            self.assertEqual(h.poll(lambda: relay.registry("COM Port").get("text")), "COM1")
            self.assertTrue(relay.wait_icon(BENCH.idle), "idle icon after start")
            add = [c for c in relay.tray_calls() if c["op"] == "ADD"]
            self.assertEqual([(c["id"], c["msg"], c["tip"]) for c in add],
                             [(h.TRAY_ICON_ID, h.WM_TRAY_NOTIFY, h.PRODUCT_TITLE)])
            self.assertTrue(BENCH.inspector.call("wait", hwnd=relay.main, state="hidden",
                                                 timeout=15000)["ok"], "main window hides")
            self.assertEqual(relay.exit_through_tray(), 0)
            self.assertEqual([c["op"] for c in relay.tray_calls()][-1], "DELETE")
            self.assertFalse(BENCH.inspector.call("info", hwnd=relay.main)["exists"])
        finally:
            relay.kill()


if __name__ == "__main__":
    h.run_tests(__file__)
