#!/usr/bin/env python3
"""End-to-end cases of a relay that a standard user runs: nothing that user can write or send
weakens it (its own ssllib32.dll only, the TLS opt-out, card masking, the log folder, messages
from other programs). What Wine cannot show (UAC, virtualisation, DACLs) is checked only as
far as the request goes, in tests/wine/app_least_privilege_test.cpp.

Run: python3 tests/e2e/test_least_privilege.py --build-dir build/i686 [unittest options]
"""

import glob
import os
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import demo  # noqa: E402  (tools/, put on the path by the harness)
import port_settings as ps  # noqa: E402

h.share_bench(globals(), port="COM1")

WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
WM_COMM_RXCHAR = 0x0401
IDC_BUTTON_SET = 1001  # BN_CLICKED is 0: the WM_COMMAND's wParam is the id alone
MARKER = "planted-ssllib32-loaded.txt"
CARD = b"4111111111111111"


def statuses(entries, part):
    return [e.text for e in entries if e.kind == "status" and part in e.text]


class LeastPrivilegeTest(unittest.TestCase):

    def scratch(self):
        return tempfile.mkdtemp(prefix="privilege-", dir=BENCH.tmp)

    def payment(self, relay, tls):
        tr = demo.Transcript()
        demo.payment(BENCH, relay, tr, tls=tls)
        self.assertTrue(tr.ok, "the payment (transcript above)")

    def frame(self, relay, data):
        """Sends a terminal frame and waits for its log line; answers the log entries."""
        before = len([e for e in relay.entries() if e.kind == "CAT->VAN"])
        BENCH.terminal.send(data)
        return relay.wait_log(lambda es: len([e for e in es if e.kind == "CAT->VAN"]) > before)

    def test_program_elsewhere_loads_only_the_library_beside_the_dll(self):
        base = self.scratch()
        install, pos, cwd = (os.path.join(base, d) for d in ("install", "pos", "cwd"))
        for d in (install, pos, cwd):
            os.makedirs(d)
        for name in ("pellarin.dll", "ssllib32.dll"):
            shutil.copy2(h.find_binary(BENCH.build_dir, name), install)
        with open(os.path.join(install, "ssllib32.ini"), "w", encoding="ascii") as f:
            f.write("[TLS]\r\nCAFile=%s\r\n" % h.wine_path(os.path.join(BENCH.pki, "ca.crt")))
        shutil.copy2(h.find_binary(BENCH.build_dir, "pos_like.exe"), pos)
        planted = h.find_binary(BENCH.build_dir, "planted_ssllib32.dll")
        for d in (pos, cwd):
            shutil.copy2(planted, os.path.join(d, "ssllib32.dll"))
        with open(os.path.join(cwd, "config.ini"), "w", encoding="ascii") as f:
            f.write("[DEBUG]\r\nLEVEL=99\r\n")
        relay = BENCH.relay(program=h.wine_path(os.path.join(pos, "pos_like.exe")), cwd=cwd,
                            args=[h.wine_path(os.path.join(install, "pellarin.dll"))]).start()
        self.payment(relay, tls=True)
        self.assertEqual(relay.exit_through_tray(), 0)
        for d in (pos, cwd):
            self.assertFalse(os.path.exists(os.path.join(d, MARKER)), "loaded from %s" % d)

    def test_without_the_library_beside_the_dll_tls_fails_with_a_status_line(self):
        folder = self.scratch()
        for name in ("pellarin.exe", "pellarin.dll"):
            shutil.copy2(h.find_binary(BENCH.build_dir, name), folder)
        with open(os.path.join(folder, "config.ini"), "w", encoding="ascii") as f:
            f.write("[DEBUG]\r\nLEVEL=0\r\n")
        relay = BENCH.relay(program=h.wine_path(os.path.join(folder, "pellarin.exe")),
                            cwd=BENCH.tmp).start()
        self.assertEqual(len(statuses(relay.entries(), "ssllib32.dll")), 1,
                         [e.text for e in relay.entries() if e.kind == "status"])
        host = BENCH.host("server_ip1")
        try:
            BENCH.terminal.send(h.connect_request(host.port, 0x21))
            failed = "#2 접속오류!! 127.0.0.1:%d" % host.port
            self.assertIn(failed, statuses(relay.wait_status(failed), failed))
        finally:
            host.stop()
        self.payment(relay, tls=False)
        self.assertEqual(relay.exit_through_tray(), 0)

    def test_verification_opt_out_counts_only_beside_the_dll(self):
        rows = [  # where the opt-out is set, connected?
            ("environment", {"SSLLIB32_INSECURE_SKIP_VERIFY": "1"}, "", False),
            ("ssllib32.ini beside the DLL", {}, "InsecureSkipVerify=1\r\n", True),
        ]
        for where, env, ini, connects in rows:
            with self.subTest(where=where):
                relay = BENCH.relay(env=env, tls_ini=ini).start()
                try:
                    refused = statuses(relay.entries(), "SSLLIB32_INSECURE_SKIP_VERIFY")
                    self.assertEqual(len(refused), 0 if connects else 1, refused)
                    host = BENCH.host("selfsigned")
                    try:
                        relay.mark_log()
                        BENCH.terminal.send(h.connect_request(host.port, 0x21))
                        done = ("접속 " if connects else "#2 접속오류!! ") + \
                            "127.0.0.1:%d" % host.port
                        self.assertIn(done, statuses(relay.wait_status(done), done))
                        if connects:
                            with open(os.path.join(relay.workdir, "ssllib32.log"),
                                      encoding="latin-1") as f:
                                self.assertIn("WARNING: 127.0.0.1", f.read())
                            BENCH.terminal.send(bytes([h.EOM]))
                            self.assertTrue(host.wait_events("closed", timeout=h.BOUND)[0])
                    finally:
                        host.stop()
                    self.assertEqual(relay.exit_through_tray(), 0)
                finally:
                    relay.kill()

    def test_masking_stays_on_from_a_config_ini_outside_the_install_folder(self):
        elsewhere = self.scratch()
        with open(os.path.join(elsewhere, "config.ini"), "w", encoding="ascii") as f:
            f.write("[DEBUG]\r\nLEVEL=99\r\n[LOG]\r\nMaskCardNumbers=0\r\n")
        relay = BENCH.relay(cwd=elsewhere, args=["--keep-cwd"]).start()
        self.assertEqual(len(statuses(relay.entries(), "MaskCardNumbers=0")), 1,
                         statuses(relay.entries(), "MaskCardNumbers"))
        self.frame(relay, b"\x02" + CARD + b"=2512\x03")
        text = relay.log_text()
        self.assertNotIn(CARD.decode(), text)
        self.assertIn("411111******1111", text)
        self.assertEqual(relay.exit_through_tray(), 0)

    def test_link_at_the_log_folder_is_refused_and_the_relay_relays(self):
        target = self.scratch()
        link = os.path.join(self.scratch(), "log")
        os.symlink(target, link)
        relay = BENCH.relay(log={"Dir": h.wine_path(link)}).start()
        self.assertEqual(len(statuses(relay.entries(), "로그 파일 폴더 거부")), 1,
                         [e.text for e in relay.entries() if e.kind == "status"])
        self.payment(relay, tls=False)
        self.assertEqual(relay.exit_through_tray(), 0)
        self.assertEqual(os.listdir(target), [], "written through the link")

    def test_messages_from_another_program_are_not_commands(self):
        relay = BENCH.relay().start()
        call = relay.inspector.call
        # Set, clicked by another program: on the hidden window, and after the window the
        # password opened was closed again. The frame after it proves the click was handled
        # (sent, not posted) and that no port line came before its own.
        for when in ("hidden", "closed after the password"):
            with self.subTest(set_clicked=when):
                if when != "hidden":
                    ps.unlock(relay)
                    call("send", hwnd=relay.main, msg=WM_CLOSE)
                    self.assertTrue(ps.wait_visible(relay, relay.main, shown=False))
                relay.mark_log()
                self.assertTrue(call("send", hwnd=relay.main, msg=WM_COMMAND,
                                     wparam=IDC_BUTTON_SET).get("ok"))
                entries = self.frame(relay, bytes([h.ACK]))
                self.assertEqual([e.text for e in entries if e.kind == "status"], [])
        # A burst notice from another program: nothing more reaches the host.
        host = BENCH.host()
        try:
            relay.mark_log()
            BENCH.terminal.send(h.connect_request(host.port, 0x25))
            connected = "접속 127.0.0.1:%d" % host.port
            self.assertIn(connected, statuses(relay.wait_status(connected), connected))
            self.assertTrue(host.wait_events("connect", timeout=h.BOUND)[0])
            first, second = b"\x02FIRST\x03", b"\x02SECOND\x03"
            self.frame(relay, first)
            self.assertTrue(host.wait_events("frame", nbytes=len(first), timeout=h.BOUND)[0])
            self.assertTrue(call("send", hwnd=relay.main, msg=WM_COMM_RXCHAR,
                                 wparam=len(first)).get("ok"))
            self.frame(relay, second)
            ok, evs = host.wait_events("frame", nbytes=len(first) + len(second),
                                       timeout=h.BOUND)
            got = bytes.fromhex("".join(e["hex"] for e in evs))
            self.assertEqual(got, first + second)
            self.assertEqual(len([e for e in relay.entries() if e.kind == "CAT->VAN"]), 3,
                             "the request and the two frames, nothing replayed")
            BENCH.terminal.send(bytes([h.EOM]))
            self.assertTrue(host.wait_events("closed", timeout=h.BOUND)[0])
        finally:
            host.stop()
        self.assertEqual(relay.exit_through_tray(), 0)


if __name__ == "__main__":
    h.run_tests(__file__)
