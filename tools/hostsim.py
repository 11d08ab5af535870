#!/usr/bin/env python3
"""Payment-host simulator: a scripted TCP or TLS server on 127.0.0.1 for tests and benchmarks.

Why it is built this way. The relay sends some frames through its TLS session and others raw
on the same TCP socket, between TLS records. A server that hands its socket to a TLS library
would take such a raw frame for a broken record and drop the connection. This simulator reads
the raw TCP stream itself and splits it at record boundaries: a whole record goes into a
memory BIO (ssl.MemoryBIO + SSLObject) and is decrypted; bytes at a record boundary that
cannot start a record (first byte not 0x14..0x17) are a raw frame and are reported as such.
A raw frame ends where a plausible record header (type 0x14..0x17, version 3.x, length at
most 18432) begins, or at the end of what one recv returned.

Every listener records what happened as events (JSON objects with a time stamp: connect,
handshake, frame, raw, sent, close_notify, closed, tls_error), keeps them for waiters and can
append them to a JSON-lines file. Answers are scripted (see Script below).

Use:
  importable:  sim = Listener(tls=TlsFiles(cert, key), script={...}); sim.start(); sim.port
               sim.wait_events("frame", count=1, timeout=5); sim.stop()
  serve:       hostsim.py serve [--port N] [--tls --cert F --key F] [--script JSON|@file]
               [--record FILE]         prints "PORT n", then the events (or to FILE)
  control:     hostsim.py control [--pki DIR]   prints "CONTROL n"; a JSON-lines command port
               for test programs that cannot import this module (Windows programs under Wine):
                 {"cmd":"listen","tls":true,"cert":"server_ip1","script":{...}} -> {"ok":true,"id":1,"port":p}
                     (optional "tls_max": "TLSv1_1" makes an old-protocol host)
                 {"cmd":"wait","id":1,"kind":"frame","count":1,"bytes":0,"timeout":5}
                     -> {"ok":true|false,"count":k,"bytes":b,"hex":"..","events":[...]}
                 {"cmd":"events","id":1}  {"cmd":"stop","id":1}  {"cmd":"quit"}

Script (a dict; every key optional):
  "on_connect": [actions]   run once the connection is ready (after the handshake for TLS)
  "rules": [{"kind": "frame"|"raw"|"any", "prefix": "hex", "do": [actions]}, ...]
            the first rule whose kind and prefix match a received frame runs; none: silence
  "handshake_pace": s  TLS: hold each handshake flight of ours s seconds before sending it
                      (a slow or busy host that accepted the connection)
  "half_open": true   at the client's end of stream record "eof" and keep our side open
                      (a busy or unreachable host) until the listener stops
  "stop_reading": true  once the connection is ready, read nothing more (event "paused")
                      until conn.resume() is called; with "rcvbuf": n (the listening
                      socket's SO_RCVBUF) the client's sends soon find the buffers full
Actions: {"send": "hex"}  {"send_len": n, "byte": "41"} (default fill 01..FF, never zero)
  {"echo": true}  {"records": ["hex", ...]} or {"records_len": [n, ...]} (several records in
  one TCP write)  {"raw": "hex"} (on the socket, outside TLS)  {"close_notify": true}
  {"close": true} (FIN)  {"reset": true} (RST)  {"sleep": seconds}
  {"half_record": n} (TLS: the first half of a record of n bytes; the rest is never sent)
  {"drip": "hex", "every": seconds} (on the socket, outside TLS, one byte at a time, a pause
  before each)  {"send_part": "hex", "hold": n} (one TLS record of those bytes, all but its
  last n bytes sent; the rest kept)  {"send_held": true} (what send_part kept)
  {"renegotiate": true} (TLS 1.2: asks the client for a new handshake, a HelloRequest)
  {"send_notify": n} (TLS: n bytes of fill as for send_len, then the close_notify alert, in
  one TCP write; the socket stays open)
A frame is one decrypted record (TLS) or what one recv returned (plain).
"""

import argparse
import ctypes
import json
import os
import random
import socket
import ssl
import struct
import sys
import threading
import time
import warnings

