"""The process table as /proc shows it, for tests that look for children, zombies and
survivors; a runner of child interpreters for what must not happen in this one; waiting."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import time


def processes(uid: int | None = None) -> dict[int, tuple[int, str, list[str]]]:
    """{pid: (ppid, state, argv)} of every process on the machine, or of one user's (argv is
    empty for a zombie)."""
    table = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if uid is not None and os.stat(f"/proc/{entry}").st_uid != uid:
                continue
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = [a.decode(errors="replace") for a in f.read().split(b"\0")[:-1]]
        except OSError:
            continue
        table[int(entry)] = (int(fields[1]), fields[0], argv)
    return table


def running(needle: str, uid: int | None = None) -> list[int]:
    """The live processes (of one user) whose command line contains `needle`."""
    return [pid for pid, (_, state, argv) in processes(uid).items()
            if state != "Z" and needle in " ".join(argv)]


def own_children() -> dict[int, str]:
    """{pid: state} of every process whose parent is this one, zombies included."""
    me = os.getpid()
    return {pid: state for pid, (ppid, state, _) in processes().items() if ppid == me}


def run_script(script, *args, cwd=None, env=None, timeout=60):
    """Runs a Python script in a child interpreter; returns what it printed, read as JSON. The
    scripts can import this module."""
    path = os.pathsep.join(filter(None, [os.path.dirname(__file__), os.environ.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=timeout,
                          env={**os.environ, **(env or {}), "PYTHONPATH": path})
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def wait_until(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
