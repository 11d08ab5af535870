#!/usr/bin/env python3
"""End-to-end cases of the diagnostics bundle, from `pellarin.exe --collect [FOLDER]` and from
the tray item "진단 정보 저장(&D)...".

Run: python3 tests/e2e/test_diagnostics.py --build-dir build/i686

The archive is read back with Info-ZIP's unzip (Wine has no zip extraction of its own): its
list of files, each file's bytes against the file it came from, and summary.txt. The folder
of daily log files is the test's own ([LOG] Dir=), filled with files of the days around
today. The size cap is met with 63 MiB of log files that deflate cannot shrink. A second
request is made while the bundle's mutex is held by another process (winprobe), as a bundle
being written holds it.
"""

import datetime
import getpass
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

h.share_bench(globals(), port="COM1")

ID_TRAY_COLLECT = 32775
BUNDLE_MUTEX = "Local\\Pellarin.DiagnosticsBundle"
NAME = re.compile(r"Pellarin-[^\\/]+-(\d{8})-(\d{6})\.zip$")
SAVED = "진단 정보를 저장했습니다"
BUSY = "진단 정보를 이미 저장하고 있습니다"
CANNOT = "진단 정보를 이 폴더에 저장할 수 없습니다"
CAP = 50 * 1024 * 1024
BIG_DAY = 9 * 1024 * 1024  # seven of these pass the cap; five fit


def log_name(day, part=0):
    return "pellarin-%s%s.log" % (day.strftime("%Y%m%d"), "-%d" % part if part else "")


def linux_path(windows_path):
    """The Linux path of a Windows path under Wine (Z: is /, C: the prefix's drive_c)."""
    drive, rest = windows_path[0].upper(), windows_path[2:].replace("\\", "/")
    if drive == "Z":
        return rest
    prefix = os.environ.get("PELLARIN_WINEPREFIX") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "pellarin", "wine")
    return os.path.join(prefix, "drive_%s" % drive.lower()) + rest


def unzip(path, *args):
    return subprocess.run(["unzip"] + list(args) + [path], capture_output=True)


def archive_names(path):
    r = unzip(path, "-Z1")
    return r.stdout.decode("ascii").split()


def archive_file(path, name):
    return subprocess.run(["unzip", "-p", path, name], capture_output=True).stdout


def summary_of(path):
    return archive_file(path, "summary.txt").decode("cp949")


