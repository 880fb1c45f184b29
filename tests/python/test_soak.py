"""Load: 32 threads sharing one LocalClient and one SshClient on overlapping files.

Every file content is a "version": self-describing lines that name their writer, the write's
number and the line count, so any read (whole file, window, `cat` through a command) can tell
a complete version from a torn or mixed one. Versioned writes either win or conflict; the
winners of one file must each have consumed a different version and, since a write returns the
version of the file it installed, form one unbroken chain from the first content to the last,
on both clients. TARNWISTLE_SOAK_SECONDS sets the length (default 5 s).
"""

from __future__ import annotations

import collections
import os
import random
import re
import threading
import time
import uuid

import pytest

from tarnwistle import _core

pytestmark = pytest.mark.ssh

SECONDS = float(os.environ.get("TARNWISTLE_SOAK_SECONDS", "5"))
THREADS = 32
LOCAL_FILES = 4
REMOTE_FILES = 2
REMOTE_SHARE = 0.25  # of operations, the rest are local

LINE = re.compile(r"^w(\d+) s(\d+) l(\d+) of (\d+) [a-z]*$")


def version_text(writer: int, seq: int, rng: random.Random) -> str:
    # Line lengths and counts vary so that two versions rarely have the same size.
    n = rng.randint(1, 60)
    pad = "abcdefghijklmnopqrstuvwxyz"
    return "".join(f"w{writer} s{seq} l{i} of {n} {pad[: rng.randint(0, 26)]}\n" for i in range(n))


def version_of_lines(lines: list[str]) -> tuple[int, int, int, list[int]]:
    """(writer, seq, total, line numbers) of lines that all belong to one version."""
    parsed = [LINE.match(line) for line in lines]
    assert all(parsed), f"not a version line among {lines[:3]!r}"
    ids = {(m.group(1), m.group(2), m.group(4)) for m in parsed}
    assert len(ids) == 1, f"lines of several versions mixed: {sorted(ids)}"
    writer, seq, total = (int(x) for x in ids.pop())
    return writer, seq, total, [int(m.group(3)) for m in parsed]


def check_whole(text: str) -> tuple[int, int]:
    assert text.endswith("\n"), f"torn content: {text[-40:]!r}"
    writer, seq, total, numbers = version_of_lines(text.splitlines())
    assert numbers == list(range(total)), "lines missing or out of order"
    return writer, seq


def check_window(window: tuple, offset: int, limit: int) -> None:
    content, total, start, end, truncated = window
    lines = content.splitlines()
    if not lines:
        assert offset > total, f"empty window at line {offset} of {total}"
        return
    _, _, n, numbers = version_of_lines(lines)
    assert n == total, f"window says {total} lines, its version has {n}"
    assert numbers == list(range(start - 1, end))
    if offset > 0:
        assert start == offset and len(lines) <= limit and truncated == (end < total)
    else:  # the last -offset lines, whatever the limit
        assert end == total and len(lines) == min(-offset, total) and not truncated


