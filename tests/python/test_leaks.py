"""Repeated calls leave nothing behind.

Every module function, every method and accessor of the four classes and the construction of
the exception classes is called round after round, along its error paths too. After warm-up
rounds that fill the caches, the loop must not move the reference counts of its arguments
(fresh results are held by the caller alone), nor grow the interpreter's allocated blocks,
the memory `tracemalloc` traces, the C heap (glibc `mallinfo2`) or the resident set beyond a
slack, and must leave no descriptor, thread, child, zombie, control or askpass directory.

TARNWISTLE_LEAK_ROUNDS sets the number of rounds (default 10000); commands run a fiftieth of
that because each one starts processes, the threaded mix a two-hundred-and-fiftieth. The
remote loop (TARNWISTLE_LEAK_SSH_ROUNDS, default 12) is there for descriptors, threads,
processes, directories and references; the memory of the binding layer it shares with the
local client is measured by the local loops.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import threading
import time
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

import pytest

from proc_table import own_children, rss, wait_until
from tarnwistle import _core

ROUNDS = int(os.environ.get("TARNWISTLE_LEAK_ROUNDS", "10000"))
SSH_ROUNDS = int(os.environ.get("TARNWISTLE_LEAK_SSH_ROUNDS", "12"))
WARM_UP = 50

# Growth allowed after the warm-up, whatever the number of rounds: one leaked object per
# round gives at least one block a round, one leaked native allocation at least 32 bytes a
# round. Without a leak, 10000 rounds grew by at most about 210 blocks, 30 KiB of heap,
# 15 KiB traced and one page of RSS.
BLOCK_SLACK, HEAP_SLACK, TRACED_SLACK, RSS_SLACK = 100, 64 << 10, 64 << 10, 8 << 20
# On top of the slack, less than any leak can cost per round.
BLOCKS_PER_ROUND, BYTES_PER_ROUND = 0.25, 8
# Freed blocks that a thread's allocator cache keeps still count as in use, and which thread
# ran what differs from round to round: without a leak, 300 threaded rounds grew by at most
# about 110 blocks and once, for a moment, by 130 KiB of heap. A leak in any call still costs
# at least 24 blocks a round there.
THREADS, THREADS_BLOCK_SLACK, THREADS_HEAP_SLACK = 4, 400, 1 << 20

# Under a preloaded address sanitizer, freed memory waits in its quarantine and the C heap
# figures are the sanitizer's own, so RSS and heap say nothing there; with PYTHONMALLOC=malloc,
# as that run uses, the traced figure also takes thousands of rounds to settle (on a codec
# error path it grew by tens of KB per thousand rounds at first, then stopped growing). The
# sanitizer's leak check at the interpreter's exit stands in for these three; the normal runs
# keep them.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


MALLINFO2 = None if UNDER_ASAN else getattr(ctypes.CDLL(None), "mallinfo2", None)
if MALLINFO2 is not None:
    MALLINFO2.restype, MALLINFO2.argtypes = _MallInfo2, []


def memory():
    gc.collect()
    info = MALLINFO2() if MALLINFO2 is not None else None  # what the C allocator handed out
    return {"blocks": sys.getallocatedblocks(), "traced": tracemalloc.get_traced_memory()[0],
            "heap": info.uordblks + info.hblkhd if info else 0, "rss": rss()}


def resources():
    return SimpleNamespace(fds=sorted(os.listdir("/proc/self/fd")),
                           threads=threading.active_count(),
                           tasks=len(os.listdir("/proc/self/task")), children=own_children())


# What a new object passed straight from a call to a one-argument function counts there, on
# this interpreter version; `fresh` has the same shape.
FRESH = (lambda result: sys.getrefcount(result))([None])


def fresh(result):
    """The result of a call, checked to be held by the caller alone."""
    count = sys.getrefcount(result)
    if count != FRESH:
        raise AssertionError(f"{type(result).__name__} result held {count - FRESH} times more")
    return result


def fails(kind, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{getattr(fn, '__name__', fn)} did not raise {kind.__name__}")


def unique(text):
    """A str object of our own, not shared with any cache of the interpreter."""
    return "".join([text, "-", os.urandom(4).hex()])


def quiet(limit=5.0):
    """Waits until threads that earlier tests let go (and their memory) have settled: the
    thread count stays the same for half a second."""
    deadline = time.monotonic() + limit
    last, since = None, time.monotonic()
    while time.monotonic() < deadline:
        now = len(os.listdir("/proc/self/task"))
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= 0.5:
            return
        time.sleep(0.05)


def run_rounds(one_round, args, rounds, warm_up=WARM_UP, block_slack=BLOCK_SLACK,
               heap_slack=HEAP_SLACK):
    """Runs the rounds and checks everything the module could leave behind."""
    tracked = vars(args)
    quiet()
    before = resources()

    def settled():  # threads that may finish just after a call returns have ended
        now = resources()
        return (now.tasks <= before.tasks and now.fds == before.fds
                and set(now.children) <= set(before.children))

    tracing = not tracemalloc.is_tracing()
    if tracing:
        tracemalloc.start()
    try:
        for _ in range(warm_up):
            one_round(args)
        # Memory is measured once the readers a timed-out command let go have ended, since
        # their buffers are in use until then.
        wait_until(settled, 3)
        refs = {name: sys.getrefcount(obj) for name, obj in tracked.items()}
        snapshot = tracemalloc.take_snapshot()  # before: it allocates blocks of its own
        start = memory()
        for _ in range(rounds):
            one_round(args)
        wait_until(settled, 3)
        growth = {key: value - start[key] for key, value in memory().items()}
        diagnostics = "" if growth["traced"] < TRACED_SLACK else "\n".join(
            str(s) for s in tracemalloc.take_snapshot().compare_to(snapshot, "lineno")[:8])
    finally:
        if tracing:
            tracemalloc.stop()
    del snapshot
    after = resources()

    assert {name: sys.getrefcount(obj) for name, obj in tracked.items()} == refs
    assert growth["blocks"] <= block_slack + BLOCKS_PER_ROUND * rounds, growth
    if not UNDER_ASAN:
        assert growth["traced"] <= TRACED_SLACK + BYTES_PER_ROUND * rounds, (growth, diagnostics)
        assert growth["rss"] <= RSS_SLACK, growth
    if MALLINFO2 is not None:
        assert growth["heap"] <= heap_slack + BYTES_PER_ROUND * rounds, growth
    assert after.fds == before.fds
    assert (after.threads, after.tasks) == (before.threads, before.tasks)
    assert {pid: s for pid, s in after.children.items() if pid not in before.children} == {}
    assert [pid for pid, state in after.children.items() if state == "Z"] == []
    return growth


# ---- the text functions -------------------------------------------------------------------------


def text_args(directory):
    return SimpleNamespace(
        text=unique("alpha beta\nbeta gamma\n  delta  \r\nend"),
        flags=unique("-a 'b c' -d"),
        flag_list=[unique("-x"), 7],
        interpreter=unique("bash"),
        pattern=unique("beta")[:4],
        new=unique("NEW"),
        spans=[(11, 4), (6, 4)],
        lines=[unique("one") + "\n", unique("two") + "\n", unique("three")],
        pattern_lines=[unique("two")],
        chunks=[(None, [unique("b")], [unique("B")], False)],
        replacements=[(1, 1, [unique("X"), unique("Y")])],
        huge=2 ** 70,
        path=unique("f.txt"),
    )


def text_round(a):
    fresh(_core.normalize_flags(a.flags))
    fresh(_core.normalize_flags(a.flag_list))
    fresh(_core.normalize_flags(a.flags, posix=False))
    fresh(_core.normalize_flags(None))
    fails(ValueError, _core.normalize_flags, "-a 'b")
    fails(ValueError, _core.normalize_flags, 5)
    fresh(_core.inject_cmd_flag(a.interpreter, a.flag_list[:1]))
    fails(TypeError, _core.inject_cmd_flag, a.interpreter, a.flag_list)
    fresh(_core.find_matches(a.text, a.pattern))
    fresh(_core.apply_replacements_text(a.text, a.spans, a.new))
    fails(ValueError, _core.apply_replacements_text, a.text, [(0, 3), (1, 2)], a.new)
    fails(ValueError, _core.apply_replacements_text, a.text, [(2, 500)], a.new)
    fails(OverflowError, _core.apply_replacements_text, a.text, [(a.huge, 1)], a.new)
    fails(TypeError, _core.apply_replacements_text, a.text, [("a", 1)], a.new)
    fresh(_core.edit_text(a.text, a.pattern, a.new, True))
    fresh(_core.edit_text("x  \r\ny\n", "x\ny", a.new, False))  # whitespace-tolerant match
    fails(ValueError, _core.edit_text, a.text, a.pattern, a.new, False)  # ambiguous
    fails(ValueError, _core.edit_text, a.text, a.new, a.pattern, False)  # not found
    fails(TypeError, _core.edit_text, a.text, a.pattern, a.new, 1)
    _core.count_lines(a.text)
    fails(UnicodeEncodeError, _core.count_lines, "\ud800")
    fresh(_core.slice_lines(a.text, 1, 2))
    fails(OverflowError, _core.slice_lines, a.text, -1, 2)
    fresh(_core.format_cat_n(a.lines, 3, 10, True))
    fails(TypeError, _core.format_cat_n, [a.text, 2], 3, 10, True)
    fresh(_core.prepare_read(a.text, 2, 2, True))
    fresh(_core.prepare_read(a.text, -2, 1, False))
    fails(ValueError, _core.prepare_read, a.text, 1, 0, False)
    fails(OverflowError, _core.prepare_read, a.text, a.huge, 1, False)
    _core.seek_sequence(a.lines, a.pattern_lines, 0, False)
    _core.seek_sequence(a.lines, a.lines[:1], 0, True)
    fails(OverflowError, _core.seek_sequence, a.lines, a.pattern_lines, -1, True)
    fresh(_core.derive_new_contents("a\nb\nc\n", a.path, [(None, ["b"], ["B"], False)]))
    fails(ValueError, _core.derive_new_contents, "a\nb\n", a.path, a.chunks)
    fails(ValueError, _core.derive_new_contents, "a\nb\n", a.path, [("zz", ["b"], [], False)])
    fails(TypeError, _core.derive_new_contents, "a\n", a.path, [(None, ["a"], [], False, 1)])
    fresh(_core.apply_line_replacements(a.lines, a.replacements))
    fails(ValueError, _core.apply_line_replacements, a.lines, [(1, 5, [])])
    fails(ValueError, _core.apply_line_replacements, a.lines, [(1, 1, []), (0, 2, [])])
    fails(OverflowError, _core.apply_line_replacements, a.lines, [(a.huge, 1, [])])
    fails(TypeError, _core.count_lines)
    fails(TypeError, _core.count_lines, a.text, a.text)
    fails(TypeError, _core.count_lines, txt=a.text)
    _core.count_lines(**{"".join(["te", "xt"]): a.text})


# ---- the records and the exceptions -------------------------------------------------------------


def record_args(directory):
    client = _core.LocalClient(directory)
    client.write_text("f.txt", "content\n")
    return SimpleNamespace(
        info=client.stat("f.txt"),
        missing=client.stat("missing"),
        result=client.exec_command("printf out; printf err >&2; exit 3", env={"A": "1"},
                                   interpreter="bash", flags=["-e"], max_output_bytes=2),
        message=unique("record message"),
    )


def record_round(a):
    for info, other in ((a.info, a.missing), (a.missing, a.info)):
        for name in ["exists", "kind", "size", "modified_ns", "is_symlink", "version"]:
            getattr(info, name)
        fresh(repr(info))
        assert (info == info, info != other, info == other) == (True, True, False)
        hash(info)
        fails(TypeError, lambda: info < info)
        fails(AttributeError, setattr, info, "size", 1)
    for name in ["exit_code", "stdout", "stderr", "command", "cwd", "duration_ms", "timed_out",
                 "signal", "stdout_total_bytes", "stderr_total_bytes", "stdout_omitted_bytes",
                 "stderr_omitted_bytes", "ok", "truncated"]:
        getattr(a.result, name)
    fresh(a.result.extras)
    fresh(repr(a.result))
    bool(a.result), hash(a.result)
    assert a.result == a.result
    fails(TypeError, _core.FileInfo)
    fails(TypeError, _core.CommandResult)
    for cls in [_core.ClientError, _core.FileNotFoundError, _core.PermissionDeniedError,
                _core.ConflictError, _core.OperationTimeoutError, _core.AuthenticationError,
                _core.TransferLimitError]:
        try:
            raise cls(a.message)
        except _core.ClientError as e:
            assert e.args[0] is a.message


# ---- the clients --------------------------------------------------------------------------------


def surface_round(c, a):
    """What a client answers without any file system: its attributes, repr and paths."""
    c.cwd, c.kind, type(c).kind
    assert isinstance(c, _core.Client)
    fresh(repr(c))
    fresh(c.resolve("a/./b/../c"))
    fresh(c.resolve("~/x"))
    fresh(c.join(a.name, 5, a.new))
    fails(AttributeError, setattr, c, "cwd", a.name)


def client_round(c, a):
    """The file calls both clients have, along their error paths: `a.file` exists, `a.new`
    does not, `a.dir` is a directory, `a.too_big` exceeds the transfer limit."""
    fresh(c.stat(a.file))
    fresh(c.stat(a.new))  # missing
    c.exists(a.file), c.is_file(a.file), c.is_dir(a.dir)
    fresh(c.path_info(a.new))
    fresh(c.read_bytes(a.file))
    fresh(c.read_text(a.file))
    fresh(c.read_text_window(a.file, 2, 1))
    fails(_core.ClientError, c.read_text, a.new)
    fails(_core.FileNotFoundError, c.read_text_window, a.new, 1, 1)
    fails(_core.ClientError, c.read_text_window, a.dir, 1, 1)
    fails(ValueError, c.read_text_window, a.file, 1, 0)
    fails(_core.TransferLimitError, c.write_bytes, a.new, a.too_big)  # refused before any run
    c.write_text(a.new, a.content)
    c.write_bytes(a.new, a.data)
    info = fresh(c.write_text_atomic(a.new, a.content, expected_version=c.stat(a.new).version))
    fails(_core.ConflictError, c.write_text_atomic, a.new, a.content, create_only=True)
    fails(_core.ConflictError, c.delete_if_version, a.new, expected_version=a.version)
    c.delete_if_version(a.new, expected_version=info.version)
    fails(_core.FileNotFoundError, c.delete, a.new)
    c.mkdir(a.dir)
    fails(_core.ClientError, c.mkdir, a.dir, exist_ok=False)


def local_args(directory):
    client = _core.LocalClient(directory, max_transfer_bytes=64)
    client.write_text("f.txt", "one\ntwo\nthree\n")
    Path(directory, "big.bin").write_bytes(b"x" * 65)
    Path(directory, "bad.txt").write_bytes(b"\xff\xfe ok\n")
    client.mkdir("dir")
    return SimpleNamespace(
        client=client, cwd=unique(directory + "/")[:-9], cwd_path=Path(directory),
        name=unique("f.txt")[:5], file=unique("f.txt")[:5], dir=unique("dir")[:3],
        new=unique("new.txt"), content=unique("new content"), data=unique("bytes").encode(),
        too_big=b"x" * 65, data_list=[104, 105], version=unique("not-a-version"), huge=2 ** 64)


def local_round(a):
    c = a.client
    fresh(_core.LocalClient(a.cwd))
    fresh(_core.LocalClient(a.cwd_path, max_transfer_bytes=10))
    fresh(_core.LocalClient())
    fails(ValueError, _core.LocalClient, a.cwd, max_transfer_bytes=0)
    fails(OverflowError, _core.LocalClient, a.cwd, max_transfer_bytes=a.huge)
    fails(TypeError, _core.LocalClient, 5)
    surface_round(c, a)
    client_round(c, a)
    fails(_core.ClientError, c.exists, "f.txt/x")
    fails(_core.ClientError, c.stat, "a\0b")
    fails(TypeError, c.stat, 5)
    fresh(c.read_text("bad.txt"))
    fresh(c.read_text_window(a.name, -2, 1, encoding="latin-1"))
    fails(_core.TransferLimitError, c.read_bytes, "big.bin")
    fails(_core.ClientError, c.read_bytes, "dir")
    fails(_core.ClientError, c.read_text, "bad.txt", encoding="hex")  # not a text codec
    fails(_core.ClientError, c.read_text, a.name, encoding="no-such-codec")
    fails(OverflowError, c.read_text_window, a.name, a.huge, 1)
    c.write_bytes(a.new, bytearray(a.data))
    c.write_bytes(a.new, a.data_list)
    fails(_core.ConflictError, c.write_text_atomic, a.new, a.content, expected_version=a.version)
    fails(_core.ClientError, c.write_text, a.new, "\ud800")
    fails(_core.ClientError, c.write_text_atomic, a.new, "\xe9", encoding="ascii")
    fails(_core.ClientError, c.write_text, "f.txt/x", a.content)
    fails(_core.ClientError, c.write_bytes, "dir", a.data)
    fails(OverflowError, c.write_bytes, a.new, [1, 300])
    fails(TypeError, c.write_bytes, a.new, a.content)
    c.delete(a.new)
    fails(_core.ClientError, c.delete, "dir")
    fresh(c.write_text_atomic("sub/deeper/" + a.new, a.content, create_only=True))
    c.delete("sub/deeper/" + a.new)
    c.mkdir("sub/deeper")
    c.mkdir("sub", parents=False, exist_ok=True)
    fails(_core.ClientError, c.mkdir, "no/such", parents=False, exist_ok=False)
    fails(TypeError, c.mkdir, "sub", parents=1)


def exec_args(directory):
    return SimpleNamespace(
        client=_core.LocalClient(directory),
        command=unique("printf out; printf err >&2; exit 3 #"),
        env={unique("K")[:1] + "EY": unique("value")},
        stdin=unique("input"),
        flags=[unique("-e")[:2]],
        cwd=directory,
    )


def exec_round(a):
    c = a.client
    # (results are checked outside `assert`, whose rewriting keeps references of its own)
    truncated = fresh(c.exec_command(a.command, env=a.env, max_output_bytes=2))
    echoed = fresh(c.exec_command("cat", stdin=a.stdin))
    fresh(c.exec_command("true", interpreter="bash", flags=a.flags, cwd=a.cwd, timeout=30))
    stopped = fresh(c.exec_command("sleep 5", timeout=0.001))
    killed = fresh(c.exec_command("kill -TERM $$"))
    assert (truncated.exit_code, truncated.stdout_total_bytes, echoed.stdout) == (3, 3, a.stdin)
    assert (stopped.timed_out, killed.signal) == (True, 15)
    fails(_core.ClientError, c.exec_command, "true", interpreter="/no/such/shell")
    fails(_core.ClientError, c.exec_command, "true", cwd="no/such/dir")
    fails(_core.ClientError, c.exec_command, "true", env={"A=B": "1"})
    fails(_core.ClientError, c.exec_command, "true", timeout=-1)
    fails(_core.ClientError, c.exec_command, "true", max_output_bytes=0)
    fails(ValueError, c.exec_command, "true", flags="'")
    fails(TypeError, c.exec_command, 5)


def threads_args(directory):
    workers = []
    for i in range(THREADS):
        sub = os.path.join(directory, f"worker-{i}")
        os.mkdir(sub)
        workers.append((local_args(sub), exec_args(sub)))
    return SimpleNamespace(workers=workers)


def threads_round(a):
    """Each thread makes five local rounds and one command round; every call releases the
    interpreter lock, so the native parts really overlap."""
    errors = []

    def work(local, commands):
        try:
            for _ in range(5):
                local_round(local)
            exec_round(commands)
        except BaseException as e:  # handed to the test thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=pair) for pair in a.workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def ssh_offline_args(directory):
    return SimpleNamespace(host=unique("host"), user=unique("user"), cwd=unique("work"),
                           name=unique("a"), new=unique("b"), flags=unique("-C -v -A"),
                           password=unique("pw"), key="~/key", huge=2 ** 80)


def ssh_offline_round(a):
    surface_round(fresh(_core.SshClient(a.host, port=22, username=a.user, multiplexing=False,
                                        cwd=a.cwd, ssh_flags=a.flags, password=a.password,
                                        key_filename=a.key)), a)
    fresh(_core.SshClient(a.host, port=22, username=a.user))  # owns a control directory
    fails(ValueError, _core.SshClient, a.host, port=0, username=a.user)
    fails(ValueError, _core.SshClient, "-" + a.host, port=22, username=a.user)
    fails(ValueError, _core.SshClient, a.host, port=22, username=a.user, connect_timeout=0)
    fails(ValueError, _core.SshClient, a.host, port=22, username=a.user, ssh_flags="'")
    fails(OverflowError, _core.SshClient, a.host, port=a.huge, username=a.user)
    fails(TypeError, _core.SshClient, 5, port=22, username=a.user)
    fails(TypeError, _core.SshClient, a.host, username=a.user)


def ssh_round(a):
    client_round(a.client, a)
    a.password_client.exists(a.file)  # each run with a password has an askpass directory
    result = fresh(a.client.exec_command(a.command, stdin=a.stdin, env=a.env))
    failed = fresh(a.client.exec_command("exit 3", cwd=a.new))
    assert (result.stdout, result.exit_code) == (a.stdin, 0)
    assert failed.exit_code not in (0, 3)  # the cd failed, the command never ran


CASES = {
    "text": (text_args, text_round, ROUNDS),
    "records": (record_args, record_round, ROUNDS),
    "local": (local_args, local_round, ROUNDS),
    "exec": (exec_args, exec_round, max(ROUNDS // 50, 20)),
    "threads": (threads_args, threads_round, max(ROUNDS // 250, 20)),
    "ssh_offline": (ssh_offline_args, ssh_offline_round, ROUNDS // 2),
    "ssh": (None, ssh_round, SSH_ROUNDS),
}


@pytest.mark.timeout(300)
@pytest.mark.parametrize("case", [pytest.param(c, marks=pytest.mark.ssh) if c == "ssh" else c
                                  for c in CASES])
def test_repeated_calls_leave_nothing_behind(request, case, tmp_path, short_tmp):
    """The loops run in a TMPDIR of their own, on tmpfs where there is one: a disk file
    system may flush data on rename and journal every directory made."""
    make_args, one_round, rounds = CASES[case]
    if case != "ssh":
        (directory := short_tmp / "files").mkdir()
        args = make_args(str(directory))
        growth = run_rounds(one_round, args, rounds, **(
            {"warm_up": 10, "block_slack": THREADS_BLOCK_SLACK, "heap_slack": THREADS_HEAP_SLACK}
            if case == "threads" else {}))
    else:
        world = request.getfixturevalue("ssh_world")
        name, _ = world.remote_dir("leak", {"f.txt": "one\ntwo\nthree\n"})
        args = SimpleNamespace(
            client=world.client(max_transfer_bytes=4096),
            password_client=_core.SshClient("127.0.0.1", port=world.main.port,
                                            username=world.user, password=world.password,
                                            connect_timeout=5, operation_timeout=15),
            file=f"{name}/f.txt", dir=unique(name + "/sub"), new=unique(name + "/new.txt"),
            content=unique("content"), data=unique("data").encode(), too_big=b"x" * 4097,
            version=unique("remote:file:0"), command=unique("cat; exit 0 #"),
            stdin=unique("input"), env={"TW_" + unique("K")[:1]: unique("value")})
        growth = run_rounds(one_round, args, rounds, warm_up=2)
    del args
    gc.collect()
    print(f"{case}: {rounds} rounds, growth {growth}")
    # The control and askpass directories are gone.
    assert [p.name for p in short_tmp.iterdir() if p.name != "files"] == []
