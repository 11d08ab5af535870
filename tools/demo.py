#!/usr/bin/env python3
"""Two payments through the relay, end to end, told as a transcript.

Why: the quickest way to see that the relay works is to watch a payment go through it. This
plays a card terminal on COM1 (a pty pair) and a payment host on loopback, runs pellarin.exe
under Wine between them, and prints each step from both ends together with the lines of the
relay's log window: one payment over TLS and one over plain TCP (connect request, the
terminal's message, the host's answer, ACK, EOM); then the operator moves the terminal to
COM2 through the password-protected settings window, and a frame from COM2 arrives; then Exit
through the tray menu.
Exits 0 only if every byte arrived where it should.

Run through tools/demo.sh (installs and builds first), or:
  python3 tools/demo.py --build-dir build/i686
"""

import argparse
import os
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness as h  # noqa: E402
import port_settings as ps  # noqa: E402
import termsim  # noqa: E402  (harness puts tools/ on the path)

NAMES = {0x02: "STX", 0x03: "ETX", 0x04: "EOT", 0x05: "ENQ", 0x06: "ACK", 0x0D: "CR",
         0x10: "DLE", 0x15: "NAK", 0x19: "EOM", 0x1C: "FS"}

MESSAGE = b"\x02" + b"D1 0200 CARD=9410********1234 AMT=000000015000 TID=1002003" + b"\x03"
ANSWER = b"\x02" + b"D1 0210 RC=00 APPROVED AUTH=83215507 AMT=000000015000" + b"\x03"


def show(data, limit=72):
    """Bytes as text: printable ASCII as is, control bytes by name."""
    out = []
    for b in data:
        if 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("<%s>" % NAMES.get(b, "%02X" % b))
    text = "".join(out)
    return text if len(text) <= limit else text[:limit] + "..."


class Transcript:
    def __init__(self):
        self.t0 = time.monotonic()
        self.ok = True

    def say(self, who, text):
        print("%7.3f  %-9s %s" % (time.monotonic() - self.t0, who, text), flush=True)

    def check(self, what, good):
        if not good:
            self.ok = False
        self.say("check", "%s %s" % ("ok  " if good else "FAIL", what))
        return good


def payment(bench, relay, tr, tls):
    label = "TLS" if tls else "plain"
    print("\n=== payment over %s ===" % label, flush=True)
    script = {"rules": [{"prefix": MESSAGE[:1].hex(), "do": [{"send": ANSWER.hex()}]}]}
    host = bench.host("server_ip1" if tls else None, script)
    term = bench.terminal
    term.clear()
    relay.mark_log()
    tr.say("host", "listening on 127.0.0.1:%d (%s)" % (host.port, label))
    try:
        request = h.connect_request(host.port, 0x21 if tls else 0x25)
        tr.say("terminal", "-> connect request %s" % show(request))
        term.send(request)
        status = "접속 127.0.0.1:%d" % host.port
        tr.check("relay logged %r" % status,
                 any(e.text == status for e in relay.wait_status(status)))
        ok, evs = host.wait_events("handshake" if tls else "connect", timeout=h.BOUND)
        detail = ("handshake %s %s" % (evs[0]["version"], evs[0]["cipher"])) if ok and tls else \
            ("connection from %s" % evs[0]["peer"]) if ok else "nothing"
        tr.say("host", "<- " + detail)
        tr.check("host connected", ok)

        # (the relay has taken the request as a frame of its own: the line was silent since)
        tr.say("terminal", "-> %s" % show(MESSAGE))
        term.send(MESSAGE)
        ok, evs = host.wait_events("frame", nbytes=len(MESSAGE), timeout=h.BOUND)
        got = bytes.fromhex("".join(e["hex"] for e in evs))
        tr.say("host", "<- %s (%d bytes%s)" % (show(got), len(got), ", inside TLS" if tls else ""))
        tr.check("host received the message unchanged", got == MESSAGE)
        tr.say("host", "-> %s" % show(ANSWER))
        back = term.wait_received(len(ANSWER), h.BOUND)
        tr.say("terminal", "<- %s (%d bytes)" % (show(back), len(back)))
        tr.check("terminal received the answer unchanged", back == ANSWER)

        tr.say("terminal", "-> <ACK>")
        term.send(bytes([h.ACK]))
        ok, evs = host.wait_events("frame", count=2, timeout=h.BOUND)
        last = bytes.fromhex(evs[-1]["hex"]) if ok else b""
        tr.say("host", "<- %s" % show(last))
        tr.check("host received ACK", last == bytes([h.ACK]))

        tr.say("terminal", "-> <EOM>")
        term.send(bytes([h.EOM]))
        ok, _ = host.wait_events("closed", timeout=h.BOUND)
        tr.say("host", "<- connection closed by the relay" if ok else "<- still open")
        tr.check("EOM closed the connection and was not sent",
                 ok and all(e["hex"] != "19" for e in host.events if "hex" in e))
        tr.check("tray icon back to idle", relay.wait_icon(bench.idle))
        # The last line (EOM) may still sit in the log window's queue for half a second.
        relay.wait_log(lambda es: len([e for e in es if e.kind != "status"]) >= 5)
        print("--- log window (%s) ---" % h.LOG_CAPTION)
        for line in relay.log_text()[relay.log_mark:].split("\r\n"):
            if line:
                print("   " + "".join("<%s>" % NAMES.get(ord(c), "%02X" % ord(c))
                                      if ord(c) < 0x20 else c for c in line))
    finally:
        host.stop()


