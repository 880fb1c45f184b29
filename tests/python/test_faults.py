"""Real faults injected under the clients: a full file system, too few file descriptors,
children that misbehave, an ssh server that dies in the middle of an operation and a remote
lock left by a writer that was killed. Each test checks the documented outcome and that
nothing is lost: the target keeps its old content or gets the new one whole, and no temporary
file, descriptor, thread or process is left behind.
"""

from __future__ import annotations

import errno
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import uuid
from pathlib import Path

import pytest

from proc_table import own_children, processes
from tarnwistle import _core

TEMP_NAME = re.compile(r"\.tarnwistle-[A-Za-z0-9]{6}\.tmp")
REMOTE_LEFTOVER = re.compile(r"\.tarnwistle-[0-9a-f]+\.tmp$|\.tarnwistle\.lock$")


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def alive_with_argv(argv):
    return [pid for pid, (_, state, args) in processes().items() if args == argv and state != "Z"]


def run_script(script, *args, cwd):
    """Runs a Python script in a child interpreter (for limits that must not touch this one)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# ---- a full file system -------------------------------------------------------------------------


@pytest.fixture
def small_tmpfs():
    """A 1 MiB tmpfs, or a skip where mounting is not allowed (the file-size limit below
    stands in for it)."""
    path = tempfile.mkdtemp(prefix="tw-full-")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755", "tmpfs", path],
                          capture_output=True, text=True)
    if done.returncode != 0:
        os.rmdir(path)
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield path
    finally:
        subprocess.run(["umount", path], check=True)
        os.rmdir(path)


WRITE_SCRIPT = """
    import json, resource, signal, sys
    from tarnwistle import _core

    directory, fsize = sys.argv[1], int(sys.argv[2])
    if fsize:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
    client = _core.LocalClient(directory)
    big = "x" * (2 << 20)
    outcomes = []
    for method, path in [("write_text", "old.txt"), ("write_bytes", "old.txt"),
                         ("write_text_atomic", "old.txt"), ("write_text", "new.txt"),
                         ("write_text_atomic", "sub/new.txt")]:
        try:
            getattr(client, method)(path, big.encode() if method == "write_bytes" else big)
            outcomes.append([method, path, None, None])
        except Exception as e:
            outcomes.append([method, path, type(e).__name__, str(e)])
    client.write_text("small.txt", "fits")  # the failed writes gave their space back
    print(json.dumps(outcomes))
