#!/usr/bin/env python3
"""End-to-end case of the event log: what pellarin.exe reports to the Windows Application log.

Run: python3 tests/e2e/test_event_log.py --build-dir build/i686

Wine's event log accepts reports and discards them, but traces each call: the advapi channel
names the event type and message id, the eventlog channel each insertion string. The relay's
reports are read back from that trace in its output: start, a host that refuses (connect
error #1, asked for three times), a host whose certificate is not trusted (ssllib32's
rejection, then connect error #2, asked for twice) and Exit. Within the minute each cause is
reported once. What the messages say is checked against the message table by the Wine test
log_event_messages.
"""

import os
import re
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

h.share_bench(globals(), port="COM1")

# Wine 8's trace of RegisterEventSource/ReportEventW/DeregisterEventSource.
TRACE = "-all,fixme+advapi,+eventlog"
CALL = re.compile(r"fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x[0-9a-f]+,"
                  r"0x([0-9a-f]+),[0-9A-Fa-f]+,0x([0-9a-f]+),")
INSERT = re.compile(r"(?:err|warn|trace):eventlog:ReportEventW L\"(.*)\"$")
TYPES = {1: "error", 2: "warning", 4: "information"}

STARTED, ENDED = 0x40000001, 0x40000002
CONNECT_FAILED, TLS_START_FAILED = 0x800000C8, 0x800000C9
CERT_REJECTED = 0xC000012C


def reported_events(output_file):
    """[(type, id, [insertion strings])] in the order the relay reported them."""
    events = []
    with open(output_file, "rb") as f:
        for line in f.read().decode("utf-8", "replace").splitlines():
            call = CALL.search(line)
            if call:
                events.append((TYPES.get(int(call.group(1), 16), call.group(1)),
                               int(call.group(2), 16), []))
                continue
            insert = INSERT.search(line)
            if insert and events:
                events[-1][2].append(insert.group(1).replace("\\\\", "\\"))
    return events


class EventLogTest(unittest.TestCase):

    def test_start_connect_errors_rejected_certificate_and_exit_once_per_cause(self):
        refused = h.free_port()
        untrusted = BENCH.host(tls="selfsigned")
        relay = BENCH.relay(env={"WINEDEBUG": TRACE}).start()
        try:
            relay.wait_status("COM1 Open 성공!")
            for request, status, times in (
                    (h.connect_request(refused, 0x25), "#1 접속오류!![-2] 127.0.0.1:%d" % refused, 3),
                    (h.connect_request(untrusted.port, 0x21),
                     "#2 접속오류!! 127.0.0.1:%d" % untrusted.port, 2)):
                for n in range(1, times + 1):
                    BENCH.terminal.send(request)
                    seen = relay.wait_log(lambda es: [e.text for e in es].count(status) >= n)
                    self.assertEqual([e.text for e in seen].count(status), n, status)
            self.assertEqual(relay.exit_through_tray(), 0)
        finally:
            relay.kill()
            untrusted.stop()

        events = reported_events(os.path.join(relay.workdir, "output.txt"))
        host = "127.0.0.1:%d" % untrusted.port
        self.assertEqual([(t, i, s) for t, i, s in events if i != CERT_REJECTED], [
            ("information", STARTED, [relay.image, "1.3"]),
            ("warning", CONNECT_FAILED, ["127.0.0.1:%d" % refused, "-2"]),
            ("warning", TLS_START_FAILED, [host]),
            ("information", ENDED, [relay.image]),
        ])
        # ssllib32 reports its verdict, with the reason, just before the relay's #2.
        rejected = [(t, s[0]) for t, i, s in events if i == CERT_REJECTED]
        self.assertEqual(rejected, [("error", host)])
        reasons = [s[1] for _, i, s in events if i == CERT_REJECTED]
        self.assertRegex(reasons[0], r"^certificate chain", reasons)
        self.assertEqual([i for _, i, _ in events].index(CERT_REJECTED),
                         [i for _, i, _ in events].index(TLS_START_FAILED) - 1)


if __name__ == "__main__":
    h.run_tests(__file__)
