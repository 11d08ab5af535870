#!/usr/bin/env python3
"""End-to-end cases of the port-settings window and its password gate.

Run: python3 tests/e2e/test_port_settings.py --build-dir build/i686 [unittest names]
(re-runs itself under tools/with-display.sh and tools/with-ptys.sh when needed).

One relay serves every case, started on COM1; the operator's steps go through winprobe as a
person's would (tests/e2e/port_settings.py). Each case that moves the link to another port
moves it back to COM1 through the window before it ends. COM1, COM2 and COM10 are pty pairs
with a terminal simulator on the far side; COM12 names no device.
"""

import os
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import port_settings as ps  # noqa: E402
import termsim  # noqa: E402  (harness puts tools/ on the path)

h.share_bench(globals())
ID_TRAY_ABOUT = 32771


class PortSettingsTest(unittest.TestCase):

    relay = None

    @classmethod
    def setUpClass(cls):
        cls.term1 = BENCH.terminal
        cls.term2 = termsim.Terminal(os.environ["PELLARIN_TERM_COM2"])
        BENCH.store_port("COM1")
        cls.relay = BENCH.relay().start()
        assert cls.relay.port_status and ps.statuses(cls.relay.port_status) == ["COM1 Open 성공!"]

    @classmethod
    def tearDownClass(cls):
        cls.term2.close()
        if cls.relay:
            try:
                code = cls.relay.exit_through_tray()
                assert code == 0, "pellarin.exe ended with %r" % code
            finally:
                cls.relay.kill()

    def setUp(self):
        self.hosts = []
        self.moved = False  # set by a case that moves the link off COM1
        self.term1.clear()
        self.term2.clear()

    def tearDown(self):
        for host in self.hosts:
            host.stop()
        # A case that moved the link leaves it on COM1 again, hidden, for the next one.
        if self.moved:
            self.back_to_com1()

    # -- helpers -------------------------------------------------------------------------
    def stored_port(self):
        r = self.relay.registry("COM Port")
        return r.get("text") if r.get("exists") else None

    def assert_running(self):
        self.assertIsNone(self.relay.proc.poll(), "pellarin.exe ended")

    def send_and_see(self, term, data):
        """The frame reaches the relay through the port term is wired to: its line is logged."""
        term.send(data)
        entries = self.relay.wait_log(lambda es: any(
            e.kind == "CAT->VAN" and e.hex == data.hex() for e in es))
        self.assertIn(data.hex(), [e.hex for e in entries if e.kind == "CAT->VAN"],
                      "the frame sent on the port was not read")

    def back_to_com1(self):
        entries = ps.change_port(self.relay, "COM1")
        self.assertIn("COM1 Open 성공!", ps.statuses(entries))
        self.assertTrue(ps.wait_visible(self.relay, self.relay.main, shown=False))
        self.term1.clear()

    def settled_visibility(self):
        """Whether the main window is shown once every earlier command has been handled: the
        about box, asked for afterwards, proves that; it is closed again."""
        r = self.relay.inspector.call("command", hwnd=self.relay.main, cmd=ID_TRAY_ABOUT)
        self.assertTrue(r.get("ok"))
        about = h.poll(lambda: [w for w in self.relay.inspector.call(
            "list", caption=h.MAIN_CAPTION, pid=self.relay.pid, visible=1)["windows"]
            if w["hwnd"] != self.relay.main])
        self.assertTrue(about, "no about box")
        shown = ps.visible(self.relay, self.relay.main)
        self.relay.inspector.call("press", hwnd=about[0]["hwnd"], button=h.IDOK)
        self.assertTrue(ps.wait_gone(self.relay, about[0]["hwnd"]))
        return shown

    # -- the password gate -----------------------------------------------------------------
    def test_wrong_passwords_twice_then_the_right_one_shows_the_window(self):
        relay = self.relay
        dlg = ps.open_password_dialog(relay)
        self.assertEqual(ps.focus_id(relay, dlg), ps.IDC_EDIT_PASSWORD)
        # Escape does nothing: the character typed after it still lands in the open dialog.
        ps.press_key(relay, dlg, ps.VK_ESCAPE)
        ps.type_keys(relay, dlg, "9")
        self.assertTrue(h.poll(lambda: ps.field_text(relay, dlg, ps.IDC_EDIT_PASSWORD) == "9"))
        self.assertTrue(ps.visible(relay, dlg), "Escape closed the password dialog")

        rows = [  # typed (replacing the field), confirmed by
            ("7315", "Return"),
            (" 7316", "button"),  # byte for byte: no trimming
        ]
        for typed, how in rows:
            with self.subTest(typed=typed, how=how):
                ps.type_keys(relay, dlg, typed, select_all=True)
                self.assertTrue(h.poll(
                    lambda: ps.field_text(relay, dlg, ps.IDC_EDIT_PASSWORD) == typed))
                if how == "Return":
                    ps.press_key(relay, dlg, ps.VK_RETURN)
                else:
                    ps.click(relay, dlg, ps.IDC_BUTTON_PASSWORD)
                box = ps.answer_box(relay, ps.WRONG_PASSWORD)
                self.assertEqual([b["id"] for b in box["buttons"]], [h.IDOK])
                self.assertTrue(h.poll(
                    lambda: ps.field_text(relay, dlg, ps.IDC_EDIT_PASSWORD) == ""))
                self.assertTrue(h.poll(
                    lambda: ps.focus_id(relay, dlg) == ps.IDC_EDIT_PASSWORD),
                    "the focus is not back in the field")
                self.assertTrue(ps.visible(relay, dlg))
                self.assertFalse(ps.visible(relay, relay.main))

        # Typed straight into the focus: the field must have it.
        ps.type_keys(relay, dlg, ps.PASSWORD)
        self.assertTrue(h.poll(
            lambda: ps.field_text(relay, dlg, ps.IDC_EDIT_PASSWORD) == ps.PASSWORD))
        ps.click(relay, dlg, ps.IDC_BUTTON_PASSWORD)
        self.assertTrue(ps.wait_gone(relay, dlg))
        self.assertTrue(ps.wait_visible(relay, relay.main))
        # Its close box hides it again.
        relay.inspector.call("post", hwnd=relay.main, msg=ps.WM_CLOSE)
        self.assertTrue(ps.wait_visible(relay, relay.main, shown=False))

    def test_the_close_box_cancels_even_after_the_right_password_was_typed(self):
        relay = self.relay
        dlg = ps.open_password_dialog(relay)
        ps.type_keys(relay, dlg, ps.PASSWORD)
        self.assertTrue(h.poll(
            lambda: ps.field_text(relay, dlg, ps.IDC_EDIT_PASSWORD) == ps.PASSWORD))
        relay.inspector.call("post", hwnd=dlg, msg=ps.WM_SYSCOMMAND, wparam=ps.SC_CLOSE)
        self.assertTrue(ps.wait_gone(relay, dlg))
        self.assertFalse(self.settled_visibility(), "the close box showed the settings window")
        self.assert_running()

    # -- the Set button --------------------------------------------------------------------
    def test_set_on_the_open_port_closes_pauses_reopens_and_stores_it(self):
        self.moved = True  # a failure half-way could leave it closed
        BENCH.store_port(None)  # so that the store after the reopen is seen
        self.assertIsNone(self.stored_port())
        entries = ps.change_port(self.relay, "COM1")
        self.assertEqual(ps.statuses(entries), ["COM1 Close", "COM1 Open 성공!"])
        self.assertTrue(ps.wait_visible(self.relay, self.relay.main, shown=False))
        self.assertTrue(h.poll(lambda: self.stored_port() == "COM1"))
        self.send_and_see(self.term1, b"\x02REOPENED\x03")

    def test_a_typed_missing_port_fails_then_a_good_one_opens_without_a_close(self):
        relay = self.relay
        self.moved = True
        ps.change_port(relay, "COM12", wait=False)
        box = ps.answer_box(relay, "COM12 포트를 열 수 없습니다!", caption=h.PRODUCT_TITLE)
        self.assertEqual([b["id"] for b in box["buttons"]], [h.IDOK])
        entries = relay.wait_status("COM12 Open 실패!")
        self.assertEqual(ps.statuses(entries), ["COM1 Close", "COM12 Open 실패!"])
        self.assertTrue(self.settled_visibility(), "the window did not stay shown")
        self.assertEqual(self.stored_port(), "COM1")
        # No port is open: what the terminal on COM1 sends now is never read.
        lost = b"\x02LOST ON COM1\x03"
        self.term1.send(lost)
        relay_log_before = relay.log_text()

        # Still unlocked: the operator goes on with another name at once.
        entries = ps.change_port_unlocked(relay, "COM2")
        self.assertEqual(ps.statuses(entries), ["COM2 Open 성공!"], "no Close line expected")
        self.assertTrue(ps.wait_visible(relay, relay.main, shown=False))
        self.assertTrue(h.poll(lambda: self.stored_port() == "COM2"))
        self.send_and_see(self.term2, b"\x02ON COM2\x03")
        self.assertNotIn(lost.hex(), [e.hex for e in h.parse_log(relay_log_before)] +
                         [e.hex for e in relay.entries()])

    @classmethod
    def restart(cls):
        """Exit through the tray, then a new relay as the class's own (ended with the class)."""
        code = cls.relay.exit_through_tray()
        assert code == 0, "pellarin.exe ended with %r" % code
        cls.relay = BENCH.relay().start()

    def test_com10_opens_is_stored_whole_and_opens_again_after_a_restart(self):
        """COM10 opens only through the device namespace; stored by its first four characters
        it would come back as COM1 and the next start would open another port."""
        self.moved = True
        term10 = termsim.Terminal(os.environ["PELLARIN_TERM_COM10"])
        self.addCleanup(term10.close)
        entries = ps.change_port(self.relay, "COM10")
        self.assertEqual(ps.statuses(entries), ["COM1 Close", "COM10 Open 성공!"])
        self.assertTrue(h.poll(lambda: self.stored_port() == "COM10"))
        self.send_and_see(term10, b"\x02ON COM10\x03")

        self.restart()
        self.assertEqual(ps.statuses(self.relay.port_status), ["COM10 Open 성공!"])
        self.send_and_see(term10, b"\x02COM10 AFTER A RESTART\x03")

    def test_a_port_change_while_the_host_sends_keeps_the_connection(self):
        relay = self.relay
        self.moved = True
        burst, bursts = 200, 60
        answer = h.fill(1500, first=0x02)
        stream = []
        for _ in range(bursts):
            stream += [{"send_len": burst, "byte": "41"}, {"sleep": 0.1}]
        host = BENCH.host(script={"rules": [
            {"prefix": "0253", "do": stream},                   # STX 'S': a stream of blocks
            {"prefix": "0251", "do": [{"send": answer.hex()}]},  # STX 'Q': one long answer
        ]})
        self.hosts.append(host)

        self.term1.send(h.connect_request(host.port, 0x25))
        relay.wait_status("접속 127.0.0.1:%d" % host.port)
        self.assertTrue(host.wait_events("connect", timeout=h.BOUND)[0])

        ps.unlock(relay)
        ps.choose_port(relay, "COM2")
        relay.mark_log()
        self.term1.send(b"\x02S\x03")
        self.assertTrue(host.wait_events("sent", count=3, timeout=h.BOUND)[0])
        ps.click(relay, relay.main, ps.IDC_BUTTON_SET)
        entries = relay.wait_status("COM2 Open 성공!")
        self.assertEqual(ps.statuses(entries), ["COM1 Close", "COM2 Open 성공!"])
        sent = [e for e in list(host.events) if e["event"] == "sent"]
        self.assertLess(len(sent), bursts,
                        "the stream ended before the port change: nothing was tested")

        # Every block the host sent is handed on (or dropped while no port was open) and
        # logged; only then is the line quiet for the answer.
        self.assertTrue(host.wait_events("sent", count=bursts, timeout=h.BOUND)[0])
        entries = relay.wait_log(lambda es: sum(
            e.count for e in es if e.kind == "CAT<-VAN") >= bursts * burst)
        self.assertEqual(sum(e.count for e in entries if e.kind == "CAT<-VAN"), bursts * burst)
        self.term2.clear()

        self.term2.send(b"\x02Q\x03")
        got = self.term2.wait_received(len(answer), h.BOUND)
        self.assertEqual(got, answer, "the new port did not get the host's answer whole")
        self.assertFalse([e for e in host.events if e["event"] == "closed"],
                         "the host connection was closed by the port change")
        self.assert_running()

        self.term2.send(bytes([h.EOM]))
        self.assertTrue(host.wait_events("closed", timeout=h.BOUND)[0])


if __name__ == "__main__":
    h.run_tests(__file__)
