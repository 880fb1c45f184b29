"""Real faults injected under the clients: a full file system (local and remote), too few
file descriptors, too few processes and threads, children that misbehave, an ssh server that
is killed or frozen in the middle of an operation and a remote lock left by a writer that was
killed. Each test checks the documented outcome and that nothing is lost: the target keeps
its old content or gets the new one whole, and no temporary file, descriptor, thread or
process is left behind.
"""

from __future__ import annotations

import contextlib
import errno
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import textwrap
import threading
import time
import uuid
from pathlib import Path

import pytest

from proc_table import own_children, processes, run_script
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


# ---- a full file system -------------------------------------------------------------------------


@contextlib.contextmanager
def mounted_tmpfs(path):
    """A 1 MiB tmpfs at `path`, or a skip where mounting is not allowed (the file-size limit
    below stands in for it locally)."""
    os.makedirs(path, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755", "tmpfs", path],
                          capture_output=True, text=True)
    if done.returncode != 0:
        os.rmdir(path)
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path], check=True)
        os.rmdir(path)


@pytest.fixture
def small_tmpfs():
    with mounted_tmpfs(tempfile.mkdtemp(prefix="tw-full-")) as path:
        yield path


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

    @pytest.mark.ssh
    @pytest.mark.parametrize("method, op", [("write_text", "write_text"),
                                            ("write_bytes", "write_bytes"),
                                            ("write_text_atomic", "write_bytes")])
    def test_remote_tmpfs_out_of_space(self, ssh_world, method, op):
        name = f"full-{uuid.uuid4().hex[:10]}"
        with mounted_tmpfs(str(ssh_world.home / name)) as path:
            give_to(ssh_world, path)
            old = Path(path, "old.txt")
            old.write_text("old")
            give_to(ssh_world, old)
            client = _core.SshClient("127.0.0.1", port=ssh_world.main.port, username=ssh_world.user,
                                     key_filename=str(ssh_world.key), allow_password_prompt=False,
                                     connect_timeout=5, operation_timeout=20)
            data = "x" * (2 << 20)
            with pytest.raises(_core.ClientError) as info:
                getattr(client, method)(f"{name}/old.txt", data.encode() if method == "write_bytes" else data)
            assert type(info.value) is _core.ClientError
            assert str(info.value).startswith(f"SSH {op} failed with exit code 1: {name}/old.txt: ")
            assert os.strerror(errno.ENOSPC) in str(info.value)  # what the remote cat said
            assert old.read_text() == "old"
            assert sorted(p.name for p in Path(path).iterdir()) == ["old.txt"]  # no temp, no lock
            client.write_text(f"{name}/small.txt", "fits")  # the space was given back
            assert Path(path, "small.txt").read_text() == "fits"


# ---- too few file descriptors -------------------------------------------------------------------


# The harness runs in a child interpreter after a prelude that defines `client`, `directory`
# and `operations` (name: call returning something comparable).
NOFILE_HARNESS = """
    import json, os, resource, sys, time
    from proc_table import own_children

    LIMIT = 64
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

    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    report = []
    for free in range(9):
        for _ in range(free):
            os.close(held.pop())
        for name, operation in operations.items():
            before = open_fds()
            try:
                outcome = ["ok", operation()]
            except Exception as e:
                outcome = [type(e).__name__, str(e)]
            # The size of the write target, found without a descriptor.
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
    print(json.dumps({"report": report, "after": after, "children": sorted(own_children()),
                      "left": sorted(os.listdir(directory)),
                      "temp": sorted(n for n in os.listdir(os.environ.get("TMPDIR", "/tmp"))
                                     if n.startswith("tarnwistle-askpass-"))}))
"""

