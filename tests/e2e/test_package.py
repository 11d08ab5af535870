#!/usr/bin/env python3
"""The installer as a site meets it: built by tools/package.sh, installed, started, upgraded,
reconfigured, refused and removed by Wine's own msiexec, in a fresh Wine prefix of its own.

Run: python3 tests/e2e/test_package.py --build-dir build/i686

Why it is built this way. What an installer does to a machine (files, Start menu, Run value,
event source, stored port, what it keeps) only shows on a machine that has never seen it, so
the suite makes a new prefix (under BUILD/package-test), and the steps run in order on it, each
starting from what the one before left, as a site's PC lives through them:
  1. install the package (COMPORT=COM1, SETTINGSPASSWORD with a blank in it) and find what it
     put in place: the password's hash, and the password in clear nowhere (log, registry);
  2. start pellarin.exe the way the Run value does (current directory the system folder) and
     play a plain payment through it with the end-to-end harness, config.ini being read from
     the install folder;
  3. install a package with a higher build number over it, with AUTOSTART=0 (one entry,
     config.ini and ssllib32.ini kept, the stored port left alone, no Run value, the new
     version resource; the stored password hash left alone); its files and the package are signed by a throwaway CA, with an
     offline time stamp, and verify; a copy changed by one byte fails;
  4. reinstall with COMPORT=COM2: the stored port reads COM2, the Run value is back, and the
     relay, started with --keep-cwd from another folder, reads COM2 and that folder's
     config.ini;
  5. the older package over the newer one is refused;
  6. uninstall: files, shortcut, Run value and event source gone; config.ini, ssllib32.ini,
     the stored port and log files kept.
A step whose predecessor failed is skipped. The first package is built unsigned (and
package.sh says so), the higher one signed. The higher build is made in the tier's build folder
(only the version resources and the links change) and the folder is built back afterwards.
On a machine that runs no 32-bit programs, steps 2 and 4's relay start are skipped and named
in BUILD/package-test/skipped, which tools/test.sh counts.
"""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import demo  # noqa: E402  (tools/, put on the path by the harness)
import make_test_pki  # noqa: E402

ROOT = h.ROOT
INSTALL_DIR_WIN = "C:\\Program Files (x86)\\Pellarin"
RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
EVENT_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pellarin"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
INSTALLED = ("pellarin.exe", "pellarin.dll", "ssllib32.dll", "ssllib32.ini.example", "README.txt")
SIGNED = ("pellarin.exe", "pellarin.dll", "ssllib32.dll")
MSI_TIMEOUT = 300
# Windows Installer's "fatal error during installation"; Wine hands exit codes over cut to 8 bits.
ERROR_INSTALL_FAILURE = 1603
SITE_PASSWORD = "Shop pw 7"


def env():
    return os.environ["PELLARIN_PACKAGE_DIR"]


def prefix():
    return os.environ["PELLARIN_WINEPREFIX"]


def install_dir():
    return os.path.join(prefix(), "drive_c", "Program Files (x86)", "Pellarin")


def log_dir():
    return os.path.join(prefix(), "drive_c", "ProgramData", "Pellarin", "log")


def wine(*args, timeout=MSI_TIMEOUT):
    """A Windows program of the prefix (msiexec, reg); returns (exit code, output text)."""
    r = subprocess.run([h.WINE_RUN, *args], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=timeout)
    return r.returncode, r.stdout.decode("utf-8", "replace")


def msiexec(*args):
    """msiexec with a verbose log in the package-test folder; returns its exit code."""
    log = os.path.join(env(), "msiexec-%d.log" % len(os.listdir(env())))
    code, _ = wine("msiexec", *args, "/qn", "/l*v", h.wine_path(log))
    return code


def reg_values(key, view=32):
    """{name: (type, data)} of one key in one registry view, through Wine's reg.exe; None when
    the key does not exist."""
    code, out = wine("reg", "query", key, "/reg:%d" % view, timeout=60)
    if code != 0:
        return None
    values = {}
    for line in out.splitlines():
        m = re.match(r"^ {4}(.+?) {4}(REG_\w+) {4}(.*)$", line)
        if m:
            values[m.group(1)] = (m.group(2), m.group(3))
    return values


