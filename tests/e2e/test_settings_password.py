#!/usr/bin/env python3
"""End-to-end cases of the site's own settings password.

Run: python3 tests/e2e/test_settings_password.py --build-dir build/i686 [unittest names]

pellarin.exe --set-settings-password stores a salted PBKDF2-SHA256 hash in the registry; the
stored value is read back and recomputed here with Python's own PBKDF2, so a weak or wrong
hash shows. The password window is then driven as an operator would (tests/e2e/port_settings.py):
the stored password opens it and 7316 no longer does; after --clear-settings-password 7316 does
again; five wrong passwords in a row lock the window for 30 s.
"""

import hashlib
import os
import pty
import re
import select
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import port_settings as ps  # noqa: E402

h.share_bench(globals(), port="COM1")

VALUE = "Settings Password"
LOCKED_NOW = "30초 동안 입력할 수 없습니다"
LOCKED = "잠겨 있습니다"


def password_command(*args, stdin=b""):
    """pellarin.exe with args; (exit code, what it printed)."""
    exe = h.find_binary(os.environ["PELLARIN_BUILD_DIR"], "pellarin.exe")
    done = subprocess.run([h.WINE_RUN, exe] + list(args), input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=60)
    return done.returncode, done.stdout.decode("cp949", "replace").strip()


def typed_at_console(first, second):
    """pellarin.exe --set-settings-password on a terminal of its own (Wine's console on a pty),
    the two passwords typed a key at a time as a person types; (exit code, all it showed)."""
    exe = h.find_binary(os.environ["PELLARIN_BUILD_DIR"], "pellarin.exe")
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(h.WINE_RUN, [h.WINE_RUN, exe, "--set-settings-password"])
    shown = bytearray()

    def read_until(text, timeout=h.BOUND):
        deadline = time.monotonic() + timeout
        while text.encode() not in shown and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.1)[0]:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:  # the program has ended and closed the terminal
                    return
                if not chunk:
                    return
                shown.extend(chunk)

    for prompt, typed in (("비밀번호:", first), ("입력:", second)):
        read_until(prompt)
        for key in (typed + "\r").encode():
            os.write(fd, bytes([key]))
            time.sleep(0.02)  # a typist's pace: the console takes keys one by one
    read_until("\0")  # everything, to the end
    os.close(fd)
    return os.waitpid(pid, 0)[1] >> 8, shown.decode("utf-8", "replace")


def stored():
    """The stored value, or None."""
    r = BENCH.inspector.call("reg", key=h.REG_KEY, value=VALUE, view=32)
    return r.get("text") if r.get("exists") else None


def matches(value, password):
    """True when value is the stored form of password's hash (recomputed here)."""
    scheme, iterations, salt, digest = value.split("$")
    return scheme == "PBKDF2-SHA256" and hashlib.pbkdf2_hmac(
        "sha256", password.encode("utf-8"), bytes.fromhex(salt), int(iterations)).hex() == digest


def try_password(relay, dlg, text):
    ps.type_keys(relay, dlg, text, select_all=True)
    if not h.poll(lambda: ps.field_text(relay, dlg, ps.IDC_EDIT_PASSWORD) == text):
        raise ps.StepFailed("the field does not show %r" % text)
    ps.press_key(relay, dlg, ps.VK_RETURN)