MAX_RECORD = 16384 + 2048  # largest TLS ciphertext record body
RECORD_TYPES = range(0x14, 0x18)  # change_cipher_spec, alert, handshake, application_data


class TlsFiles:
    """Certificate and key files (PEM) of a TLS listener."""

    def __init__(self, cert, key):
        self.cert = cert
        self.key = key


def _plausible_header(buf, i):
    """Could a record start at buf[i]? Type 0x14..0x17, version 3.x, length within the limit;
    for a header cut short by the end of buf, as far as it goes."""
    head = buf[i:i + 5]
    if head[0] not in RECORD_TYPES or (len(head) > 1 and head[1] != 3):
        return False
    return len(head) < 5 or 0 < struct.unpack(">H", head[3:5])[0] <= MAX_RECORD


class StreamSplitter:
    """Splits a TCP byte stream into TLS records and raw frames (see the module text)."""

    def __init__(self):
        self.pending = b""

    def feed(self, data):
        """Returns [("record", bytes) | ("raw", bytes)] in stream order."""
        buf = self.pending + data
        out = []
        i = 0
        while i < len(buf):
            if _plausible_header(buf, i):
                if len(buf) - i < 5:
                    break
                length = struct.unpack(">H", buf[i + 3:i + 5])[0]
                if len(buf) - i < 5 + length:
                    break
                out.append(("record", buf[i:i + 5 + length]))
                i += 5 + length
                continue
            j = i + 1
            while j < len(buf) and not _plausible_header(buf, j):
                j += 1
            out.append(("raw", buf[i:j]))
            i = j
        self.pending = buf[i:]
        return out


def _fill(n, byte_hex=None):
    if byte_hex:
        return bytes.fromhex(byte_hex) * n
    return bytes((k % 255) + 1 for k in range(n))


