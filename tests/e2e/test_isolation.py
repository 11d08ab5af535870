#!/usr/bin/env python3
"""The harness keeps end-to-end runs apart: what guards every other end-to-end case.

A relay left running by an earlier run is ended before the next start, and the new relay's
windows are its own although both have the same captions; a relay is ended when its test
ends even when the test fails; a start that fails says what it saw and leaves nothing behind.

Run: python3 tests/e2e/test_isolation.py --build-dir build/x86_64 [unittest options]
"""

import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

h.share_bench(globals(), port="COM1")


def processes(image):
    return BENCH.inspector.call("procs", image=image)["procs"]


class IsolationTest(unittest.TestCase):

    def test_leftover_of_earlier_run_is_ended_and_its_windows_are_not_taken(self):
        # An earlier run's relay, started outside this Bench, as a crashed run leaves it.
        stray = h.Relay(BENCH.build_dir, BENCH.inspector, BENCH.tray, parent=BENCH.tmp)
        stray.install()
        proc = subprocess.Popen([h.WINE_RUN, os.path.join(stray.workdir, "pellarin.exe")],
                                cwd=stray.workdir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.addCleanup(h.kill_tree, proc)
        shown = BENCH.inspector.call("find", caption=h.MAIN_CAPTION, image=stray.image,
                                     timeout=int(h.START_BOUND * 1000))
        self.assertTrue(shown["ok"], "the stray relay did not start: %r" % shown)

        relay = BENCH.relay().start()
        self.assertEqual(processes(stray.image), [], "the stray relay still runs")
        self.assertNotEqual(relay.pid, shown["pid"])
        for hwnd in (relay.main, relay.log):
            info = BENCH.inspector.call("info", hwnd=hwnd)
            self.assertEqual((info["pid"], info["image"].lower()), (relay.pid, relay.image.lower()))
        self.assertIn("COM1 Open 성공!", [e.text for e in relay.port_status if e.kind == "status"])

    def test_relay_of_a_failing_test_ends_with_it(self):
        started = []

        class Failing(unittest.TestCase):
            def test_fails_while_relay_runs(self):
                started.append(BENCH.relay().start())
                self.fail("on purpose")

        # Run as a case alone (a suite would set this module up a second time).
        result = unittest.TestResult()
        Failing("test_fails_while_relay_runs").run(result)
        self.assertEqual((result.testsRun, len(result.failures), len(result.errors)), (1, 1, 0))
        relay, = started
        self.assertIsNotNone(relay.proc.poll(), "the relay's Wine process still runs")
        self.assertEqual(processes(relay.image), [])

    def test_failed_start_reports_what_it_saw_and_leaves_nothing(self):
        # A pellarin.exe that Wine cannot load: the start fails at once, with Wine's words.
        class Unloadable(h.Relay):
            def install(self):
                super().install()
                with open(os.path.join(self.workdir, "pellarin.exe"), "wb") as f:
                    f.write(b"not a program\r\n")

        relay = Unloadable(BENCH.build_dir, BENCH.inspector, BENCH.tray, parent=BENCH.tmp)
        relay.bench = BENCH
        with self.assertRaises(RuntimeError) as caught:
            relay.start()
        text = str(caught.exception)
        for part in ("did not come up", "process: ended with exit code",
                     "pellarin.exe processes in the prefix", "windows:"):
            self.assertIn(part, text)
        output = text.split("output (%s): " % os.path.join(relay.workdir, "output.txt"))
        self.assertEqual(len(output), 2, text)
        self.assertNotEqual(output[1].strip(), "empty", "Wine's message is not in the report")
        self.assertEqual(processes(relay.image), [])


if __name__ == "__main__":
    h.run_tests(__file__)