def product_entries():
    """Keys of Programs and Features whose DisplayName is Pellarin, in either registry view."""
    keys = set()
    for view in (32, 64):
        code, out = wine("reg", "query", UNINSTALL_KEY, "/s", "/reg:%d" % view, timeout=60)
        current = None
        for line in out.splitlines():
            if line.startswith("HKEY_"):
                current = line.strip()
            elif re.match(r"^ {4}DisplayName {4}REG_SZ {4}Pellarin$", line):
                keys.add(current.rsplit("\\", 1)[-1])
    return sorted(keys)


def file_version(path):
    """The four numbers of a PE file's fixed version record (VS_FIXEDFILEINFO)."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(b"\xbd\x04\xef\xfe")
    if at < 0:
        return None
    ms = int.from_bytes(data[at + 8:at + 12], "little")
    ls = int.from_bytes(data[at + 12:at + 16], "little")
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def verify(path, pki):
    """osslsigncode's verdict on a file's Authenticode signature against the throwaway CA."""
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", os.path.join(pki, "ca.crt"),
                        "-TSA-CAfile", os.path.join(pki, "ca.crt"), "-in", path],
                       capture_output=True, text=True, errors="replace")
    return r.returncode, r.stdout + r.stderr


def shortcut():
    """The Start-menu shortcut: the common Programs folder, or (where Wine puts a per-machine
    package's shortcut) the user's."""
    for base in (os.path.join(prefix(), "drive_c", "ProgramData"),
                 os.path.join(prefix(), "drive_c", "users")):
        for dirpath, _dirs, files in os.walk(base):
            if "Pellarin.lnk" in files and dirpath.endswith(os.path.join("Start Menu", "Programs")):
                return os.path.join(dirpath, "Pellarin.lnk")
    return None


def package(dist, build_number=None, pki=None):
    """Runs tools/package.sh for the installer alone; returns (msi path, version, last line)."""
    e = dict(os.environ, PELLARIN_PACKAGE_ZIP="0", PELLARIN_DIST_DIR=dist,
             PELLARIN_PACKAGE_BUILD_DIR=os.environ["PELLARIN_BUILD_DIR"])
    for k in list(e):
        if k.startswith("PELLARIN_SIGN_") or k == "PELLARIN_BUILD_NUMBER":
            del e[k]
    if build_number is not None:
        e["PELLARIN_BUILD_NUMBER"] = str(build_number)
    if pki:
        e.update(PELLARIN_SIGN_CERT=os.path.join(pki, "codesign.crt"),
                 PELLARIN_SIGN_KEY=os.path.join(pki, "codesign.key"),
                 PELLARIN_SIGN_TSA_CERT=os.path.join(pki, "tsa.crt"),
                 PELLARIN_SIGN_TSA_KEY=os.path.join(pki, "tsa.key"))
    r = subprocess.run(["bash", os.path.join(ROOT, "tools", "package.sh")], env=e,
                       capture_output=True, text=True, errors="replace")
    if r.returncode != 0:
        raise RuntimeError("package.sh failed:\n%s%s" % (r.stdout, r.stderr))
    lines = r.stdout.strip().splitlines()
    msi = next(l for l in lines if l.endswith("-x86.msi"))
    version = re.search(r"Pellarin-([0-9.]+)-x86\.msi$", msi).group(1)
    return msi, version, lines[-1]


def rebuild_default():
    """Builds the tier's folder back at its own build number."""
    build = os.environ["PELLARIN_BUILD_DIR"]
    e = {k: v for k, v in os.environ.items() if k != "PELLARIN_BUILD_NUMBER"}
    subprocess.run(["cmake", "-S", ROOT, "-B", build], env=e, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "--target", "pellarin", "pellarin_exe",
                    "ssllib32"], env=e, check=True, capture_output=True)