def port_change(bench, relay, tr):
    """The operator moves the terminal from COM1 to COM2 in the settings window."""
    print("\n=== port change: COM1 -> COM2 ===", flush=True)
    term2 = termsim.Terminal(os.environ["PELLARIN_TERM_COM2"])
    try:
        tr.say("user", "tray menu: 환경설정; password typed, Return")
        ps.unlock(relay)
        tr.check("settings window shown after the password", ps.visible(relay, relay.main))
        tr.say("user", "port field: COM2; button 설정")
        entries = ps.change_port_unlocked(relay, "COM2")
        lines = ps.statuses(entries)
        tr.say("relay", "log: %s" % " | ".join(lines))
        tr.check("COM1 closed, then COM2 opened", lines == ["COM1 Close", "COM2 Open 성공!"])
        tr.check("settings window hidden again",
                 ps.wait_visible(relay, relay.main, shown=False))
        stored = relay.registry("COM Port").get("text")
        tr.say("relay", "registry \"COM Port\" = %r" % stored)
        tr.check("COM2 stored", stored == "COM2")
        frame = bytes([h.ENQ])
        tr.say("terminal", "(on COM2) -> %s" % show(frame))
        term2.send(frame)
        seen = relay.wait_log(lambda es: any(e.kind == "CAT->VAN" and e.hex == frame.hex()
                                             for e in es))
        tr.check("relay read the frame from COM2",
                 any(e.kind == "CAT->VAN" and e.hex == frame.hex() for e in seen))
    finally:
        term2.close()


def main():
    ap = argparse.ArgumentParser(description="two payments through the relay")
    ap.add_argument("--build-dir", required=True)
    args = ap.parse_args()
    h.ensure_environment([os.path.abspath(__file__), "--build-dir", os.path.abspath(args.build_dir)])

    tr = Transcript()
    bench = h.Bench(args.build_dir)
    relay = None
    try:
        bench.store_port("COM1")
        relay = bench.relay().start()
        tr.say("relay", "pellarin.exe started in %s (log level 99)" % relay.workdir)
        tr.check("COM1 opened", any(e.text == "COM1 Open 성공!"
                                    for e in relay.wait_status("COM1 Open 성공!")))
        payment(bench, relay, tr, tls=True)
        payment(bench, relay, tr, tls=False)
        port_change(bench, relay, tr)
        print("", flush=True)
        tr.say("user", "tray menu: 종료(&X), then OK")
        code = relay.exit_through_tray()
        tr.check("pellarin.exe ended (exit code %s)" % code, code == 0)
    except Exception as e:  # the transcript says what went wrong, and the run fails
        tr.check("%s: %s" % (type(e).__name__, e), False)
    finally:
        if relay:
            relay.kill()
        bench.close()
    print("\ndemo: %s" % ("all bytes arrived as expected" if tr.ok else "FAILED"))
    return 0 if tr.ok else 1


if __name__ == "__main__":
    sys.exit(main())