class _Connection:
    """One accepted connection, served on its own thread."""

    def __init__(self, listener, number, sock):
        self.listener = listener
        self.number = number
        self.sock = sock
        self.tls = None
        self.inbio = self.outbio = None
        self.ready = False
        self.open = True
        self._reading = threading.Event()  # cleared while "stop_reading" holds the reader
        if not listener.script.get("stop_reading"):
            self._reading.set()
        self._ended = threading.Event()    # set by close()
        self.held = b""  # the unsent end of a send_part record
        if listener.context is not None:
            self.inbio, self.outbio = ssl.MemoryBIO(), ssl.MemoryBIO()
            self.tls = listener.context.wrap_bio(self.inbio, self.outbio, server_side=True)

    def record(self, kind, **fields):
        self.listener._record(kind, conn=self.number, **fields)

    # Sending -------------------------------------------------------------------------------
    def _flush_tls(self):
        data = self.outbio.read()
        if data:
            self.sock.sendall(data)
        return len(data)

    def send_app(self, data, how="send"):
        if self.tls is None:
            self.sock.sendall(data)
            wire = len(data)
        else:
            self.tls.write(data)
            wire = self._flush_tls()
        self.record("sent", how=how, len=len(data), wire=wire)

    def send_records(self, parts):
        if self.tls is None:
            self.sock.sendall(b"".join(parts))
            wire = sum(map(len, parts))
        else:
            for p in parts:
                self.tls.write(p)
            wire = self._flush_tls()
        self.record("sent", how="records", len=sum(map(len, parts)), wire=wire, parts=len(parts))

    # Script --------------------------------------------------------------------------------
    def run(self, actions, frame=b""):
        for a in actions:
            if not self.open:
                return
            if "send" in a:
                self.send_app(bytes.fromhex(a["send"]))
            elif "send_len" in a:
                self.send_app(_fill(a["send_len"], a.get("byte")))
            elif a.get("echo"):
                self.send_app(frame, how="echo")
            elif "records" in a:
                self.send_records([bytes.fromhex(h) for h in a["records"]])
            elif "records_len" in a:
                self.send_records([_fill(n, a.get("byte")) for n in a["records_len"]])
            elif "raw" in a:
                data = bytes.fromhex(a["raw"])
                self.sock.sendall(data)
                self.record("sent", how="raw", len=len(data), wire=len(data))
            elif "half_record" in a and self.tls is not None:
                self.tls.write(_fill(int(a["half_record"]), a.get("byte")))
                wire = self.outbio.read()
                self.sock.sendall(wire[:len(wire) // 2])
                self.record("sent", how="half_record", len=int(a["half_record"]),
                            wire=len(wire) // 2)
            elif a.get("close_notify"):
                self.send_close_notify()
            elif a.get("close"):
                self.close("us")
            elif a.get("reset"):
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.close("us-reset")
            elif "sleep" in a:
                time.sleep(float(a["sleep"]))
            elif "drip" in a:
                self.drip(bytes.fromhex(a["drip"]), float(a.get("every", 1)))
            elif "send_part" in a:
                self.send_part(bytes.fromhex(a["send_part"]), int(a["hold"]))
            elif a.get("send_held"):
                data, self.held = self.held, b""
                self.sock.sendall(data)
                self.record("sent", how="held", len=len(data), wire=len(data))
            elif a.get("renegotiate"):
                self.renegotiate()
            elif "send_notify" in a and self.tls is not None:
                self.send_notify(_fill(int(a["send_notify"]), a.get("byte")))

    def drip(self, data, every):
        for k in range(len(data)):
            time.sleep(every)
            if not self.open:
                return
            self.sock.sendall(data[k:k + 1])
            self.record("sent", how="drip", len=1, wire=1)

    def send_part(self, data, hold):
        self.tls.write(data)
        wire = self.outbio.read()
        cut = max(0, len(wire) - hold)
        self.held = wire[cut:]
        self.sock.sendall(wire[:cut])
        self.record("sent", how="part", len=len(data), wire=cut)

    def renegotiate(self):
        """The ssl module has no call for a server-initiated renegotiation; OpenSSL's own is
        called on the SSL object behind the SSLObject (found after the object's header and its
        socket reference, the layout of CPython's _ssl module; the version check below refuses
        to go on if that guess is wrong)."""
        libssl = ctypes.CDLL("libssl.so.3")
        for fn in (libssl.SSL_version, libssl.SSL_renegotiate, libssl.SSL_do_handshake,
                   libssl.SSL_is_server):
            fn.argtypes = [ctypes.c_void_p]
        sslobj = self.tls._sslobj
        ptr = ctypes.c_void_p.from_address(id(sslobj) + 3 * ctypes.sizeof(ctypes.c_void_p)).value
        if (self.tls.version() != "TLSv1.2" or libssl.SSL_version(ptr) != 0x0303
                or libssl.SSL_is_server(ptr) != 1):
            self.record("renegotiate_failed", why="not a TLS 1.2 server session")
            return
        if libssl.SSL_renegotiate(ptr) != 1:
            self.record("renegotiate_failed", why="SSL_renegotiate refused")
            return
        libssl.SSL_do_handshake(ptr)  # writes the HelloRequest; the answer would come later
        wire = self._flush_tls()
        self.record("sent", how="renegotiate", len=0, wire=wire)

    def send_notify(self, data):
        """Data and close_notify leave in one send, so a client on loopback reads both at once."""
        self.tls.write(data)
        try:
            self.tls.unwrap()
        except (ssl.SSLWantReadError, ssl.SSLError):
            pass
        wire = self._flush_tls()
        self.record("sent", how="send_notify", len=len(data), wire=wire)

    def send_close_notify(self):
        if self.tls is None:
            return
        try:
            self.tls.unwrap()
        except (ssl.SSLWantReadError, ssl.SSLError):
            pass
        self._flush_tls()
        self.record("sent", how="close_notify", len=0)

    def on_frame(self, kind, data):
        self.record(kind, len=len(data), hex=data.hex())
        for rule in self.listener.script.get("rules", []):
            want = rule.get("kind", "frame")
            if want != "any" and want != kind:
                continue
            if not data.startswith(bytes.fromhex(rule.get("prefix", ""))):
                continue
            self.run(rule.get("do", []), data)
            return

    def resume(self):
        """Lets a "stop_reading" connection read again."""
        self._reading.set()

    def close(self, by):
        if not self.open:
            return
        self.open = False
        self._reading.set()
        self._ended.set()
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.record("closed", by=by)

    # Receiving -----------------------------------------------------------------------------
    def _tls_record(self, rec):
        self.inbio.write(rec)
        if not self.ready:
            pace = float(self.listener.script.get("handshake_pace", 0))
            try:
                self.tls.do_handshake()
            except ssl.SSLWantReadError:
                if pace and self.outbio.pending:
                    time.sleep(pace)
                self._flush_tls()
                return
            if pace and self.outbio.pending:
                time.sleep(pace)
            self._flush_tls()
            self.ready = True
            self.record("handshake", version=self.tls.version(), cipher=self.tls.cipher()[0])
            self.run(self.listener.script.get("on_connect", []))
        while self.open:
            try:
                data = self.tls.read(1 << 17)
            except ssl.SSLWantReadError:
                self._flush_tls()  # a renegotiation's answers, when the client took one up
                return
            except ssl.SSLZeroReturnError:
                data = b""
            if not data:  # an SSLObject reads b"" once the peer's close_notify is in
                self.record("close_notify")
                return
            self.on_frame("frame", data)

    def serve(self):
        peer = self.sock.getpeername()
        self.record("connect", peer="%s:%d" % peer)
        if self.tls is None:
            self.ready = True
            self.run(self.listener.script.get("on_connect", []))
        splitter = StreamSplitter()
        try:
            while self.open:
                if self.ready and not self._reading.is_set():
                    self.record("paused")
                    self._reading.wait()
                    if not self.open:
                        break
                    self.record("resumed")
                data = self.sock.recv(1 << 16)
                if not data:
                    if self.listener.script.get("half_open"):
                        self.record("eof")
                        self._ended.wait()
                        break
                    self.close("peer")
                    break
                if self.tls is None:
                    self.on_frame("frame", data)
                    continue
                for kind, chunk in splitter.feed(data):
                    if not self.open:
                        break
                    if kind == "raw":
                        self.on_frame("raw", chunk)
                    else:
                        self._tls_record(chunk)
        except ssl.SSLError as e:
            self.record("tls_error", error=str(e))
            self.close("error")
        except OSError as e:
            if self.open:
                self.record("socket_error", error=str(e))
                self.close("error")


class Listener:
    """A scripted host on 127.0.0.1 (port 0: a free port <= 9999 is picked)."""

    def __init__(self, tls=None, script=None, host="127.0.0.1", port=0, record_path=None,
                 tls_max=None):
        self.host = host
        self.port = port
        self.script = script or {}
        self.record_path = record_path
        self.context = None
        if tls is not None:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            if tls_max:  # an old-protocol host, to see that clients refuse it
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    ctx.minimum_version = ssl.TLSVersion.TLSv1
                    ctx.maximum_version = ssl.TLSVersion[tls_max]
                ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.load_cert_chain(tls.cert, tls.key)
            self.context = ctx
        self.events = []
        self._cond = threading.Condition()
        self._sock = None
        self._conns = []
        self._stopped = False
        self._t0 = time.time()

    def _record(self, kind, **fields):
        ev = {"t": round(time.time(), 6), "event": kind}
        ev.update(fields)
        with self._cond:
            self.events.append(ev)
            self._cond.notify_all()
        if self.record_path == "-":
            print(json.dumps(ev), flush=True)
        elif self.record_path:
            with open(self.record_path, "a") as f:
                f.write(json.dumps(ev) + "\n")

    def _bind(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.script.get("rcvbuf"):  # inherited by the accepted sockets
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, int(self.script["rcvbuf"]))
        if self.port:
            s.bind((self.host, self.port))
            return s
        for _ in range(500):
            p = random.randint(2000, 9999)
            try:
                s.bind((self.host, p))
                return s
            except OSError:
                continue
        raise OSError("no free port <= 9999")

    def start(self):
        self._sock = self._bind()
        self._sock.listen(16)
        self.port = self._sock.getsockname()[1]
        threading.Thread(target=self._accept_loop, daemon=True).start()
        return self

    def _accept_loop(self):
        n = 0
        while not self._stopped:
            try:
                sock, _ = self._sock.accept()
            except OSError:
                return
            n += 1
            conn = _Connection(self, n, sock)
            self._conns.append(conn)
            threading.Thread(target=conn.serve, daemon=True).start()

    def stop(self):
        self._stopped = True
        try:
            self._sock.close()
        except OSError:
            pass
        for c in self._conns:
            c.close("stop")

    def wait_events(self, kind, count=1, nbytes=0, timeout=5.0):
        """Waits until at least count events of kind (and nbytes of their data) exist.
        Returns (reached, matching events)."""
        def matching():
            return [e for e in self.events if e["event"] == kind]

        def reached():
            m = matching()
            return len(m) >= count and sum(e.get("len", 0) for e in m) >= nbytes

        with self._cond:
            ok = self._cond.wait_for(reached, timeout)
            return ok, matching()


# Control port --------------------------------------------------------------------------------
class ControlServer:
    def __init__(self, pki=None):
        self.pki = pki
        self.listeners = {}
        self.next_id = 1
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.done = threading.Event()

    def _tls_files(self, req):
        if "cert_file" in req:
            return TlsFiles(req["cert_file"], req["key_file"])
        name = req.get("cert", "server_ip1")
        return TlsFiles(os.path.join(self.pki, name + ".crt"), os.path.join(self.pki, name + ".key"))

    def handle(self, req):
        cmd = req.get("cmd")
        if cmd == "listen":
            tls = self._tls_files(req) if req.get("tls") else None
            lst = Listener(tls=tls, script=req.get("script"), port=req.get("port", 0),
                           record_path=req.get("record"), tls_max=req.get("tls_max")).start()
            lid = self.next_id
            self.next_id += 1
            self.listeners[lid] = lst
            return {"ok": True, "id": lid, "port": lst.port}
        if cmd in ("wait", "events"):
            lst = self.listeners[req["id"]]
            if cmd == "events":
                return {"ok": True, "events": list(lst.events)}
            ok, evs = lst.wait_events(req["kind"], req.get("count", 1), req.get("bytes", 0),
                                      float(req.get("timeout", 5)))
            data = "".join(e.get("hex", "") for e in evs)
            return {"ok": ok, "count": len(evs), "bytes": sum(e.get("len", 0) for e in evs),
                    "hex": data, "events": list(lst.events)}
        if cmd == "stop":
            self.listeners.pop(req["id"]).stop()
            return {"ok": True}
        if cmd == "quit":
            self.done.set()
            return {"ok": True}
        return {"ok": False, "error": "unknown command"}

    def _client(self, sock):
        f = sock.makefile("rwb")
        for line in f:
            try:
                resp = self.handle(json.loads(line))
            except Exception as e:  # report, keep serving
                resp = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
            f.write((json.dumps(resp) + "\n").encode())
            f.flush()
            if self.done.is_set():
                break
        sock.close()

    def serve_forever(self):
        self.sock.settimeout(0.5)
        while not self.done.is_set():
            try:
                s, _ = self.sock.accept()
            except socket.timeout:
                continue
            s.settimeout(None)
            threading.Thread(target=self._client, args=(s,), daemon=True).start()
        for lst in self.listeners.values():
            lst.stop()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="mode", required=True)
    s = sub.add_parser("serve", help="one scripted listener")
    s.add_argument("--port", type=int, default=0)
    s.add_argument("--tls", action="store_true")
    s.add_argument("--cert")
    s.add_argument("--key")
    s.add_argument("--script", default="{}", help="JSON text or @file")
    s.add_argument("--record", default="-",
                   help="append events as JSON lines to this file (default: standard output)")
    c = sub.add_parser("control", help="JSON-lines control port for test programs")
    c.add_argument("--pki", help="directory of NAME.crt/NAME.key files")
    args = ap.parse_args(argv)

    if args.mode == "control":
        srv = ControlServer(args.pki)
        print("CONTROL %d" % srv.port, flush=True)
        srv.serve_forever()
        return 0

    script = args.script
    if script.startswith("@"):
        with open(script[1:]) as f:
            script = f.read()
    tls = TlsFiles(args.cert, args.key) if args.tls else None
    lst = Listener(tls=tls, script=json.loads(script), port=args.port,
                   record_path=args.record).start()
    print("PORT %d" % lst.port, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        lst.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