class InstallerTest(unittest.TestCase):
    """The steps, in order (unittest runs them by name), on one prefix."""

    broken = None  # the step that failed: later steps are skipped
    bench = None

    @classmethod
    def setUpClass(cls):
        work = env()
        cls.pki = make_test_pki.make_signing(os.path.join(work, "pki"))
        cls.base_msi, cls.base_version, cls.base_last = package(os.path.join(work, "base"))
        number = int(cls.base_version.rsplit(".", 1)[1])
        try:
            cls.new_msi, cls.new_version, cls.new_last = package(
                os.path.join(work, "higher"), number + 1, cls.pki)
        finally:
            rebuild_default()
        cls.no32 = os.environ.get("PELLARIN_NO_32BIT") == "1"

    @classmethod
    def tearDownClass(cls):
        if cls.bench:
            cls.bench.close()

    def setUp(self):
        if InstallerTest.broken:
            self.skipTest("an earlier step failed (%s)" % InstallerTest.broken)

    def run(self, result=None):
        failures = len(result.failures) + len(result.errors) if result else 0
        super().run(result)
        if result and len(result.failures) + len(result.errors) > failures:
            InstallerTest.broken = InstallerTest.broken or self._testMethodName

    # -- helpers -----------------------------------------------------------------------------
    def skip_without_32bit(self, what):
        if self.no32:
            with open(os.path.join(env(), "skipped"), "a") as f:
                f.write("%s: %s\n" % (self._testMethodName, what))
            self.skipTest("this machine runs no 32-bit programs (%s)" % what)

    def relay(self, cwd=None, args=()):
        """pellarin.exe started with the Run value's command, by default in the system folder
        (where the Run key starts programs)."""
        if InstallerTest.bench is None:
            InstallerTest.bench = h.Bench(os.environ["PELLARIN_BUILD_DIR"])
        run = reg_values(RUN_KEY)["Pellarin"][1]
        program = run.strip('"')
        self.assertEqual(run, '"%s"' % program, "the Run value quotes the program's path")
        if cwd is None:
            cwd = os.path.join(prefix(), "drive_c", "windows", "system32")
            self.assertFalse(os.path.exists(os.path.join(cwd, "config.ini")))
        return self.bench.relay(program=program, cwd=cwd, args=args).start()

    def set_level(self, level, folder=None):
        with open(os.path.join(folder or install_dir(), "config.ini"), "w", newline="") as f:
            f.write("[DEBUG]\r\nLEVEL=%d\r\n" % level)

    def stored_port(self):
        return (reg_values(h.REG_KEY) or {}).get("COM Port")

    def stored_password(self):
        return (reg_values(h.REG_KEY) or {}).get("Settings Password")

    def assert_password_hash(self, value, password):
        kind, text = value
        scheme, iterations, salt, digest = text.split("$")
        self.assertEqual((kind, scheme), ("REG_SZ", "PBKDF2-SHA256"))
        self.assertGreaterEqual(int(iterations), 100000)
        self.assertEqual(hashlib.pbkdf2_hmac("sha256", password.encode(), bytes.fromhex(salt),
                                             int(iterations)).hex(), digest)

    def installed_version(self):
        return file_version(os.path.join(install_dir(), "pellarin.dll"))

    # -- the steps ---------------------------------------------------------------------------
    def test_1_install(self):
        self.assertIn("UNSIGNED", self.base_last, "package.sh's last line on an unsigned build")
        self.assertNotEqual(verify(self.base_msi, self.pki)[0], 0, "the base package is unsigned")
        self.assertEqual(msiexec("/i", h.wine_path(self.base_msi), "COMPORT=COM1",
                                 "SETTINGSPASSWORD=" + SITE_PASSWORD), 0)
        self.assert_password_hash(self.stored_password(), SITE_PASSWORD)
        log = max(glob.glob(os.path.join(env(), "msiexec-*.log")), key=os.path.getmtime)
        with open(log, "rb") as f:
            text = f.read()
        self.assertIn(b"StoreSettingsPassword", text, "the action ran, logged")
        for clear in (SITE_PASSWORD.encode("ascii"), SITE_PASSWORD.encode("utf-16-le")):
            self.assertNotIn(clear, text, "the password in the installer's log")
        for name, (_, data) in reg_values(h.REG_KEY).items():
            self.assertNotIn(SITE_PASSWORD, data, name)
        for name in INSTALLED + ("config.ini",):
            self.assertTrue(os.path.isfile(os.path.join(install_dir(), name)), name)
        with open(os.path.join(install_dir(), "config.ini")) as f:
            settings = [l for l in f.read().splitlines() if l and not l.startswith(";")]
        self.assertEqual(settings, ["[DEBUG]", "LEVEL=0"])
        lnk = shortcut()
        self.assertIsNotNone(lnk, "no Start-menu shortcut Pellarin.lnk")
        with open(lnk, "rb") as f:
            data = f.read()
        self.assertIn((INSTALL_DIR_WIN + "\\pellarin.exe").encode("ascii"), data, "target")
        self.assertIn((INSTALL_DIR_WIN + "\\").encode("utf-16-le"), data, "working folder")
        self.assertEqual(reg_values(RUN_KEY).get("Pellarin"),
                         ("REG_SZ", '"%s\\pellarin.exe"' % INSTALL_DIR_WIN))
        events = reg_values(EVENT_KEY, view=64)
        self.assertEqual(events.get("EventMessageFile"),
                         ("REG_EXPAND_SZ", INSTALL_DIR_WIN + "\\pellarin.dll"))
        self.assertEqual(events.get("TypesSupported"), ("REG_DWORD", "0x7"))
        self.assertEqual(self.stored_port(), ("REG_SZ", "COM1"))
        self.assertEqual(reg_values(h.REG_KEY).get("Version"), ("REG_SZ", "1.3"))
        self.assertEqual(len(product_entries()), 1)
        with open(os.path.join(install_dir(), "README.txt"), encoding="utf-8") as f:
            self.assertNotIn("7316", f.read(), "the shipped README prints the settings password")
        with open(os.path.join(install_dir(), "pellarin.dll"), "rb") as f:
            self.assertNotIn(b"PELLARIN_TEST_", f.read(), "a test seam in the shipped DLL")
        self.assertTrue(os.path.isdir(log_dir()), "the installer makes the log folder")
        self.assert_log_folder_dacl(self.base_msi)

    def assert_log_folder_dacl(self, msi):
        """The DACL the package gives the log folder (Wine's msiexec does not apply it and Wine
        keeps none on files, so it is read back from the package): protected; SYSTEM and
        Administrators full control over the folder and all in it; Users may list the folder
        and add files to it, and nothing that reaches the files; CREATOR OWNER full control of
        each file, so a user has their own files and not another's."""
        r = subprocess.run(["msiinfo", "export", msi, "MsiLockPermissionsEx"],
                           capture_output=True, text=True, check=True)
        rows = [l.split("\t") for l in r.stdout.splitlines()[3:] if l.strip()]
        self.assertEqual([(row[1], row[2]) for row in rows], [("LOGDIR", "CreateFolder")])
        sddl = rows[0][3]
        self.assertTrue(sddl.startswith("D:P("), "a protected DACL: %s" % sddl)
        aces = {}
        for ace in re.findall(r"\(([^)]*)\)", sddl):
            kind, flags, rights, _, _, sid = ace.split(";")
            self.assertEqual(kind, "A", ace)
            aces[sid] = (flags, rights)
        self.assertEqual(set(aces), {"SY", "BA", "BU", "CO"}, sddl)
        for sid in ("SY", "BA"):
            self.assertEqual(aces[sid], ("OICI", "FA"), sid)
        self.assertEqual(aces["CO"], ("OIIO", "FA"))
        flags, rights = aces["BU"]
        self.assertEqual(flags, "", "Users' entry reaches no file")
        # list and add file (1, 2); no subfolder (4), delete child (0x40), delete, DACL, owner
        self.assertEqual(int(rights, 16) & 0xD0047, 0x3, rights)

    def test_2_payment_through_the_run_command(self):
        self.skip_without_32bit("the payment through the installed pellarin.exe")
        # The level is read from the install folder's config.ini only: the system folder, the
        # current directory, has none, and there the level would be 0 (frames not dumped).
        self.set_level(99)
        relay = self.relay()
        tr = demo.Transcript()
        demo.payment(self.bench, relay, tr, tls=False)
        self.assertTrue(tr.ok, "the payment through the installed relay (transcript above)")
        dumped = [e.hex for e in relay.entries() if e.kind == "CAT->VAN"]
        self.assertIn(demo.MESSAGE.hex(), dumped, "the message dumped whole: level 99 was read")
        # The folder the installer made is one the relay accepts for its files.
        self.assertNotIn("로그 파일 폴더 거부", relay.log_text())
        self.assertEqual(relay.exit_through_tray(), 0)
        self.assertTrue(glob.glob(os.path.join(log_dir(), "pellarin-*.log")), log_dir())

    def test_3_upgrade_keeps_site_files_and_is_signed(self):
        self.set_level(99)  # (step 2 set it already where it ran)
        for name, text in (("ssllib32.ini", "[TLS]\r\nHandshakeTimeout=12\r\n"),
                           ("ssllib32.log", "a log line\r\n")):
            with open(os.path.join(install_dir(), name), "w", newline="") as f:
                f.write(text)
        before = product_entries()
        self.assertEqual(msiexec("/i", h.wine_path(self.new_msi), "AUTOSTART=0"), 0)
        after = product_entries()
        self.assertEqual(len(after), 1, "one entry in Programs and Features: %r" % after)
        self.assertNotEqual(after, before, "the newer package's product replaced the older")
        with open(os.path.join(install_dir(), "config.ini")) as f:
            self.assertIn("LEVEL=99", f.read(), "the site's config.ini edit is kept")
        with open(os.path.join(install_dir(), "ssllib32.ini")) as f:
            self.assertIn("HandshakeTimeout=12", f.read())
        self.assertEqual(self.stored_port(), ("REG_SZ", "COM1"), "no COMPORT: port left alone")
        self.assert_password_hash(self.stored_password(), SITE_PASSWORD)
        self.assertNotIn("Pellarin", reg_values(RUN_KEY) or {}, "AUTOSTART=0: no Run value")
        want = tuple(int(x) for x in self.new_version.split(".")) + (0,)
        for name in SIGNED:
            self.assertEqual(file_version(os.path.join(install_dir(), name)), want, name)

        self.assertIn("signed by", self.new_last)
        for path in [os.path.join(install_dir(), n) for n in SIGNED] + [self.new_msi]:
            code, out = verify(path, self.pki)
            self.assertEqual(code, 0, "%s does not verify:\n%s" % (path, out))
            self.assertIn("Timestamp Server Signature verification: ok", out, path)
        tampered = os.path.join(env(), "tampered.dll")
        with open(os.path.join(install_dir(), "pellarin.dll"), "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 0x01
        with open(tampered, "wb") as f:
            f.write(data)
        self.assertNotEqual(verify(tampered, self.pki)[0], 0, "a changed byte must fail")

    def test_4_comport_reinstall(self):
        self.assertEqual(msiexec("/i", h.wine_path(self.new_msi), "COMPORT=COM2",
                                 "REINSTALL=ALL", "REINSTALLMODE=omus"), 0)
        self.assertEqual(self.stored_port(), ("REG_SZ", "COM2"))
        self.assertEqual(len(product_entries()), 1)
        self.assertIn("Pellarin", reg_values(RUN_KEY) or {}, "AUTOSTART not 0: Run value back")
        self.skip_without_32bit("the relay on the stored COM2, started with --keep-cwd")
        # --keep-cwd: the level comes from the current folder's config.ini (99: frames dumped
        # whole), not from the install folder's (1: their first 20 bytes).
        elsewhere = tempfile.mkdtemp(dir=env())
        self.set_level(99, elsewhere)
        self.set_level(1)
        try:
            relay = self.relay(cwd=elsewhere, args=["--keep-cwd"])
            self.assertTrue(any(e.kind == "status" and e.text.startswith("COM2 Open")
                                for e in relay.port_status), relay.port_status)
            term = demo.termsim.Terminal(os.environ["PELLARIN_TERM_COM2"])
            try:
                term.send(demo.MESSAGE)
                entries = relay.wait_log(lambda es: any(e.kind == "CAT->VAN" for e in es))
            finally:
                term.close()
            self.assertIn(demo.MESSAGE.hex(), [e.hex for e in entries if e.kind == "CAT->VAN"])
            self.assertEqual(relay.exit_through_tray(), 0)
        finally:
            self.set_level(99)

    def test_5_older_package_refused(self):
        code = msiexec("/i", h.wine_path(self.base_msi))
        self.assertIn(code, (ERROR_INSTALL_FAILURE, ERROR_INSTALL_FAILURE & 0xFF))
        want = tuple(int(x) for x in self.new_version.split(".")) + (0,)
        self.assertEqual(self.installed_version(), want)
        self.assertEqual(len(product_entries()), 1)

    def test_6_uninstall_keeps_site_data(self):
        self.assertEqual(msiexec("/x", h.wine_path(self.new_msi)), 0)
        for name in INSTALLED:
            self.assertFalse(os.path.exists(os.path.join(install_dir(), name)), name)
        self.assertIsNone(shortcut())
        self.assertNotIn("Pellarin", reg_values(RUN_KEY) or {})
        self.assertIsNone(reg_values(EVENT_KEY, view=64))
        self.assertEqual(product_entries(), [])
        with open(os.path.join(install_dir(), "config.ini")) as f:
            self.assertIn("LEVEL=99", f.read())
        for name in ("ssllib32.ini", "ssllib32.log"):
            self.assertTrue(os.path.isfile(os.path.join(install_dir(), name)), name)
        self.assertEqual(self.stored_port(), ("REG_SZ", "COM2"))


def fresh_prefix(work):
    """A new Wine prefix in work/prefix, made the way tools/setup.sh makes the project's."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    pfx = os.path.join(work, "prefix")
    boot = 'source "$1/wine-env.sh" && wine wineboot -i && wineserver -w'
    r = subprocess.run(["bash", "-c", boot, "-", h.TOOLS], env=dict(os.environ, PELLARIN_WINEPREFIX=pfx),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=open(os.path.join(work, "wineboot.log"), "wb"))
    if r.returncode != 0:
        sys.exit("test_package: Wine could not create %s (see %s/wineboot.log)" % (pfx, work))
    return pfx


def main():
    args = sys.argv[1:]
    if "--build-dir" not in args:
        sys.exit("usage: test_package.py --build-dir BUILD [unittest options]")
    i = args.index("--build-dir")
    build = os.path.abspath(args[i + 1])
    del args[i:i + 2]
    if not os.environ.get("PELLARIN_PACKAGE_DIR"):
        # First pass: the prefix, then the same command again under a display and the pty
        # pairs of that prefix. The modem-line shim is the project prefix's (it does not depend
        # on the prefix); with-ptys.sh builds it where it is missing.
        outer = subprocess.run(["bash", "-c", 'source "$1/wine-env.sh"; echo "$WINEPREFIX"', "-",
                                h.TOOLS], capture_output=True, text=True).stdout.strip()
        os.environ.setdefault("PELLARIN_SHIM_ROOT", os.path.join(os.path.dirname(outer), "shim"))
        work = os.path.join(build, "package-test")
        os.environ["PELLARIN_WINEPREFIX"] = fresh_prefix(work)
        os.environ["PELLARIN_PACKAGE_DIR"] = work
        # No menu entries on the Linux desktop for the shortcuts Wine's msiexec makes.
        os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe="
        for k in [k for k in os.environ if k.startswith(("PELLARIN_TERM_", "PELLARIN_HOST_COM"))]:
            del os.environ[k]
        os.environ.pop("PELLARIN_PTY_DIR", None)
        me = [sys.executable, os.path.abspath(__file__), "--build-dir", build] + args
        wrap = ["bash", os.path.join(h.TOOLS, "with-ptys.sh")]
        if not os.environ.get("DISPLAY"):
            wrap = ["bash", os.path.join(h.TOOLS, "with-display.sh")] + wrap
        status = subprocess.run(wrap + me).returncode
        subprocess.run(["bash", "-c", 'source "$1/wine-env.sh"; wineserver -k', "-", h.TOOLS],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if os.environ.get("PELLARIN_E2E_KEEP") != "1":
            shutil.rmtree(os.path.join(work, "prefix"), ignore_errors=True)
        sys.exit(status)
    os.environ["PELLARIN_BUILD_DIR"] = build
    unittest.main(module="__main__", argv=[sys.argv[0]] + args, verbosity=2)


if __name__ == "__main__":
    main()
