#!/usr/bin/env python3
"""End-to-end case of the event log: what pellarin.exe reports to the Windows Application log.

Run: python3 tests/e2e/test_event_log.py --build-dir build/i686

Wine's event log accepts reports and discards them, but traces each call: the advapi channel
names the event type and message id, the eventlog channel each insertion string. The relay's
reports are read back from that trace in its output: start, a host that refuses (connect
error #1, asked for three times), a host whose certificate is not trusted (ssllib32's
rejection, then connect error #2, asked for twice) and Exit. Within the minute each cause is
reported once. At Exit the day's figures come as event 3 and as the status line "일일 요약: ..."
in the daily file, with what the run carried counted. What the messages say is checked against the message table by the Wine test
log_event_messages.
"""

import glob
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

STARTED, ENDED, DAILY_SUMMARY = 0x40000001, 0x40000002, 0x40000003
CONNECT_FAILED, TLS_START_FAILED = 0x800000C8, 0x800000C9
CERT_REJECTED = 0xC000012C


# The day's figures in the order of event 3's insertion strings %2 on (and of the status line).
FIGURES = ("terminal frames", "terminal bytes", "host blocks", "host bytes", "TCP", "TLS",
           "#1", "#2", "#3", "DLE", "EOM", "host", "failed send", "port lost", "port reopened",
           "log lines dropped")


def figures(**counts):
    """Event 3's figures: the named ones as given, every other 0."""
    row = [str(counts.pop(name.replace(" ", "_").replace("#", "error"), 0)) for name in FIGURES]
    assert not counts, "no such figure: %r" % counts
    return row


def summary_line(day, f):
    """The status line of a day and its figures, as the relay writes it."""
    return ("일일 요약: %s 단말 프레임 %s (%s바이트), 호스트 블록 %s (%s바이트), 접속 TCP %s TLS %s, "
            "접속오류 #1 %s #2 %s #3 %s, 종료 DLE %s EOM %s 호스트 %s 송신실패 %s, "
            "포트 끊김 %s 재연결 %s, 로그 생략 %s줄" % tuple([day] + f))


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
        refused = h.refusing_port()
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
        day = [s[0] for _, i, s in events if i == DAILY_SUMMARY][:1]
        self.assertEqual([(t, i, s) for t, i, s in events if i != CERT_REJECTED], [
            ("information", STARTED, [relay.image, "1.3"]),
            ("warning", CONNECT_FAILED, ["127.0.0.1:%d" % refused, "-2"]),
            ("warning", TLS_START_FAILED, [host]),
            ("information", DAILY_SUMMARY,
             day + figures(terminal_frames=5, terminal_bytes=5 * 18, error1=3, error2=2)),
            ("information", ENDED, [relay.image]),
        ])
        # ssllib32 reports its verdict, with the reason, just before the relay's #2.
        rejected = [(t, s[0]) for t, i, s in events if i == CERT_REJECTED]
        self.assertEqual(rejected, [("error", host)])
        reasons = [s[1] for _, i, s in events if i == CERT_REJECTED]
        self.assertRegex(reasons[0], r"^certificate chain", reasons)
        self.assertEqual([i for _, i, _ in events].index(CERT_REJECTED),
                         [i for _, i, _ in events].index(TLS_START_FAILED) - 1)


class DailySummaryTest(unittest.TestCase):

    def test_exit_reports_the_days_figures_to_the_file_and_as_event_3(self):
        answer, question = b"\x02OK\x03", b"\x02ABC\x03"
        answering = BENCH.host(script={"rules": [{"prefix": "02", "do": [{"send": answer.hex()}]}]})
        closing = BENCH.host(script={"rules": [{"prefix": "02", "do": [
            {"send": answer.hex()}, {"close": True}]}]})
        refused = h.refusing_port()
        relay = BENCH.relay(env={"WINEDEBUG": TRACE}, log={"Dir": "log"}).start()
        try:
            relay.wait_status("COM1 Open 성공!")
            sent = []

            def send(frame, status=None):
                sent.append(frame)
                BENCH.terminal.send(frame)
                if status:
                    relay.wait_status(status)

            # Served, ended by DLE; served, ended by the host; one that cannot connect.
            for host, end in ((answering, b"\x10"), (closing, None)):
                send(h.connect_request(host.port, 0x25), "접속 127.0.0.1:%d" % host.port)
                send(question)
                self.assertEqual(BENCH.terminal.wait_received(len(answer), h.BOUND), answer)
                if end:
                    send(end)
                ok, evs = host.wait_events("closed", 1, timeout=h.BOUND)
                self.assertTrue(ok, "the host saw no end: %r" % evs)
                BENCH.terminal.clear()
            relay.wait_icon(BENCH.idle)  # the relay has seen the host's end too
            send(h.connect_request(refused, 0x25), "#1 접속오류!![-2] 127.0.0.1:%d" % refused)
            self.assertEqual(relay.exit_through_tray(), 0)
        finally:
            relay.kill()
            answering.stop()
            closing.stop()

        expected = figures(terminal_frames=len(sent), terminal_bytes=sum(map(len, sent)),
                           host_blocks=2, host_bytes=2 * len(answer), TCP=2, error1=1, DLE=1,
                           host=1)
        names = glob.glob(os.path.join(relay.workdir, "log", "pellarin-*.log"))
        self.assertEqual(len(names), 1, names)
        with open(names[0], "rb") as f:
            lines = [e.text for e in h.parse_log(f.read().decode("cp949")) if e.kind == "status"]
        date = re.search(r"(\d{4})(\d\d)(\d\d)\.log$", names[0]).groups()
        self.assertEqual(lines[-1], summary_line("-".join(date), expected))
        events = reported_events(os.path.join(relay.workdir, "output.txt"))
        self.assertEqual([(t, i, s) for t, i, s in events if i in (DAILY_SUMMARY, ENDED)], [
            ("information", DAILY_SUMMARY, ["-".join(date)] + expected),
            ("information", ENDED, [relay.image]),
        ])


if __name__ == "__main__":
    h.run_tests(__file__)