class DiagnosticsTest(unittest.TestCase):

    def setUp(self):
        self.today = datetime.date.today()
        self.relay = BENCH.relay(level=5, config="[RELAY]\r\nConnectTimeout=5\r\n"
                                 "AllowHosts=192.0.2.10:7001, 10.20.0.0/16\r\n")
        self.logs = os.path.join(self.relay.workdir, "logs")
        os.makedirs(self.logs)
        self.relay.log_settings = {"Dir": h.wine_path(self.logs)}
        self.relay.install()
        self.out = os.path.join(self.relay.workdir, "out")
        os.makedirs(self.out)

    def write_log(self, name, data):
        with open(os.path.join(self.logs, name), "wb") as f:
            f.write(data)
        return data

    def collect(self, *args):
        """pellarin.exe --collect ARGS in the relay's folder: (exit code, its message)."""
        with open(os.path.join(self.relay.workdir, "collect.txt"), "wb") as out:
            code = subprocess.run([h.WINE_RUN, os.path.join(self.relay.workdir, "pellarin.exe"),
                                   "--collect"] + list(args), cwd=self.relay.workdir,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=120).returncode
        with open(os.path.join(self.relay.workdir, "collect.txt"), "rb") as f:
            return code, f.read().decode("cp949", "replace")

    def archives(self):
        return sorted(f for f in os.listdir(self.out) if f.endswith(".zip"))

    # -- the command -------------------------------------------------------------------
    def test_command_bundles_seven_days_of_logs_the_settings_files_and_a_summary(self):
        expected = {}
        for back in range(9):  # today and eight days back: the two oldest stay out
            day = self.today - datetime.timedelta(days=back)
            data = ("%s 12:00:00 승인 411111******1111 day %d\r\n" % (
                day.strftime("%Y/%m/%d"), back)).encode("cp949")
            if back < 7:
                expected[log_name(day)] = self.write_log(log_name(day), data)
            else:
                self.write_log(log_name(day), data)
        yesterday = self.today - datetime.timedelta(days=1)
        expected[log_name(yesterday, 1)] = self.write_log(log_name(yesterday, 1), b"part 1\r\n")
        self.write_log("notes.txt", b"not a log file")
        for name, data in (("ssllib32.ini", b"[TLS]\r\nHandshakeTimeout=10\r\n"),
                           ("ssllib32.log", b"current\r\n"), ("ssllib32.log.1", b"rotated\r\n")):
            with open(os.path.join(self.relay.workdir, name), "wb") as f:
                f.write(data)
            expected[name] = data
        with open(os.path.join(self.relay.workdir, "config.ini"), "rb") as f:
            expected["config.ini"] = f.read()
        # pellarin.dll signed as a release is (a throwaway code-signing certificate).
        pki = h.make_test_pki.make_signing(os.path.join(self.relay.workdir, "signing"))
        dll = os.path.join(self.relay.workdir, "pellarin.dll")
        subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(pki, "codesign.crt"),
                        "-key", os.path.join(pki, "codesign.key"), "-h", "sha256",
                        "-in", dll, "-out", dll + ".signed"], check=True, capture_output=True)
        os.replace(dll + ".signed", dll)

        started = datetime.datetime.now().replace(microsecond=0)
        code, said = self.collect(h.wine_path(self.out))
        self.assertEqual(code, 0, said)
        [archive] = self.archives()
        path = os.path.join(self.out, archive)
        self.assertIn(SAVED, said)
        self.assertIn(h.wine_path(path), said)
        stamp = datetime.datetime.strptime("".join(NAME.search(archive).groups()), "%Y%m%d%H%M%S")
        self.assertLessEqual(abs((stamp - started).total_seconds()), 60, archive)

        self.assertEqual(unzip(path, "-tqq").returncode, 0, "unzip's own check of the archive")
        names = archive_names(path)
        self.assertEqual(sorted(names), sorted(list(expected) + ["summary.txt"]))
        for name, data in expected.items():
            self.assertEqual(archive_file(path, name), data, name)
        # Python's reader agrees with unzip on every entry.
        with zipfile.ZipFile(path) as z:
            self.assertIsNone(z.testzip())

        summary = summary_of(path)
        for line in (r"pellarin\.exe: 1\.3\.\d+\.0, 서명 없음",
                     r"pellarin\.dll: 1\.3\.\d+\.0, 서명: Pellarin Test Code Signing \(",
                     r"ssllib32\.dll: 1\.3\.\d+\.0, 서명 없음", r"저장된 포트: COM1\r",
                     r"시스템의 COM 포트: .*COM1", r"이벤트 원본 \"Pellarin\": ", r"Windows: Windows \d+\.\d+",
                     r"시간대: .+\(UTC[+-]\d\d:\d\d\)", r"\[RELAY\] ConnectTimeout: 5초",
                     r"\[RELAY\] AllowHosts: 192\.0\.2\.10:7001, 10\.20\.0\.0/16",
                     r"\[DEBUG\] LEVEL: 5", r"\[LOG\] Dir: " + re.escape(h.wine_path(self.logs)),
                     r"\[LOG\] KeepDays: 90", r"\[오늘의 상태\]\r\n\(명령으로 만든"):
            self.assertRegex(summary, line)
        self.assertNotIn("크기 제한", summary)

    def test_command_leaves_the_oldest_days_out_past_50_mib(self):
        days = [self.today - datetime.timedelta(days=back) for back in range(7)]
        for back, day in enumerate(days):
            self.write_log(log_name(day), os.urandom(BIG_DAY))
        code, said = self.collect(h.wine_path(self.out))
        self.assertEqual(code, 0, said)
        [archive] = self.archives()
        path = os.path.join(self.out, archive)
        self.assertLessEqual(os.path.getsize(path), CAP)
        self.assertEqual(unzip(path, "-tqq").returncode, 0)
        logs = [n for n in archive_names(path) if n.startswith("pellarin-")]
        self.assertEqual(sorted(logs), sorted(log_name(d) for d in days[:5]))
        summary = summary_of(path)
        self.assertRegex(summary, r"크기 제한 50 MB로 빠진 파일 \(오래된 날부터 뺍니다\): %s, %s" % (
            re.escape(log_name(days[5])), re.escape(log_name(days[6]))))
        self.assertIn("2개가 빠졌습니다", said)

    def test_command_into_a_folder_that_cannot_be_written_fails_with_a_message(self):
        a_file = os.path.join(self.relay.workdir, "config.ini")
        for folder in (os.path.join(self.out, "missing", "deeper"), a_file):
            with self.subTest(folder=folder):
                code, said = self.collect(h.wine_path(folder))
                self.assertEqual(code, 2, said)
                self.assertIn(CANNOT, said)
                self.assertIn(h.wine_path(folder), said)
                self.assertRegex(said, r"오류 \d+")
        self.assertEqual(self.archives(), [])

    def test_a_second_request_while_a_bundle_is_written_says_so(self):
        held = BENCH.inspector.call("mutex", name=BUNDLE_MUTEX, hold=1)
        self.assertTrue(held.get("ok"), held)
        try:
            code, said = self.collect(h.wine_path(self.out))
            self.assertEqual(code, 3, said)
            self.assertIn(BUSY, said)
            self.assertEqual(self.archives(), [])
        finally:
            BENCH.inspector.call("mutex", name=BUNDLE_MUTEX, hold=0)
        code, said = self.collect(h.wine_path(self.out))
        self.assertEqual(code, 0, said)

        # A bundle of a second that already has one (made just before) keeps that one's file.
        [first] = self.archives()
        computer = first[len("Pellarin-"):-len("-YYYYMMDD-HHMMSS.zip")]
        start = datetime.datetime.now()
        taken = {}
        for s in range(60):
            name = "Pellarin-%s-%s.zip" % (
                computer, (start + datetime.timedelta(seconds=s)).strftime("%Y%m%d-%H%M%S"))
            taken[name] = b"an earlier bundle %d" % s
            with open(os.path.join(self.out, name), "wb") as f:
                f.write(taken[name])
        code, said = self.collect(h.wine_path(self.out))
        self.assertEqual(code, 0, said)
        [new] = [n for n in self.archives() if n != first and n not in taken]
        self.assertRegex(new, r"-\d{8}-\d{6}-2\.zip$")
        self.assertIn(new[:-len("-2.zip")] + ".zip", taken)
        for name, data in taken.items():
            with open(os.path.join(self.out, name), "rb") as f:
                self.assertEqual(f.read(), data, name)

    # -- the tray item ----------------------------------------------------------------
    def box(self, text, timeout=h.BOUND):
        return self.relay.inspector.call("box", caption=h.PRODUCT_TITLE, pid=self.relay.pid,
                                         contains=text, timeout=int(timeout * 1000))

    def test_tray_item_writes_the_bundle_on_its_own_thread_and_names_it(self):
        days = [self.today - datetime.timedelta(days=back) for back in range(7)]
        for day in days[1:]:
            self.write_log(log_name(day), os.urandom(BIG_DAY))
        relay = self.relay.start()
        today_file = os.path.join(self.logs, log_name(days[0]))
        self.assertTrue(h.poll(lambda: os.path.exists(today_file)), "the relay's own file")
        r = relay.inspector.call("command", hwnd=relay.main, cmd=ID_TRAY_COLLECT)
        self.assertTrue(r.get("ok"), r)
        # While some 50 MB are compressed, the relay's window answers at once.
        ping = relay.inspector.call("ping", hwnd=relay.main, timeout=1000)
        still_writing = not self.box(SAVED, timeout=0).get("ok")
        self.assertTrue(ping.get("answered"), ping)
        self.assertTrue(still_writing, "the bundle was done before the window was asked")

        box = self.box(SAVED, timeout=120)
        self.assertTrue(box.get("ok"), box)
        found = re.search(r"([A-Z]:\\[^\r\n]*\.zip)", box["text"])
        self.assertTrue(found, box["text"])
        path = linux_path(found.group(1))
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))
        self.assertTrue(NAME.search(found.group(1)), found.group(1))
        self.assertIn("Desktop", found.group(1))
        self.assertLessEqual(os.path.getsize(path), CAP)
        self.assertEqual(unzip(path, "-tqq").returncode, 0)
        names = archive_names(path)
        # Today's file is the relay's own, written while it runs; the oldest day is left out.
        self.assertIn(log_name(days[0]), names)
        self.assertNotIn(log_name(days[6]), names)
        with open(today_file, "rb") as f:
            now = f.read()
        bundled = archive_file(path, log_name(days[0]))
        self.assertTrue(bundled and now.startswith(bundled), "today's log file as written")
        summary = summary_of(path)
        self.assertIn("[오늘의 상태]", summary)
        self.assertNotIn("명령으로 만든", summary)
        relay.inspector.call("press", hwnd=box["hwnd"], button=h.IDOK)

        # A second request while another process writes a bundle.
        held = relay.inspector.call("mutex", name=BUNDLE_MUTEX, hold=1)
        self.assertTrue(held.get("ok"), held)
        try:
            relay.inspector.call("command", hwnd=relay.main, cmd=ID_TRAY_COLLECT)
            busy = self.box(BUSY)
            self.assertTrue(busy.get("ok"), busy)
            relay.inspector.call("press", hwnd=busy["hwnd"], button=h.IDOK)
        finally:
            relay.inspector.call("mutex", name=BUNDLE_MUTEX, hold=0)
        self.assertEqual(relay.exit_through_tray(), 0)

    def test_exit_while_the_tray_bundle_is_written_ends_at_once_and_leaves_no_broken_file(self):
        desktop = linux_path("C:\\users\\%s\\Desktop" % getpass.getuser())
        before = set(os.listdir(desktop))
        for back in range(1, 7):
            self.write_log(log_name(self.today - datetime.timedelta(days=back)),
                           os.urandom(BIG_DAY))
        relay = self.relay.start()
        relay.inspector.call("command", hwnd=relay.main, cmd=ID_TRAY_COLLECT)
        started = time.monotonic()
        code = relay.exit_through_tray()
        self.assertEqual(code, 0)
        new = [n for n in set(os.listdir(desktop)) - before if NAME.search(n)]
        for name in new:
            self.addCleanup(os.remove, os.path.join(desktop, name))
        # Either the bundle was finished before Exit (then it is whole) or it was stopped and
        # its file deleted: never a cut archive.
        for name in new:
            self.assertEqual(unzip(os.path.join(desktop, name), "-tqq").returncode, 0, name)
        print("exit %.1f s after the tray item; %d archive(s) left" % (
            time.monotonic() - started, len(new)), file=sys.stderr)

    def test_tray_item_says_so_when_the_desktop_cannot_be_written(self):
        # The prefix's desktop folder becomes a file for this case, and comes back after it.
        desktop = linux_path("C:\\users\\%s\\Desktop" % getpass.getuser())
        self.assertTrue(os.path.lexists(desktop), desktop)
        os.rename(desktop, desktop + ".away")
        self.addCleanup(os.rename, desktop + ".away", desktop)
        with open(desktop, "wb") as f:
            f.write(b"not a folder")
        self.addCleanup(os.remove, desktop)
        relay = self.relay.start()
        relay.inspector.call("command", hwnd=relay.main, cmd=ID_TRAY_COLLECT)
        box = self.box(CANNOT, timeout=60)
        self.assertTrue(box.get("ok"), box)
        self.assertIn("Desktop", box["text"])
        self.assertRegex(box["text"], r"오류 \d+")
        relay.inspector.call("press", hwnd=box["hwnd"], button=h.IDOK)
        with open(desktop, "rb") as f:
            self.assertEqual(f.read(), b"not a folder")
        self.assertEqual(relay.exit_through_tray(), 0)


if __name__ == "__main__":
    h.run_tests(__file__)