"""

FULL_CASES = [
    ("write_text", "old.txt", "write_text failed"),
    ("write_bytes", "old.txt", "write_bytes failed"),
    ("write_text_atomic", "old.txt", "write_bytes failed"),
    ("write_text", "new.txt", "write_text failed"),
    ("write_text_atomic", "sub/new.txt", "write_bytes failed"),
]


class TestFullFileSystem:
    def check(self, directory, outcomes, reason):
        for (method, path, cls, message), (want_method, want_path, prefix) in zip(outcomes, FULL_CASES):
            assert (method, path, cls) == (want_method, want_path, "ClientError")
            parent = os.path.dirname(os.path.join(directory, path))
            pattern = (rf'{prefix}: {re.escape(path)}: {re.escape(reason)} at path '
                       rf'"{re.escape(parent)}/\.tarnwistle-[A-Za-z0-9]{{6}}\.tmp"')
            assert re.fullmatch(pattern, message), message
        assert Path(directory, "old.txt").read_text() == "old"
        assert not Path(directory, "new.txt").exists()
        assert not Path(directory, "sub", "new.txt").exists()
        assert Path(directory, "small.txt").read_text() == "fits"
        left = [str(p) for p in Path(directory).rglob("*") if TEMP_NAME.fullmatch(p.name)]
        assert left == []

    def test_tmpfs_out_of_space(self, small_tmpfs):
        Path(small_tmpfs, "old.txt").write_text("old")
        outcomes = run_script(WRITE_SCRIPT, small_tmpfs, 0, cwd=small_tmpfs)
        self.check(small_tmpfs, outcomes, f"{os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})")

    def test_file_size_limit(self, tmp_path):
        Path(tmp_path, "old.txt").write_text("old")
        outcomes = run_script(WRITE_SCRIPT, tmp_path, 64 << 10, cwd=tmp_path)
        self.check(str(tmp_path), outcomes, f"{os.strerror(errno.EFBIG)} (os error {errno.EFBIG})")


# ---- too few file descriptors -------------------------------------------------------------------


NOFILE_SCRIPT = """
    import json, os, resource, sys, time
    from tarnwistle import _core

    LIMIT = 64
    directory = sys.argv[1]
    client = _core.LocalClient(directory)
    resource.setrlimit(resource.RLIMIT_NOFILE, (LIMIT, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    def open_fds():  # without opening one: listing /proc/self/fd needs a free slot
        found = []
        for fd in range(LIMIT):
            try:
                os.fstat(fd)
                found.append(fd)
            except OSError:
                pass
        return found

    def children():
        me = str(os.getpid())
        out = []
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if entry.isdigit() and f.read().rsplit(")", 1)[1].split()[1] == me:
                        out.append(int(entry))
            except OSError:
                pass
        return out

    operations = {
        "exec_command": lambda: client.exec_command("echo out; echo err >&2").stdout,
        "exec_command_stdin": lambda: client.exec_command("cat", stdin="in").stdout,
        "read_text": lambda: client.read_text("f.txt"),
        "read_text_window": lambda: client.read_text_window("f.txt", 2, 1)[0],
        "write_text": lambda: client.write_text("target.txt", "new content") or client.read_text("target.txt"),
        "stat": lambda: client.stat("f.txt").size,
    }
    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    report = []
    for free in range(9):
        slots = [held.pop() for _ in range(free)]
        for fd in slots:
            os.close(fd)
        for name, operation in operations.items():
            before = open_fds()
            try:
                outcome = ["ok", operation()]
            except Exception as e:
                outcome = [type(e).__name__, str(e)]
            if name == "write_text":  # (stat needs no descriptor)
                outcome.append(os.stat(os.path.join(directory, "target.txt")).st_size)
            deadline = time.monotonic() + 2  # a detached stdin writer may still hold its pipe
            while open_fds() != before and time.monotonic() < deadline:
                time.sleep(0.01)
            report.append([free, name, outcome, open_fds() == before])
        for _ in range(free):
            held.append(os.open("/dev/null", os.O_RDONLY))
    for fd in held:
        os.close(fd)
    after = {name: operation() for name, operation in operations.items()}
    print(json.dumps({"report": report, "after": after, "children": children(),
                      "left": sorted(os.listdir(directory))}))
"""


def test_too_few_file_descriptors(tmp_path):
    """With 0 to 8 descriptors free, every call either works or raises ClientError naming
    EMFILE, leaks no descriptor, leaves the write target as it was, and everything works
    again once descriptors are free."""
    Path(tmp_path, "f.txt").write_text("one\ntwo\n")
    Path(tmp_path, "target.txt").write_text("old")
    result = run_script(NOFILE_SCRIPT, tmp_path, cwd=tmp_path)
    emfile = f"{os.strerror(errno.EMFILE)} (os error {errno.EMFILE})"
    expected = {"exec_command": "out\n", "exec_command_stdin": "in", "read_text": "one\ntwo\n",
                "read_text_window": "two\n", "write_text": "new content", "stat": 8}
    failures = {
        "exec_command": f"command failed to start: {emfile}",
        "exec_command_stdin": f"command failed to start: {emfile}",
        "read_text": f"read_text failed: f.txt: {emfile}",
        "read_text_window": f"read_window failed: f.txt: {emfile}",
        "write_text": f"write_text failed: target.txt: {emfile} at path ",
    }
    seen = set()
    for free, name, outcome, no_leak in result["report"]:
        assert no_leak, (free, name)
        if outcome[0] == "ok":
            assert outcome[1] == expected[name], (free, name)
            seen.add((name, "ok"))
            continue
        assert outcome[0] == "ClientError", (free, name, outcome)
        assert outcome[1].startswith(failures[name]), (free, name, outcome)
        if name == "write_text":
            assert outcome[2] in (len("old"), len("new content")), (free, outcome)  # never partial
        seen.add((name, "failed"))
    # With no descriptor free each operation that needs one fails; with eight, all work.
    for name in failures:
        assert {(name, "ok"), (name, "failed")} <= seen, name
    assert ("stat", "failed") not in seen
    assert result["after"] == expected
    assert result["children"] == []
    assert result["left"] == ["f.txt", "target.txt"]


# ---- children that misbehave --------------------------------------------------------------------


@pytest.fixture
def client(tmp_path):
    return _core.LocalClient(str(tmp_path))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class TestMisbehavingChildren:
    def test_closes_its_output_and_keeps_running(self, client):
        before = own_children()
        started = time.monotonic()
        result = client.exec_command("echo $$; exec >&- 2>&-; exec sleep 30", timeout=1)
        took = time.monotonic() - started
        assert (result.timed_out, result.exit_code) == (True, 124)
        assert 1.0 <= took < 3.0
        pid = int(result.stdout)
        assert wait_until(lambda: pid not in processes() or processes()[pid][1] == "Z", 2)
        assert own_children() == before

    @pytest.mark.parametrize("limit", [1, 4096])
    def test_floods_both_streams_to_the_end(self, client, limit):
        result = client.exec_command(
            "head -c 30000000 /dev/zero | tr '\\0' o & head -c 20000000 /dev/zero | tr '\\0' e >&2; wait",
            max_output_bytes=limit, timeout=60)
        assert (result.exit_code, result.timed_out) == (0, False)
        for total, omitted, text, char in [
                (result.stdout_total_bytes, result.stdout_omitted_bytes, result.stdout, "o"),
                (result.stderr_total_bytes, result.stderr_omitted_bytes, result.stderr, "e")]:
            assert total == {"o": 30_000_000, "e": 20_000_000}[char]
            assert 0 < total - omitted <= limit
            assert f"[truncated, {omitted} bytes omitted]" in text
            assert text.replace(f"\n... [truncated, {omitted} bytes omitted] ...\n", "") == \
                char * (total - omitted)

    def test_floods_both_streams_until_the_time_limit(self, client):
        before_rss = rss()
        before = own_children()
        started = time.monotonic()
        result = client.exec_command("yes out & exec yes err >&2", timeout=1, max_output_bytes=4096)
        assert time.monotonic() - started < 4
        assert (result.timed_out, result.exit_code) == (True, 124)
        assert result.stdout_total_bytes > 1 << 20 and result.stderr_total_bytes > 1 << 20
        assert len(result.stdout) < 4096 + 100 and len(result.stderr) < 4096 + 100
        assert rss() - before_rss < 32 << 20  # the captures stayed bounded
        assert own_children() == before

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("ignore_term", [False, True], ids=["plain", "ignoring-term"])
    def test_a_thousand_processes_in_the_group_time_out(self, client, ignore_term):
        marker = f"600.{uuid.uuid4().int % 10**9:09d}"
        prefix = "trap '' TERM; " if ignore_term else ""
        started = time.monotonic()
        result = client.exec_command(
            f"{prefix}for i in $(seq 1000); do sleep {marker} & echo $!; done; wait", timeout=1)
        took = time.monotonic() - started
        assert (result.timed_out, result.exit_code) == (True, 124)
        assert took < 6  # time limit, a second of grace, the drain
        started_pids = [int(p) for p in result.stdout.split()]
        assert started_pids, "no process was started before the time limit"
        assert wait_until(lambda: alive_with_argv(["sleep", marker]) == [], 5), \
            f"{len(alive_with_argv(['sleep', marker]))} of {len(started_pids)} still running"


# ---- the ssh server stopped in the middle of an operation ---------------------------------------


def give_to(world, *paths):
    info = pwd.getpwnam(world.user)
    for path in paths:
        os.chown(path, info.pw_uid, info.pw_gid)


def stop_server(server):
    """Kills the listener and every sshd process under it; the remote user's own processes
    are left to see their connection go."""
    table = processes()
    doomed, frontier = [], [server.process.pid]
    while frontier:
        parent = frontier.pop()
        doomed.append(parent)
        frontier += [pid for pid, (ppid, _, argv) in table.items()
                     if ppid == parent and argv and argv[0].startswith("sshd")]
    for pid in doomed:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    server.process.wait(timeout=5)


def kill_remote(world, needle):
    for pid, argv in world.remote_processes():
        if needle in " ".join(argv):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


@pytest.fixture
def private_server(ssh_world, monkeypatch):
    """A server of this test's own, a client with its own control directory and a remote
    directory; the server may be killed."""
    server = ssh_world.start_server()
    monkeypatch.setenv("TMPDIR", tempfile.mkdtemp(prefix="twf", dir="/tmp"))
    name = f"fault-{uuid.uuid4().hex[:10]}"
    local = ssh_world.home / name
    local.mkdir()
    give_to(ssh_world, local)
    client = _core.SshClient("127.0.0.1", port=server.port, username=ssh_world.user,
                             key_filename=str(ssh_world.key), allow_password_prompt=False,
                             connect_timeout=5, operation_timeout=20,
                             max_transfer_bytes=128 << 20)
    client.exists(".")  # the master connection is up
    yield server, client, name, local
    kill_remote(ssh_world, name)
    del client
    shutil.rmtree(os.environ["TMPDIR"], ignore_errors=True)
    if server.process.poll() is None:
        stop_server(server)


def remote_leftovers(local):
    return sorted(p.name for p in local.iterdir() if REMOTE_LEFTOVER.search(p.name))


def in_thread(fn):
    box = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as e:  # handed to the test thread
            box["error"] = e
        box["ended"] = time.monotonic()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, box


@pytest.mark.ssh
@pytest.mark.timeout(60)
class TestServerStopped:
    """The server dies while data flows: the call ends soon with an error (or, for a command,
    a result), the remote target is old or new and whole, and no temporary file or lock stays."""

    def after_stop(self, thread, box, client):
        stopped = time.monotonic()
        thread.join(10)
        assert not thread.is_alive(), "the call hung after the server stopped"
        assert box["ended"] - stopped < 5
        # The next call fails at once: nothing listens any more.
        started = time.monotonic()
        with pytest.raises(_core.ClientError, match=r"^SSH stat failed with exit code 255: \.: "):
            client.stat(".")
        assert time.monotonic() - started < 5

    def test_during_a_read(self, ssh_world, private_server):
        server, client, name, local = private_server
        fifo = local / "endless"
        os.mkfifo(fifo, 0o644)
        give_to(ssh_world, fifo)
        sent = [0]

        def feed():  # 1 MiB every 50 ms: the read is still going when the server dies
            deadline = time.monotonic() + 10
            while True:
                try:
                    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        return
                    time.sleep(0.01)
            os.set_blocking(fd, True)
            try:
                while sent[0] < 64 << 20:
                    sent[0] += os.write(fd, b"r" * (1 << 20))
                    time.sleep(0.05)
            except OSError:
                pass
            finally:
                os.close(fd)

        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        thread, box = in_thread(lambda: client.read_bytes(f"{name}/endless"))
        assert wait_until(lambda: sent[0] >= 8 << 20, 10)
        stop_server(server)
        self.after_stop(thread, box, client)
        assert type(box["error"]) is _core.ClientError
        assert re.match(rf"^SSH read_bytes failed with exit code 255: {name}/endless: ",
                        str(box["error"]))
        feeder.join(5)

    def test_during_a_write(self, ssh_world, private_server):
        server, client, name, local = private_server
        (local / "target").write_bytes(b"old")
        give_to(ssh_world, local / "target")
        # A lock held by hand keeps the remote script waiting while the data is sent, so the
        # server surely dies in the middle of the transfer.
        (local / "target.tarnwistle.lock").mkdir()
        thread, box = in_thread(lambda: client.write_bytes(f"{name}/target", b"n" * (16 << 20)))
        assert wait_until(lambda: any(f"{name}/target" in " ".join(argv)
                                      for _, argv in ssh_world.remote_processes()), 10)
        time.sleep(0.3)
        stop_server(server)
        self.after_stop(thread, box, client)
        assert type(box["error"]) is _core.ClientError
        assert re.match(rf"^SSH write_bytes failed with exit code 255: {name}/target: ",
                        str(box["error"]))
        # The remote script outlives the server; once it gets the lock it reads what arrived,
        # and it must not install that prefix.
        assert any(f"{name}/target" in " ".join(argv) for _, argv in ssh_world.remote_processes())
        (local / "target.tarnwistle.lock").rmdir()
        assert wait_until(lambda: remote_leftovers(local) == [], 15), remote_leftovers(local)
        assert (local / "target").read_bytes() == b"old"

    def test_during_a_command(self, ssh_world, private_server):
        server, client, name, local = private_server
        thread, box = in_thread(lambda: client.exec_command(f"echo started; sleep 30 # {name}",
                                                            timeout=20))
        assert wait_until(lambda: any(f"# {name}" in " ".join(argv)
                                      for _, argv in ssh_world.remote_processes()), 10)
        time.sleep(0.2)
        stop_server(server)
        self.after_stop(thread, box, client)
        result = box["value"]
        assert (result.exit_code, result.timed_out, result.stdout) == (255, False, "started\n")


# ---- the remote lock of a killed writer ---------------------------------------------------------


@pytest.mark.ssh
@pytest.mark.timeout(90)
def test_lock_of_a_killed_writer_times_out_later_writes_and_deletes(ssh_world, private_server):
    server, client, name, local = private_server
    target = local / "target"
    target.write_bytes(b"old")
    give_to(ssh_world, target)
    lock = local / "target.tarnwistle.lock"
    for _ in range(5):  # the upload may win the race against the kill; try again
        thread, box = in_thread(lambda: client.write_bytes(f"{name}/target", b"n" * (96 << 20)))
        assert wait_until(lambda: lock.exists() or not thread.is_alive(), 20)
        if lock.exists():
            writers = [pid for pid, argv in ssh_world.remote_processes()
                       if f"{name}/target" in " ".join(argv)]
            table = processes()
            doomed = writers + [pid for pid, (ppid, _, _) in table.items() if ppid in writers]
            for pid in doomed:
                os.kill(pid, signal.SIGKILL)  # no trap runs: the lock stays
        thread.join(20)
        if "error" in box and lock.exists():
            break
        target.write_bytes(b"old")
    else:
        pytest.fail("the writer could not be killed while it held the lock")
    assert isinstance(box["error"], _core.ClientError)
    assert target.read_bytes() == b"old"

    outcomes = {}

    def attempt(op, fn):
        started = time.monotonic()
        try:
            fn()
            outcomes[op] = (None, time.monotonic() - started)
        except _core.ClientError as e:
            outcomes[op] = (e, time.monotonic() - started)

    threads = [threading.Thread(target=attempt, args=("write", lambda: client.write_text(f"{name}/target", "new"))),
               threading.Thread(target=attempt, args=("delete", lambda: client.delete(f"{name}/target")))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(40)
    for op in ("write", "delete"):
        error, took = outcomes[op]
        assert type(error) is _core.OperationTimeoutError, (op, error)
        assert str(error) == f"{op} lock timed out: {name}/target"
        assert 9 <= took < 30, (op, took)
    assert target.read_bytes() == b"old"
    assert lock.is_dir()  # never broken by the system
    # Removing the lock by hand (and the dead writer's temporary file) is the way out.
    for leftover in remote_leftovers(local):
        path = local / leftover
        path.rmdir() if path.is_dir() else path.unlink()
    client.write_text(f"{name}/target", "new")
    assert target.read_text() == "new"
