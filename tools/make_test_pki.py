#!/usr/bin/env python3
"""Makes a small test PKI in a directory with the openssl command-line tool.

Why: the TLS tests need certificates that differ in exactly one respect each (trusted or not,
right or wrong address, address in the subject alternative names or only in the common name),
made fresh for every run so nothing secret or expiring lives in the repository.

Files written (PEM unless noted; NAME.key beside every NAME.crt; NAME.sha256 holds the
certificate's SHA-256 fingerprint as 64 hex digits, computed by openssl):
  ca.crt, ca.der (same CA in DER)   the test CA (self-signed, CA:TRUE)
  server_ip1      signed by the CA, subjectAltName IP:127.0.0.1
  server_ip2      signed by the CA, subjectAltName IP:127.0.0.2
  server_cn_only  signed by the CA, CN=127.0.0.1 and no IP in the subject alternative names
  selfsigned      self-signed, subjectAltName IP:127.0.0.1
Use: make_test_pki.py DIR    or    import make_test_pki; make_test_pki.make(DIR)
"""

import os
import subprocess
import sys

SERVER_EXT = ("basicConstraints=critical,CA:FALSE\n"
              "keyUsage=critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\n")


def _run(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _fingerprint(d, name):
    out = subprocess.run(["openssl", "x509", "-in", name + ".crt", "-noout", "-fingerprint",
                          "-sha256"], cwd=d, check=True, capture_output=True, text=True).stdout
    hexdigits = out.strip().split("=", 1)[1].replace(":", "").lower()
    with open(os.path.join(d, name + ".sha256"), "w") as f:
        f.write(hexdigits + "\n")


def _signed(d, name, subject, san):
    _run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
         "-subj", subject, cwd=d)
    ext = SERVER_EXT + (("subjectAltName=" + san + "\n") if san else "")
    with open(os.path.join(d, name + ".ext"), "w") as f:
        f.write(ext)
    _run("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
         "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "30",
         "-sha256", "-extfile", name + ".ext", "-out", name + ".crt", cwd=d)
    os.remove(os.path.join(d, name + ".csr"))
    os.remove(os.path.join(d, name + ".ext"))
    _fingerprint(d, name)


def make(d):
    os.makedirs(d, exist_ok=True)
    _run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
         "-days", "30", "-sha256", "-subj", "/CN=Pellarin Test CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    _run("x509", "-in", "ca.crt", "-outform", "DER", "-out", "ca.der", cwd=d)
    _fingerprint(d, "ca")
    _signed(d, "server_ip1", "/CN=Pellarin Test Host 1", "IP:127.0.0.1")
    _signed(d, "server_ip2", "/CN=Pellarin Test Host 2", "IP:127.0.0.2")
    _signed(d, "server_cn_only", "/CN=127.0.0.1", "DNS:localhost")
    _run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "selfsigned.key",
         "-out", "selfsigned.crt", "-days", "30", "-sha256", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1", "-addext", "extendedKeyUsage=serverAuth",
         cwd=d)
    _fingerprint(d, "selfsigned")
    return d


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("use: make_test_pki.py DIR")
    make(sys.argv[1])
