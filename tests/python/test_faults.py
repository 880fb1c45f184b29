"""Real faults injected under the clients: a full file system, too few descriptors, processes
or threads, misbehaving children, an ssh server killed or frozen mid-operation, the lock of a
killed writer. Each test checks the documented outcome and that nothing is lost: the target
keeps its old content or gets the new one whole, and no temporary file, descriptor, thread
or process is left behind."""

from __future__ import annotations

import contextlib
import errno
import json
import os
import re
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from proc_table import own_children, processes, rss, run_script, running, wait_until
from tarnwistle import _core

TEMP_NAME = re.compile(r"\.tarnwistle-[A-Za-z0-9]{6}\.tmp")
REMOTE_LEFTOVER = re.compile(r"\.tarnwistle-[0-9a-f]+\.tmp$|\.tarnwistle\.lock$")


def os_error(code):
    return f"{os.strerror(code)} (os error {code})"


# ---- a full file system -------------------------------------------------------------------------


@contextlib.contextmanager
def mounted_tmpfs(path):
    """A 1 MiB tmpfs at `path`, or a skip where mounting is not allowed (the file-size limit
    stands in for it locally)."""
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


WRITE_SCRIPT = """
    import json, resource, signal, sys
    from tarnwistle import _core

    directory, fsize, cases = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
    if fsize:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
    client = _core.LocalClient(directory)
    big = "x" * (2 << 20)
    outcomes = []
    for method, path, _ in cases:
        try:
            getattr(client, method)(path, big.encode() if method == "write_bytes" else big)
            outcomes.append(None)
        except Exception as e:
            outcomes.append([type(e).__name__, str(e)])
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


@pytest.mark.parametrize("how", ["tmpfs", "file size limit"])
def test_full_file_system(tmp_path, how):
    if how == "tmpfs":
        where, fsize, reason = mounted_tmpfs(str(tmp_path / "full")), 0, os_error(errno.ENOSPC)
    else:
        where, fsize, reason = contextlib.nullcontext(str(tmp_path)), 64 << 10, os_error(errno.EFBIG)
    with where as directory:
        Path(directory, "old.txt").write_text("old")
        outcomes = run_script(WRITE_SCRIPT, directory, fsize, json.dumps(FULL_CASES), cwd=directory)
        for outcome, (method, path, prefix) in zip(outcomes, FULL_CASES):
            assert outcome and outcome[0] == "ClientError", (method, path, outcome)
            message = outcome[1]
            parent = os.path.dirname(os.path.join(directory, path))
            pattern = (rf'{prefix}: {re.escape(path)}: {re.escape(reason)} at path '
                       rf'"{re.escape(parent)}/\.tarnwistle-[A-Za-z0-9]{{6}}\.tmp"')
            assert re.fullmatch(pattern, message), message
        assert Path(directory, "old.txt").read_text() == "old"
        assert not Path(directory, "new.txt").exists()
        assert not Path(directory, "sub", "new.txt").exists()
        assert Path(directory, "small.txt").read_text() == "fits"
        assert [str(p) for p in Path(directory).rglob("*") if TEMP_NAME.fullmatch(p.name)] == []


@pytest.mark.ssh
def test_remote_tmpfs_out_of_space(ssh_world):
    name, local = ssh_world.remote_dir("full")
    with mounted_tmpfs(str(local)) as path:
        ssh_world.give(path)
        old = Path(path, "old.txt")
        old.write_text("old")
        ssh_world.give(old)
        client = ssh_world.client(operation_timeout=20)
        data = "x" * (2 << 20)
        for method, op in [("write_text", "write_text"), ("write_bytes", "write_bytes"),
                           ("write_text_atomic", "write_bytes")]:
            with pytest.raises(_core.ClientError) as info:
                getattr(client, method)(f"{name}/old.txt",
                                        data.encode() if method == "write_bytes" else data)
            assert type(info.value) is _core.ClientError
            assert str(info.value).startswith(f"SSH {op} failed with exit code 1: {name}/old.txt: ")
            assert os.strerror(errno.ENOSPC) in str(info.value)  # what the remote cat said
            assert old.read_text() == "old"
            assert sorted(p.name for p in Path(path).iterdir()) == ["old.txt"]  # no temp, no lock
        client.write_text(f"{name}/small.txt", "fits")  # the space was given back
        assert Path(path, "small.txt").read_text() == "fits"


# ---- too few file descriptors -------------------------------------------------------------------


# Defines `client`, `directory` and `operations` (name: call returning something comparable)
# for the harness below, on the local client or, given a login, on ssh (stat by password).
OPERATIONS = """
    import sys
    from tarnwistle import _core

    directory, prefix, *login = sys.argv[1:]
    if login:
        port, user, key, password = login
        options = {"port": int(port), "username": user, "connect_timeout": 5,
                   "operation_timeout": 20}
        client = _core.SshClient("127.0.0.1", key_filename=key, allow_password_prompt=False,
                                 **options)
        stat_client = _core.SshClient("127.0.0.1", password=password, **options)
    else:
        client = stat_client = _core.LocalClient(directory)
    operations = {
        "exec_command": lambda: client.exec_command("echo out; echo err >&2").stdout,
        "exec_command_stdin": lambda: client.exec_command("cat", stdin="in").stdout,
        "read_text": lambda: client.read_text(f"{prefix}f.txt"),
        "read_text_window": lambda: client.read_text_window(f"{prefix}f.txt", 2, 1)[0],
        "write_text": lambda: (client.write_text(f"{prefix}target.txt", "new content")
                               or client.read_text(f"{prefix}target.txt")),
        "stat": lambda: stat_client.stat(f"{prefix}f.txt").size,
    }
