#!/usr/bin/env python3
"""How long a TLS connect request takes through the relay, the first one and later ones.

Why: the first TLS connection after the relay started looked much slower than later ones.
This separates the causes: the relay's own start-up (a plain connect request first, right
after start), the first use of the platform's TLS and certificate layers (the first TLS
request) and the steady state (later TLS requests). Each figure is the time from the connect
request's last byte on the terminal's line to the host's "handshake" event (TLS) or "connect"
event (plain); it includes the relay's 100 ms pause before it connects. EOM ends each
connection before the next request. Figures only, no pass or fail.

Use: python3 tools/tls_first_probe.py --build-dir build/x86_64 [--later 8] [--tls-first]
  --tls-first  skips the plain request, so the first TLS request also pays the relay's start-up
"""

import argparse
import os
import statistics
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness as h  # noqa: E402


def one_request(bench, tls):
    """Milliseconds from the request to the host's handshake (or connect) event."""
    host = bench.host("server_ip1" if tls else None, {})
    try:
        request = h.connect_request(host.port, 0x21 if tls else 0x25)
        bench.terminal.send(request)
        t0 = time.time()  # host events carry wall-clock stamps
        ok, evs = host.wait_events("handshake" if tls else "connect", timeout=h.BOUND)
        if not ok:
            return None
        ms = (evs[0]["t"] - t0) * 1000
        bench.terminal.send(bytes([h.EOM]))
        host.wait_events("closed", timeout=h.BOUND)
        return ms
    finally:
        host.stop()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--later", type=int, default=8)
    ap.add_argument("--tls-first", action="store_true")
    args = ap.parse_args()
    h.ensure_environment([os.path.abspath(__file__), "--build-dir",
                          os.path.abspath(args.build_dir), "--later", str(args.later)] +
                         (["--tls-first"] if args.tls_first else []))
    bench = h.Bench(args.build_dir)
    relay = None
    try:
        bench.store_port("COM1")
        relay = bench.relay().start()
        relay.wait_status("COM1 Open 성공!")
        if not args.tls_first:
            print("plain request right after start: %.1f ms" % one_request(bench, False), flush=True)
        first = one_request(bench, True)
        later = [one_request(bench, True) for _ in range(args.later)]
        print("first TLS request: %.1f ms" % first)
        print("later TLS requests: median %.1f ms (min %.1f, max %.1f, n=%d)" % (
            statistics.median(later), min(later), max(later), len(later)))
        print("first / later median: %.2f" % (first / statistics.median(later)))
    finally:
        if relay:
            relay.kill()
        bench.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
