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
  server_expired  signed by the CA, subjectAltName IP:127.0.0.1, valid only in January 2020
  server_client_usage  signed by the CA, subjectAltName IP:127.0.0.1, extended key usage
                  clientAuth only (no serverAuth)
  intermediate    a CA signed by the test CA (CA:TRUE, pathlen 0)
  server_chain    signed by the intermediate, subjectAltName IP:127.0.0.1; its .crt holds the
                  host certificate followed by the intermediate's, as a host sends them
make_signing(DIR) writes another set: ca, codesign and tsa (see there).
Use: make_test_pki.py DIR    or    import make_test_pki; make_test_pki.make(DIR)
"""

import os
import shutil
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


def _signed(d, name, subject, san, ext=SERVER_EXT, issuer="ca"):
    _run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
         "-subj", subject, cwd=d)
    ext = ext + (("subjectAltName=" + san + "\n") if san else "")
    with open(os.path.join(d, name + ".ext"), "w") as f:
        f.write(ext)
    _run("x509", "-req", "-in", name + ".csr", "-CA", issuer + ".crt", "-CAkey", issuer + ".key",
         "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "30",
         "-sha256", "-extfile", name + ".ext", "-out", name + ".crt", cwd=d)
    os.remove(os.path.join(d, name + ".csr"))
    os.remove(os.path.join(d, name + ".ext"))
    _fingerprint(d, name)


def _expired(d, name, san):
    """A host certificate whose whole validity lies in the past. 'openssl x509 -req' only
    counts days from now, so this one goes through 'openssl ca', which takes both dates."""
    work = os.path.join(d, name + ".ca")
    os.makedirs(work)
    open(os.path.join(work, "index.txt"), "w").close()
    with open(os.path.join(work, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=test\n[test]\ndir=%s\ndatabase=$dir/index.txt\n"
                "new_certs_dir=$dir\nserial=$dir/serial\ndefault_md=sha256\n"
                "policy=anything\nunique_subject=no\nemail_in_dn=no\n"
                "[anything]\ncommonName=supplied\n[host]\n%ssubjectAltName=%s\n"
                % (work, SERVER_EXT, san))
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("%016X\n" % int.from_bytes(os.urandom(8), "big"))
    _run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
         "-subj", "/CN=Pellarin Expired Host", cwd=d)
    _run("ca", "-batch", "-config", os.path.join(work, "ca.cnf"), "-extensions", "host",
         "-cert", "ca.crt", "-keyfile", "ca.key", "-startdate", "20200101000000Z",
         "-enddate", "20200131000000Z", "-in", name + ".csr", "-out", name + ".crt",
         "-notext", cwd=d)
    os.remove(os.path.join(d, name + ".csr"))
    shutil.rmtree(work)
    _fingerprint(d, name)


def _ca(d):
    os.makedirs(d, exist_ok=True)
    _run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
         "-days", "30", "-sha256", "-subj", "/CN=Pellarin Test CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    _run("x509", "-in", "ca.crt", "-outform", "DER", "-out", "ca.der", cwd=d)
    _fingerprint(d, "ca")


def make_signing(d):
    """A throwaway CA (ca.crt) with a code-signing certificate (codesign.crt) and a
    time-stamping certificate (tsa.crt), each with its .key: what the installer tests sign
    with, offline."""
    _ca(d)
    _signed(d, "codesign", "/CN=Pellarin Test Code Signing", None,
            ext="basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    _signed(d, "tsa", "/CN=Pellarin Test Time Stamping", None,
            ext="basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=critical,timeStamping\n")
    return d


def make(d):
    _ca(d)
    _signed(d, "server_ip1", "/CN=Pellarin Test Host 1", "IP:127.0.0.1")
    _signed(d, "server_ip2", "/CN=Pellarin Test Host 2", "IP:127.0.0.2")
    _signed(d, "server_cn_only", "/CN=127.0.0.1", "DNS:localhost")
    _expired(d, "server_expired", "IP:127.0.0.1")
    _signed(d, "server_client_usage", "/CN=Pellarin Client-Usage Host", "IP:127.0.0.1",
            ext=SERVER_EXT.replace("serverAuth", "clientAuth"))
    _signed(d, "intermediate", "/CN=Pellarin Test Intermediate CA", None,
            ext="basicConstraints=critical,CA:TRUE,pathlen:0\n"
                "keyUsage=critical,keyCertSign,cRLSign\n")
    _signed(d, "server_chain", "/CN=Pellarin Chained Host", "IP:127.0.0.1", issuer="intermediate")
    with open(os.path.join(d, "intermediate.crt")) as f:
        intermediate = f.read()
    with open(os.path.join(d, "server_chain.crt"), "a") as f:
        f.write(intermediate)
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