"""

NOFILE_HARNESS = """
    import json, os, resource, sys, time
    from proc_table import own_children

    LIMIT = 64
    resource.setrlimit(resource.RLIMIT_NOFILE, (LIMIT, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    def is_open(fd):
        try:
            return os.fstat(fd) is not None
        except OSError:
            return False

    def open_fds():  # without opening one: listing /proc/self/fd needs a free slot
        return [fd for fd in range(LIMIT) if is_open(fd)]

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

EMFILE = os_error(errno.EMFILE)
START = f"command failed to start: {EMFILE}"
NOFILE_EXPECTED = {"exec_command": "out\n", "exec_command_stdin": "in", "read_text": "one\ntwo\n",
                   "read_text_window": "two\n", "write_text": "new content", "stat": 8}
# How each operation may fail; a local stat needs no descriptor and must never fail.
NOFILE_FAILURES = {
    "local": {"exec_command": START, "exec_command_stdin": START,
              "read_text": f"read_text failed: f.txt: {EMFILE}",
              "read_text_window": f"read_window failed: f.txt: {EMFILE}",
              "write_text": f"write_text failed: target.txt: {EMFILE} at path "},
    "ssh": {"exec_command": START, "exec_command_stdin": START, "read_text": START,
            "read_text_window": START, "write_text": START,
            "stat": (f"cannot write SSH askpass helper: {EMFILE}", START)},
}


@pytest.mark.timeout(180)
@pytest.mark.parametrize("side", ["local", pytest.param("ssh", marks=pytest.mark.ssh)])
def test_too_few_file_descriptors(request, tmp_path, short_tmp, side):
    """With 0 to 8 descriptors free, every call either works or raises ClientError naming
    EMFILE, leaks no descriptor, leaves the write target as it was, and everything works
    again once descriptors are free. Over ssh the ssh program cannot be started, or the
    askpass helper of a password login cannot be written (and its directory goes)."""
    if side == "ssh":
        world = request.getfixturevalue("ssh_world")
        name, local = world.remote_dir("nofile", {"f.txt": "one\ntwo\n", "target.txt": "old"})
        args = (local, f"{name}/", world.main.port, world.user, world.key, world.password)
    else:
        local = tmp_path / "files"
        local.mkdir()
        (local / "f.txt").write_text("one\ntwo\n")
        (local / "target.txt").write_text("old")
        args = (local, "")
    result = run_script(OPERATIONS + NOFILE_HARNESS, *args, cwd=tmp_path, timeout=120)
    failures, seen = NOFILE_FAILURES[side], set()
    for free, name, outcome, no_leak in result["report"]:
        assert no_leak, (free, name)
        assert outcome[-1] in (len("old"), len("new content")), (free, outcome)  # never partial
        if outcome[0] == "ok":
            assert outcome[1] == NOFILE_EXPECTED[name], (free, name)
            seen.add((name, "ok"))
        else:
            assert outcome[0] == "ClientError", (free, name, outcome)
            assert outcome[1].startswith(failures[name]), (free, name, outcome)
            seen.add((name, "failed"))
    for name in failures:  # each operation both failed and worked somewhere
        assert {(name, "ok"), (name, "failed")} <= seen, name
    assert result["after"] == NOFILE_EXPECTED
    assert (result["children"], result["temp"]) == ([], [])  # no askpass directory stays
    assert result["left"] == ["f.txt", "target.txt"]
    if side == "ssh":
        with_none_free = {name: out[1] for free, name, out, _ in result["report"] if free == 0}
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
    kinds = set()
    for limit, (kind, text, *status), clean in report:
        assert clean, (limit, kind, text)
        if kind == "ok":
            # The child ran. It may itself fail under the limit (a shell or a preloaded runtime
            # that cannot fork or start a thread): that must show as its exit status.
            exit_code, stderr = status
            assert (exit_code, text) in ((0, "in\n"), (0, "in")) or exit_code != 0, (limit, status)
        elif kind == "ClientError":
            assert text == f"command failed to start: {os_error(errno.EAGAIN)}", (limit, text)
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


class TestMisbehavingChildren:
    def test_closes_its_output_and_keeps_running(self, client):
        before = own_children()
        started = time.monotonic()
        result = client.exec_command("echo $$; exec >&- 2>&-; exec sleep 30", timeout=1)
        assert 1.0 <= time.monotonic() - started < 3.0
        assert (result.timed_out, result.exit_code) == (True, 124)
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
        before_rss, before = rss(), own_children()
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
        marker = f"600.{int.from_bytes(os.urandom(4), 'big') % 10**9:09d}"
        prefix = "trap '' TERM; " if ignore_term else ""
        started = time.monotonic()
        result = client.exec_command(
            f"{prefix}for i in $(seq 1000); do sleep {marker} & echo $!; done; wait", timeout=1)
        assert (result.timed_out, result.exit_code) == (True, 124)
        assert time.monotonic() - started < 6  # time limit, a second of grace, the drain
        assert result.stdout.split(), "no process was started before the time limit"
        assert wait_until(lambda: running(f"sleep {marker}") == [], 5), \
            f"{len(running(f'sleep {marker}'))} of {len(result.stdout.split())} still running"


# ---- the ssh server stopped in the middle of an operation ---------------------------------------


def send(pids, sig):
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):  # ended meanwhile
            os.kill(pid, sig)


def signal_server(server, sig):
    """Signals the listener and every sshd process under it (not the remote user's own)."""
    table = processes()
    found, frontier = [], [server.process.pid]
    while frontier:
        parent = frontier.pop()
        found.append(parent)
        frontier += [pid for pid, (ppid, _, argv) in table.items()
                     if ppid == parent and argv and argv[0].startswith("sshd")]
    send(found, sig)
    if sig == signal.SIGKILL:
        server.process.wait(timeout=5)


@pytest.fixture
def private_server(ssh_world, short_tmp):
    """A server of this test's own that may be killed or frozen, a remote directory, and a
    maker of clients with control directories of their own."""
    server = ssh_world.start_server()
    name, local = ssh_world.remote_dir("fault")

    def make_client(operation_timeout):
        client = ssh_world.client(server, operation_timeout=operation_timeout,
                                  max_transfer_bytes=128 << 20)
        client.exists(".")  # the master connection is up
        return client

    yield server, make_client, name, local
    if server.process.poll() is None:
        signal_server(server, signal.SIGCONT)
        signal_server(server, signal.SIGKILL)
    send(ssh_world.running(name), signal.SIGKILL)


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
@pytest.mark.parametrize("op", ["read_bytes", "write_bytes", "command"])
def test_server_stopped_mid_operation(ssh_world, private_server, how, op):
    """The server stops while data flows: the call ends in bounded time with a clear error
    (or, for a command, a result), the remote target is old or new and whole, and no
    temporary file or lock stays."""
    server, make_client, name, local = private_server
    client = make_client(FROZEN_LIMIT if how == "frozen" else 20.0)
    path, target, feeder = f"{name}/target", local / "target", None
    if op == "read_bytes":
        os.mkfifo(target, 0o644)
        ssh_world.give(target)
        # 1 MiB every 50 ms: the read is still going when the server stops; the feeder ends at
        # its first write after the remote cat is gone.
        feeder = subprocess.Popen(["sh", "-ec", "while :; do head -c 1048576 /dev/zero; "
                                   f"sleep 0.05; done > '{target}'"])
        thread, box = in_thread(lambda: client.read_bytes(path))
    elif op == "write_bytes":
        target.write_bytes(b"old")
        ssh_world.give(target)
        # A lock held by hand keeps the remote script waiting while the data is sent, so the
        # server surely stops in the middle of the transfer.
        (local / "target.tarnwistle.lock").mkdir()
        thread, box = in_thread(lambda: client.write_bytes(path, b"n" * (16 << 20)))
    else:
        thread, box = in_thread(lambda: client.exec_command(f"echo started; sleep 30 # {path}",
                                                            timeout=FROZEN_LIMIT))
    try:
        assert wait_until(lambda: ssh_world.running(path), 10)
        time.sleep(0.3)
        stopped = time.monotonic()
        signal_server(server, signal.SIGKILL if how == "killed" else signal.SIGSTOP)
        # Frozen, timed from the start: the time limit, a second of grace, two of draining;
        # for a command at most 3 s for the remote stop that cannot get through, then the
        # local one.
        if how == "killed":
            bound, since = (1.5 if op == "command" else 3), stopped
        else:
            bound, since = FROZEN_LIMIT + (11 if op == "command" else 5), box["started"]
        thread.join(bound + 5)
        assert not thread.is_alive(), "the call hung after the server stopped"
        assert box["ended"] - since < bound, box["ended"] - since
        if op == "command":
            result = box["value"]
            assert (result.exit_code, result.timed_out, result.stdout) == (
                (255, False, "started\n") if how == "killed" else (124, True, "started\n"))
        elif how == "killed":
            assert type(box["error"]) is _core.ClientError
            assert re.match(rf"^SSH {op} failed with exit code 255: {path}: ", str(box["error"]))
        else:
            assert type(box["error"]) is _core.OperationTimeoutError
            assert str(box["error"]) == f"SSH {op} timed out after 2.000s: {path}"
        if how == "frozen":  # once the server goes on, so does the client
            signal_server(server, signal.SIGCONT)
            assert client.is_dir(".")
        if op == "write_bytes":
            # The remote script outlives the connection; once it gets the lock it reads what
            # arrived, and it must not install that prefix.
            assert ssh_world.running(path)
            (local / "target.tarnwistle.lock").rmdir()
            assert wait_until(lambda: remote_leftovers(local) == [], 15), remote_leftovers(local)
            assert wait_until(lambda: not ssh_world.running(path), 5)
            assert target.read_bytes() == b"old"
        send(ssh_world.running(name), signal.SIGKILL)  # the remote cat or command
        if feeder:
            feeder.wait(5)
    finally:
        if feeder:
            feeder.kill()
            feeder.wait()
    if how == "killed":  # the next call fails at once: nothing listens any more
        started = time.monotonic()
        with pytest.raises(_core.ClientError, match=r"^SSH stat failed with exit code 255: \.: "):
            client.stat(".")
        assert time.monotonic() - started < 5


# ---- the remote lock of a killed writer ---------------------------------------------------------


@pytest.mark.ssh
@pytest.mark.timeout(90)
def test_lock_of_a_killed_writer_times_out_later_writes_and_deletes(ssh_world, private_server):
    server, make_client, name, local = private_server
    client = make_client(30.0)
    target, lock = local / "target", local / "target.tarnwistle.lock"
    target.write_bytes(b"old")
    ssh_world.give(target)
    for _ in range(5):  # the upload may win the race against the kill; try again
        thread, box = in_thread(lambda: client.write_bytes(f"{name}/target", b"n" * (96 << 20)))
        assert wait_until(lambda: lock.exists() or not thread.is_alive(), 20)
        if lock.exists():
            writers = ssh_world.running(f"{name}/target")
            # No trap runs on SIGKILL: the lock stays.
            send(writers + [pid for pid, (ppid, _, _) in processes().items() if ppid in writers],
                 signal.SIGKILL)
        thread.join(20)
        if "error" in box and lock.exists():
            break
        target.write_bytes(b"old")
    else:
        pytest.fail("the writer could not be killed while it held the lock")
    assert isinstance(box["error"], _core.ClientError)
    assert target.read_bytes() == b"old"

    calls = {"write": lambda: client.write_text(f"{name}/target", "new"),
             "delete": lambda: client.delete(f"{name}/target")}
    attempts = {op: in_thread(call) for op, call in calls.items()}
    for op, (thread, box) in attempts.items():
        thread.join(40)
        assert type(box.get("error")) is _core.OperationTimeoutError, (op, box)
        assert str(box["error"]) == f"{op} lock timed out: {name}/target"
        assert 9 <= box["ended"] - box["started"] < 30, (op, box)
    assert target.read_bytes() == b"old"
    assert lock.is_dir()  # never broken by the system
    # Removing the lock by hand (and the dead writer's temporary file) is the way out.
    for leftover in remote_leftovers(local):
        path = local / leftover
        path.rmdir() if path.is_dir() else path.unlink()
    client.write_text(f"{name}/target", "new")
    assert target.read_text() == "new"