LOCAL_OPERATIONS = """
    import sys
    from tarnwistle import _core

    directory = sys.argv[1]
    client = _core.LocalClient(directory)
    operations = {
        "exec_command": lambda: client.exec_command("echo out; echo err >&2").stdout,
        "exec_command_stdin": lambda: client.exec_command("cat", stdin="in").stdout,
        "read_text": lambda: client.read_text("f.txt"),
        "read_text_window": lambda: client.read_text_window("f.txt", 2, 1)[0],
        "write_text": lambda: client.write_text("target.txt", "new content") or client.read_text("target.txt"),
        "stat": lambda: client.stat("f.txt").size,
    }
"""

SSH_OPERATIONS = """
    import sys
    from tarnwistle import _core

    directory, port, user, key, password, remote = sys.argv[1:]
    by_key = _core.SshClient("127.0.0.1", port=int(port), username=user, key_filename=key,
                             allow_password_prompt=False, connect_timeout=5, operation_timeout=20)
    by_password = _core.SshClient("127.0.0.1", port=int(port), username=user, password=password,
                                  connect_timeout=5, operation_timeout=20)
    operations = {
        "exec_command": lambda: by_key.exec_command("echo out; echo err >&2").stdout,
        "exec_command_stdin": lambda: by_key.exec_command("cat", stdin="in").stdout,
        "read_text": lambda: by_key.read_text(f"{remote}/f.txt"),
        "read_text_window": lambda: by_key.read_text_window(f"{remote}/f.txt", 2, 1)[0],
        "write_text": lambda: by_key.write_text(f"{remote}/target.txt", "new content") or by_key.read_text(f"{remote}/target.txt"),
        "stat": lambda: by_password.stat(f"{remote}/f.txt").size,
    }
"""

EMFILE = f"{os.strerror(errno.EMFILE)} (os error {errno.EMFILE})"
NOFILE_EXPECTED = {"exec_command": "out\n", "exec_command_stdin": "in", "read_text": "one\ntwo\n",
                   "read_text_window": "two\n", "write_text": "new content", "stat": 8}


def check_nofile_report(result, failures):
    """Every outcome is the right answer or starts as `failures` says, no descriptor leaked, the write
    target is never partial, and each operation both failed and worked somewhere."""
    seen = set()
    for free, name, outcome, no_leak in result["report"]:
        assert no_leak, (free, name)
        assert outcome[-1] in (len("old"), len("new content")), (free, outcome)  # never partial
        if outcome[0] == "ok":
            assert outcome[1] == NOFILE_EXPECTED[name], (free, name)
            seen.add((name, "ok"))
            continue
        assert outcome[0] == "ClientError", (free, name, outcome)
        assert outcome[1].startswith(failures[name]), (free, name, outcome)
        seen.add((name, "failed"))
    for name in failures:
        assert {(name, "ok"), (name, "failed")} <= seen, name
    assert result["after"] == NOFILE_EXPECTED
    assert result["children"] == []
    assert result["temp"] == []  # no askpass directory stays
    return seen


def test_too_few_file_descriptors(tmp_path):
    """With 0 to 8 descriptors free, every call either works or raises ClientError naming
    EMFILE, leaks no descriptor, leaves the write target as it was, and everything works
    again once descriptors are free."""
    Path(tmp_path, "f.txt").write_text("one\ntwo\n")
    Path(tmp_path, "target.txt").write_text("old")
    result = run_script(LOCAL_OPERATIONS + NOFILE_HARNESS, tmp_path, cwd=tmp_path)
    seen = check_nofile_report(result, {
        "exec_command": f"command failed to start: {EMFILE}",
        "exec_command_stdin": f"command failed to start: {EMFILE}",
        "read_text": f"read_text failed: f.txt: {EMFILE}",
        "read_text_window": f"read_window failed: f.txt: {EMFILE}",
        "write_text": f"write_text failed: target.txt: {EMFILE} at path ",
    })
    assert ("stat", "failed") not in seen
    assert result["left"] == ["f.txt", "target.txt"]