class SettingsPasswordTest(unittest.TestCase):

    def setUp(self):
        password_command("--clear-settings-password")
        self.addCleanup(password_command, "--clear-settings-password")

    def start_relay(self):
        relay = BENCH.relay().start()
        self.addCleanup(relay.kill)
        return relay

    def test_stored_from_standard_input_opens_the_window_instead_of_7316_until_cleared(self):
        site = "Site pass 7"
        code, said = password_command("--set-settings-password", stdin=(site + "\r\n").encode())
        self.assertEqual((code, said), (0, "설정 비밀번호를 저장했습니다."))
        value = stored()
        self.assertTrue(matches(value, site), value)
        self.assertGreaterEqual(int(value.split("$")[1]), 100000)
        self.assertEqual(len(bytes.fromhex(value.split("$")[2])), 16)
        # A second store salts afresh: the same password never gives the same value.
        password_command("--set-settings-password", stdin=site.encode())
        self.assertNotEqual(stored(), value)
        self.assertTrue(matches(stored(), site))

        relay = self.start_relay()
        dlg = ps.open_password_dialog(relay)
        try_password(relay, dlg, ps.PASSWORD)
        ps.answer_box(relay, ps.WRONG_PASSWORD)
        try_password(relay, dlg, site)
        self.assertTrue(ps.wait_gone(relay, dlg))
        self.assertTrue(ps.wait_visible(relay, relay.main))
        relay.inspector.call("post", hwnd=relay.main, msg=ps.WM_CLOSE)
        self.assertTrue(ps.wait_visible(relay, relay.main, shown=False))

        self.assertEqual(password_command("--clear-settings-password"),
                         (0, "설정 비밀번호를 지웠습니다. 기본 비밀번호가 다시 쓰입니다."))
        self.assertIsNone(stored())
        ps.unlock(relay)  # 7316 again, in the same run
        self.assertEqual(relay.exit_through_tray(), 0)

    def test_five_wrong_in_a_row_lock_the_window_for_thirty_seconds(self):
        relay = self.start_relay()
        dlg = ps.open_password_dialog(relay)
        for n in range(1, 5):
            try_password(relay, dlg, "%04d" % n)
            ps.answer_box(relay, ps.WRONG_PASSWORD)
        # The lock starts between the fifth try and its box's answer.
        before_lock = time.monotonic()
        try_password(relay, dlg, "0005")
        ps.answer_box(relay, LOCKED_NOW)
        after_lock = time.monotonic()

        def outcome():
            if not ps.exists(relay, dlg):
                return "taken"
            r = relay.inspector.call("box", pid=relay.pid, contains=LOCKED, timeout=200)
            return r if r.get("ok") and r["buttons"] else None
        # Even the right password is refused until the 30 s are over, then taken at once. The
        # box says how long is left; the next try comes a little before that.
        refused = 0
        while True:
            tried = time.monotonic()
            try_password(relay, dlg, ps.PASSWORD)
            seen = h.poll(outcome)
            self.assertTrue(seen, "neither taken nor refused")
            if seen == "taken":
                self.assertGreaterEqual(time.monotonic() - before_lock, 30.0)
                break
            self.assertLess(tried - after_lock, 30.0, seen["text"])
            ps.answer_box(relay, LOCKED)
            refused += 1
            left = int(re.search(r"(\d+)초 후", seen["text"]).group(1))
            self.assertLessEqual(left, 30)
            time.sleep(max(0.0, left - 1.5))  # fewer boxes; the outcome does not depend on it
        self.assertGreater(refused, 0)
        self.assertTrue(ps.wait_visible(relay, relay.main))
        self.assertEqual(relay.exit_through_tray(), 0)

    def test_typed_twice_at_the_console_never_shown(self):
        code, shown = typed_at_console("Tty pw 1", "Tty pw 2")
        self.assertEqual(code, 1)
        self.assertIn("두 비밀번호가 다릅니다", shown)
        self.assertIsNone(stored())
        code, shown = typed_at_console("Tty pw 1", "Tty pw 1")
        self.assertEqual(code, 0, shown)
        self.assertIn("설정 비밀번호를 저장했습니다.", shown)
        self.assertNotIn("Tty", shown, "the password was shown")
        self.assertTrue(matches(stored(), "Tty pw 1"))

    def test_what_is_not_stored_and_the_installers_form(self):
        rows = [  # arguments, standard input, exit code, message
            (["--set-settings-password"], b"", 1, "비밀번호가 비어 있어 저장하지 않았습니다."),
            (["--set-settings-password"], b"x" * 300 + b"\n", 1,
             "표준 입력에서 비밀번호를 읽을 수 없습니다."),
            (["--clear-settings-password"], b"", 0, "저장된 설정 비밀번호가 없습니다."),
        ]
        for args, stdin, code, said in rows:
            with self.subTest(args=args, stdin=stdin[:8]):
                self.assertEqual(password_command(*args, stdin=stdin), (code, said))
                self.assertIsNone(stored())
        # The installer's form: the rest of the command line as it stands (the installer's
        # own case, a password with blanks and quotes, is in test_package.py).
        site = "Pa$$w0rd\\x%#"
        self.assertEqual(password_command("--set-settings-password=" + site)[0], 0)
        self.assertTrue(matches(stored(), site), stored())


if __name__ == "__main__":
    h.run_tests(__file__)
