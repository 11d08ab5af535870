#!/usr/bin/env python3
"""Ends (or lists) the Wine processes of this prefix that run given Windows programs.

Why: a Windows program started under Wine by another Windows program (a test program that
starts pellarin.exe, explorer /desktop that starts a test program) is not a child of the
script that started the run: Wine detaches it. When the run fails or is cut off by its time
limit, such a process stays, keeps its COM port open and shares the next run's bytes. The
scripts that start Windows programs call this before a run (to end what an earlier run left)
and after it (to end what theirs left), and say what they ended.

  wine-end.py [--list] [--name FILE.exe]... [PROGRAM.exe]...

PROGRAM is a Unix path of a program file; --name matches any program of that file name.
Only processes whose WINEPREFIX is this prefix's are considered; each is found by its Linux
process id and ended by it. With --list nothing is ended. Exits 0 unless a process could not
be ended.
"""

import argparse
import os
import signal
import sys
import time


def prefix():
    default = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                           "pellarin", "wine")
    return os.path.realpath(os.environ.get("WINEPREFIX") or
                            os.environ.get("PELLARIN_WINEPREFIX") or default)


def unix_program(pid, word, wineprefix):
    """The Unix path of the program a Wine process runs, from its first command-line word:
    a Windows path (drive letters resolved through the prefix's dosdevices) or a Unix path
    (relative to the process's working directory)."""
    if len(word) > 2 and word[1] == ":" and word[2] == "\\":
        drive = os.path.join(wineprefix, "dosdevices", word[:2].lower())
        return os.path.realpath(os.path.join(drive, word[3:].replace("\\", "/")))
    try:
        return os.path.realpath(os.path.join(os.readlink("/proc/%d/cwd" % pid), word))
    except OSError:
        return None


def wine_processes(wineprefix):
    """(pid, program path) of every Wine process of the prefix."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            if not os.path.basename(os.readlink("/proc/%d/exe" % pid)).startswith("wine"):
                continue
            with open("/proc/%d/environ" % pid, "rb") as f:
                env = dict(v.split(b"=", 1) for v in f.read().split(b"\0") if b"=" in v)
            if os.path.realpath(env.get(b"WINEPREFIX", b"").decode()) != wineprefix:
                continue
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                word = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue  # gone meanwhile, or not ours to read
        program = unix_program(pid, word, wineprefix)
        if program:
            yield pid, program


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", action="store_true", help="only list them")
    ap.add_argument("--name", action="append", default=[], help="any program of this file name")
    ap.add_argument("programs", nargs="*")
    args = ap.parse_args()
    wanted = {os.path.realpath(p) for p in args.programs}
    names = {n.lower() for n in args.name}
    found = [(pid, prog) for pid, prog in wine_processes(prefix())
             if prog in wanted or os.path.basename(prog).lower() in names]
    status = 0
    for pid, prog in found:
        if args.list:
            print("%d %s" % (pid, prog))
            continue
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            continue
        deadline = time.monotonic() + 5
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if alive(pid):
            print("wine-end: %s (pid %d) did not end" % (prog, pid), file=sys.stderr)
            status = 1
        else:
            print("wine-end: ended %s (pid %d), left running" % (prog, pid), file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