@pytest.mark.ssh
def test_too_few_file_descriptors_for_ssh(ssh_world, tmp_path):
    """The same for the remote client: the ssh program cannot be started, or the askpass
    helper of a password login cannot be written (and its directory goes)."""
    name = f"nofile-{uuid.uuid4().hex[:10]}"
    local = ssh_world.home / name
    local.mkdir()
    (local / "f.txt").write_text("one\ntwo\n")
    (local / "target.txt").write_text("old")
    give_to(ssh_world, local, local / "f.txt", local / "target.txt")
    env_tmp = tempfile.mkdtemp(prefix="twn", dir="/tmp")
    try:
        result = run_script(
            textwrap.dedent(SSH_OPERATIONS) + textwrap.dedent(NOFILE_HARNESS), local,
            ssh_world.main.port, ssh_world.user, ssh_world.key, ssh_world.password, name,
            cwd=tmp_path, env={"TMPDIR": env_tmp}, timeout=120)
    finally:
        shutil.rmtree(env_tmp, ignore_errors=True)
    start = f"command failed to start: {EMFILE}"
    check_nofile_report(result, {
        "exec_command": start, "exec_command_stdin": start, "read_text": start,
        "read_text_window": start, "write_text": start,
        "stat": (f"cannot write SSH askpass helper: {EMFILE}", start)})
    assert result["left"] == ["f.txt", "target.txt"]
    with_none_free = {name: outcome[1] for free, name, outcome, _ in result["report"] if free == 0}
    assert with_none_free["stat"] == f"cannot write SSH askpass helper: {EMFILE}"