class Soak:
    def __init__(self, local, remote, remote_names):
        self.clients = {"local": local, "remote": remote}
        self.paths = {"local": [f"f{i}.txt" for i in range(LOCAL_FILES)],
                      "remote": remote_names}
        self.lock = threading.Lock()
        self.counts = collections.Counter()
        self.worst = collections.defaultdict(float)
        self.wins = collections.defaultdict(list)  # (side, path) -> [(expected, new, writer, seq)]
        self.failures: list[str] = []

    def run_thread(self, index: int, deadline: float) -> None:
        rng = random.Random(index)
        seq = 0
        while time.monotonic() < deadline:
            side = "remote" if rng.random() < REMOTE_SHARE else "local"
            client = self.clients[side]
            path = rng.choice(self.paths[side])
            op = rng.choices(["stat", "read", "window", "write", "exec"], [3, 3, 2, 3, 1])[0]
            began = time.monotonic()
            try:
                if op == "stat":
                    info = client.stat(path)
                    assert info.exists and info.kind == "file" and info.size > 0
                elif op == "read":
                    check_whole(client.read_text(path))
                elif op == "window":
                    offset = rng.choice([1, 2, 5, 20, -1, -7])
                    limit = rng.randint(1, 30)
                    check_window(client.read_text_window(path, offset, limit), offset, limit)
                elif op == "write":
                    seq += 1
                    before = client.stat(path).version
                    content = version_text(index, seq, rng)
                    try:
                        info = client.write_text_atomic(path, content, expected_version=before)
                    except _core.ConflictError:
                        op = "conflict"
                    else:
                        with self.lock:
                            self.wins[side, path].append((before, info.version, index, seq))
                else:
                    result = client.exec_command(f"cat {path}", timeout=30)
                    assert result.exit_code == 0, result.stderr
                    check_whole(result.stdout)
            except Exception as exc:  # noqa: BLE001 - every failure is collected and reported
                with self.lock:
                    self.failures.append(f"{side} {op} {path}: {type(exc).__name__}: {exc}")
                continue
            took = time.monotonic() - began
            with self.lock:
                self.counts[side, op] += 1
                self.worst[side] = max(self.worst[side], took)


@pytest.mark.timeout(SECONDS + 180)
def test_soak_shared_clients(ssh_world, tmp_path, capsys):
    local = _core.LocalClient(str(tmp_path))
    remote = ssh_world.client(connect_timeout=10, operation_timeout=60)
    rdir = f"soak-{uuid.uuid4().hex[:8]}"
    remote.mkdir(rdir)
    remote_names = [f"{rdir}/r{i}.txt" for i in range(REMOTE_FILES)]
    soak = Soak(local, remote, remote_names)
    first = {}
    seed = random.Random(0)
    for side in ("local", "remote"):
        for path in soak.paths[side]:
            first[side, path] = soak.clients[side].write_text_atomic(
                path, version_text(99, 0, seed)).version

    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=soak.run_thread, args=(i, deadline), daemon=True)
               for i in range(THREADS)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 120)
    elapsed = time.monotonic() - started
    assert not any(t.is_alive() for t in threads), "a thread is stuck: deadlock or hang"
    assert not soak.failures, "\n".join(soak.failures[:20])

    total = sum(soak.counts.values())
    attempts = sum(n for (_, op), n in soak.counts.items() if op in ("write", "conflict"))
    won = sum(len(w) for w in soak.wins.values())
    assert won == sum(n for (_, op), n in soak.counts.items() if op == "write")
    assert attempts > 0 and won > 0

    for (side, path), wins in soak.wins.items():
        expected = [w[0] for w in wins]
        assert len(set(expected)) == len(expected), f"{path}: two writes won over one version"
        final_text = soak.clients[side].read_text(path)
        writer, seq = check_whole(final_text)
        assert (writer, seq) in {(w[2], w[3]) for w in wins}, f"{path}: final content not a winner's"
        # Follow the chain of versions from the first content: it must pass every win once
        # and end at the file as it is now.
        step = {w[0]: w for w in wins}
        version, seen = first[side, path], 0
        while version in step:
            win = step.pop(version)
            version, seen = win[1], seen + 1
        assert seen == len(wins), f"{side} {path}: {len(wins) - seen} wins off the version chain"
        assert version == soak.clients[side].stat(path).version
        assert (win[2], win[3]) == (writer, seq)

    leftovers = [p for p in list(tmp_path.iterdir()) + list((ssh_world.home / rdir).iterdir())
                 if ".tarnwistle" in p.name]
    assert not leftovers, leftovers

    with capsys.disabled():
        print(f"\nsoak: {THREADS} threads, {elapsed:.1f} s, {total} operations "
              f"({total / elapsed:.0f}/s), {attempts} versioned writes: {won} won; worst latency "
              + ", ".join(f"{side} {ms * 1000:.0f} ms" for side, ms in sorted(soak.worst.items())))