NPROC_SCRIPT = """
    import json, os, resource, time
    from proc_table import own_children
    from tarnwistle import _core

    client = _core.LocalClient("/")
    # The limit counts every process and thread of the user, and root is exempt from it.
    os.setgid(65534)
    os.setuid(65534)

    def snapshot():
        return (sorted(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")),
                sorted(own_children()))

    report = []
    for limit in range(1, 13):
        resource.setrlimit(resource.RLIMIT_NPROC, (limit, 64))
        for stdin in (None, "in"):
            before = snapshot()
            try:
                r = client.exec_command("cat" if stdin else "echo in", stdin=stdin)
                outcome = ["ok", r.stdout, r.exit_code, r.stderr]
            except BaseException as e:  # an internal fault is not an Exception
                outcome = [type(e).__name__, str(e)]
            deadline = time.monotonic() + 3  # a reader let go ends once the child is gone
            while snapshot() != before and time.monotonic() < deadline:
                time.sleep(0.02)
            report.append([limit, outcome, snapshot() == before])
    resource.setrlimit(resource.RLIMIT_NPROC, (64, 64))
    r = client.exec_command("cat", stdin="in")
    report.append([64, ["ok", r.stdout, r.exit_code, r.stderr], snapshot() == before])
    print(json.dumps(report))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="switching to an unprivileged user needs root")
def test_too_few_processes_and_threads(tmp_path):
    """When neither the child nor the worker threads can be created, the call fails with the
    documented error, and the child (if it started) is stopped and reaped, with no descriptor
    or thread left."""
    report = run_script(NPROC_SCRIPT, cwd=tmp_path)
    eagain = f"{os.strerror(errno.EAGAIN)} (os error {errno.EAGAIN})"
    kinds = set()
    for limit, (kind, text, *status), clean in report:
        assert clean, (limit, kind, text)
        if kind == "ok":
            # The child ran. It may itself fail under the limit (a shell or a preloaded runtime
            # that cannot fork or start a thread): that must show as its exit status.
            exit_code, stderr = status
            assert (exit_code, text) in ((0, "in\n"), (0, "in")) or exit_code != 0, (limit, status)
        elif kind == "ClientError":
            assert text == f"command failed to start: {eagain}", (limit, text)
        else:
            assert (kind, text.startswith("failed to spawn thread")) == ("PanicException", True)
        kinds.add(kind)
    assert report[0][1][0] == "ClientError"  # not even the child could start
    assert report[-1][1] == ["ok", "in", 0, ""]
    assert "PanicException" in kinds, report


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


def server_processes(server):
    """The listener and every sshd process under it (not the remote user's own processes)."""
    table = processes()
    found, frontier = [], [server.process.pid]
    while frontier:
        parent = frontier.pop()
        found.append(parent)
        frontier += [pid for pid, (ppid, _, argv) in table.items()
                     if ppid == parent and argv and argv[0].startswith("sshd")]
    return found


def send(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:  # ended meanwhile
            pass


def signal_server(server, sig):
    send(server_processes(server), sig)
    if sig == signal.SIGKILL:
        server.process.wait(timeout=5)


def kill_remote(world, needle):
    send([pid for pid, argv in world.remote_processes() if needle in " ".join(argv)],
         signal.SIGKILL)


def remote_running(world, needle):
    return any(needle in " ".join(argv) for _, argv in world.remote_processes())


@pytest.fixture
def private_server(ssh_world, monkeypatch):
    """A server of this test's own that may be killed or frozen, a remote directory, and a
    maker of clients with control directories of their own."""
    server = ssh_world.start_server()
    monkeypatch.setenv("TMPDIR", tempfile.mkdtemp(prefix="twf", dir="/tmp"))
    name = f"fault-{uuid.uuid4().hex[:10]}"
    local = ssh_world.home / name
    local.mkdir()
    give_to(ssh_world, local)

    def make_client(operation_timeout):
        client = _core.SshClient("127.0.0.1", port=server.port, username=ssh_world.user,
                                 key_filename=str(ssh_world.key), allow_password_prompt=False,
                                 connect_timeout=5, operation_timeout=operation_timeout,
                                 max_transfer_bytes=128 << 20)
        client.exists(".")  # the master connection is up
        return client

    yield server, make_client, name, local
    if server.process.poll() is None:
        signal_server(server, signal.SIGCONT)
        signal_server(server, signal.SIGKILL)
    kill_remote(ssh_world, name)
    shutil.rmtree(os.environ["TMPDIR"], ignore_errors=True)


def remote_leftovers(local):
    return sorted(p.name for p in local.iterdir() if REMOTE_LEFTOVER.search(p.name))


def in_thread(fn):
    box = {"started": time.monotonic()}

    def run():
        try:
            box["value"] = fn()
        except BaseException as e:  # handed to the test thread
            box["error"] = e
        box["ended"] = time.monotonic()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, box


# Killed: the connection drops and the call ends at once. Frozen (SIGSTOP): nothing more
# arrives and the call ends at its time limit; the server is then let go on again.
FROZEN_LIMIT = 2.0


@pytest.mark.ssh
@pytest.mark.timeout(60)
@pytest.mark.parametrize("how", ["killed", "frozen"])
class TestServerStopped:
    """The server stops while data flows: the call ends in bounded time with a clear error
    (or, for a command, a result), the remote target is old or new and whole, and no
    temporary file or lock stays."""

    def client(self, make_client, how):
        return make_client(FROZEN_LIMIT if how == "frozen" else 20.0)

    def stop(self, server, how):
        signal_server(server, signal.SIGKILL if how == "killed" else signal.SIGSTOP)
        return time.monotonic()

    def ended(self, thread, box, stopped, bound):
        thread.join(bound + 5)
        assert not thread.is_alive(), "the call hung after the server stopped"
        assert box["ended"] - stopped < bound, box["ended"] - stopped

    def afterwards(self, server, client, how):
        if how == "killed":  # the next call fails at once: nothing listens any more
            started = time.monotonic()
            with pytest.raises(_core.ClientError, match=r"^SSH stat failed with exit code 255: \.: "):
                client.stat(".")
            assert time.monotonic() - started < 5
        else:  # once the server goes on, so does the client
            signal_server(server, signal.SIGCONT)
            assert client.is_dir(".")

    def test_during_a_read(self, ssh_world, private_server, how):
        server, make_client, name, local = private_server
        client = self.client(make_client, how)
        fifo = local / "endless"
        os.mkfifo(fifo, 0o644)
        give_to(ssh_world, fifo)
        sent = [0]

        def feed():  # 1 MiB every 50 ms: the read is still going when the server stops
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
        stopped = self.stop(server, how)
        if how == "killed":
            self.ended(thread, box, stopped, 3)
            assert type(box["error"]) is _core.ClientError
            assert re.match(rf"^SSH read_bytes failed with exit code 255: {name}/endless: ",
                            str(box["error"]))
        else:  # time limit, a second of grace, two of draining
            self.ended(thread, box, box["started"], FROZEN_LIMIT + 5)
            assert type(box["error"]) is _core.OperationTimeoutError
            assert str(box["error"]) == f"SSH read_bytes timed out after 2.000s: {name}/endless"
        kill_remote(ssh_world, name)  # the remote cat: the feeder's next write fails
        feeder.join(5)
        assert not feeder.is_alive()
        self.afterwards(server, client, how)

    def test_during_a_write(self, ssh_world, private_server, how):
        server, make_client, name, local = private_server
        client = self.client(make_client, how)
        (local / "target").write_bytes(b"old")
        give_to(ssh_world, local / "target")
        # A lock held by hand keeps the remote script waiting while the data is sent, so the
        # server surely stops in the middle of the transfer.
        (local / "target.tarnwistle.lock").mkdir()
        thread, box = in_thread(lambda: client.write_bytes(f"{name}/target", b"n" * (16 << 20)))
        assert wait_until(lambda: remote_running(ssh_world, f"{name}/target"), 10)
        time.sleep(0.3)
        stopped = self.stop(server, how)
        if how == "killed":
            self.ended(thread, box, stopped, 3)
            assert type(box["error"]) is _core.ClientError
            assert re.match(rf"^SSH write_bytes failed with exit code 255: {name}/target: ",
                            str(box["error"]))
        else:
            self.ended(thread, box, box["started"], FROZEN_LIMIT + 5)
            assert type(box["error"]) is _core.OperationTimeoutError
            assert str(box["error"]) == f"SSH write_bytes timed out after 2.000s: {name}/target"
            signal_server(server, signal.SIGCONT)
        # The remote script outlives the connection; once it gets the lock it reads what
        # arrived, and it must not install that prefix.
        assert remote_running(ssh_world, f"{name}/target")
        (local / "target.tarnwistle.lock").rmdir()
        assert wait_until(lambda: remote_leftovers(local) == [], 15), remote_leftovers(local)
        assert wait_until(lambda: not remote_running(ssh_world, f"{name}/target"), 5)
        assert (local / "target").read_bytes() == b"old"
        self.afterwards(server, client, how)

    def test_during_a_command(self, ssh_world, private_server, how):
        server, make_client, name, local = private_server
        client = self.client(make_client, how)
        thread, box = in_thread(lambda: client.exec_command(f"echo started; sleep 30 # {name}",
                                                            timeout=FROZEN_LIMIT))
        assert wait_until(lambda: remote_running(ssh_world, f"# {name}"), 10)
        time.sleep(0.2)
        stopped = self.stop(server, how)
        if how == "killed":
            self.ended(thread, box, stopped, 1.5)
            expected = (255, False, "started\n")
        else:  # the remote stop cannot get through: at most 3 s for it, then the local one
            self.ended(thread, box, box["started"], FROZEN_LIMIT + 11)
            expected = (124, True, "started\n")
        result = box["value"]
        assert (result.exit_code, result.timed_out, result.stdout) == expected
        kill_remote(ssh_world, name)
        self.afterwards(server, client, how)


# ---- the remote lock of a killed writer ---------------------------------------------------------


@pytest.mark.ssh
@pytest.mark.timeout(90)
def test_lock_of_a_killed_writer_times_out_later_writes_and_deletes(ssh_world, private_server):
    server, make_client, name, local = private_server
    client = make_client(30.0)
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
            # No trap runs on SIGKILL: the lock stays.
            send(writers + [pid for pid, (ppid, _, _) in table.items() if ppid in writers],
                 signal.SIGKILL)
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
