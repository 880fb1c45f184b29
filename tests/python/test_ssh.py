"""SshClient against real OpenSSH servers on 127.0.0.1 (see ssh_server.py).

The remote host is this machine, so the tests look at the remote side directly through the
file system and the process table rather than through the client under test.
"""

from __future__ import annotations

import gc
import json
import os
import re
import signal
import stat as st
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path, PurePosixPath

import pytest

from proc_table import run_script, running, wait_until
from ssh_server import free_port
from tarnwistle import _core

pytestmark = pytest.mark.ssh


# ---- fixtures ---------------------------------------------------------------------------------


@pytest.fixture(scope="session")
def clients(ssh_world):
    """Clients are cached per configuration so that their master connections are reused."""
    cache = {}

    def make(server="main", **kwargs):
        key = (server, tuple(sorted(kwargs.items())))
        if key not in cache:
            cache[key] = ssh_world.client(getattr(ssh_world, server), **kwargs)
        return cache[key]

    return make


@pytest.fixture(params=["main", "bsd"])
def server(request):
    return request.param


@pytest.fixture
def client(clients, server):
    return clients(server)


@pytest.fixture
def rdir(ssh_world, client):
    """A fresh remote directory (relative to the remote home) and its local view."""
    name = f"t-{uuid.uuid4().hex[:10]}"
    client.mkdir(name)
    return name, ssh_world.home / name


def last_argv(world):
    return world.argv_records()[-1]


def leftovers(root: Path):
    return sorted(str(p) for p in root.rglob("*")
                  if re.search(r"\.tarnwistle-[0-9a-f]+\.tmp$|\.tarnwistle\.lock$", p.name))


def sleep_tag(base):
    """A sleep time no other test uses, to find the process by."""
    return f"{base + uuid.uuid4().int % 1000 / 1000:.3f}"


# ---- construction and paths (no server contacted) ---------------------------------------------


def make(**kwargs):
    options = {"port": 22, "username": "u", "multiplexing": False, **kwargs}
    return _core.SshClient(options.pop("host", "h"),
                           **{k: v for k, v in options.items() if v is not ...})


def exact(message):
    return f"^{re.escape(message)}$"


PORT = exact("ssh port is required and must be a positive integer")
CONNECT = exact("connect_timeout must be a positive finite number")
TRANSFER = exact("max_transfer_bytes must be between 1 and 268435456")


class TestConstruction:
    @pytest.mark.parametrize("kwargs, error, pattern", [
        ({"port": 0}, ValueError, PORT), ({"port": -1}, ValueError, PORT),
        ({"port": 70000}, ValueError, PORT),
        ({"host": "-x", "port": 0}, ValueError, PORT),  # the port is checked before the host
        ({"host": "  "}, ValueError, exact("ssh host is required")),
        ({"host": " -oProxyCommand=x"}, ValueError, exact("ssh host must not start with '-'")),
        ({"host": "-h", "multiplexing": True}, ValueError, exact("ssh host must not start with '-'")),
        ({"username": " "}, ValueError, exact("ssh user is required")),
        ({"connect_timeout": 0}, ValueError, CONNECT),
        ({"connect_timeout": float("nan")}, ValueError, CONNECT),
        ({"connect_timeout": float("inf")}, ValueError, CONNECT),
        ({"operation_timeout": -1.0}, ValueError,
         exact("operation_timeout must be a positive finite number")),
        ({"max_transfer_bytes": 0}, ValueError, TRANSFER),
        ({"max_transfer_bytes": 268435457}, ValueError, TRANSFER),
        ({"ssh_flags": 5}, ValueError, exact("flags must be a string or sequence")),
        ({"port": ...}, TypeError, "missing 1 required keyword-only argument: 'port'"),
        ({"multiplexing": 1}, TypeError, "^argument 'multiplexing': "),
        ({"connect_timeout": "5"}, TypeError, "^argument 'connect_timeout': "),
        ({"max_transfer_bytes": -1}, OverflowError, None),
    ])
    def test_refused_values_leave_no_control_directory(self, short_tmp, kwargs, error, pattern):
        with pytest.raises(error, match=pattern):
            make(**kwargs)
        assert list(short_tmp.iterdir()) == []

    def test_control_directory_lives_as_long_as_the_client(self, short_tmp):
        client = _core.SshClient("h", port=22, username="u")
        (made,) = short_tmp.iterdir()
        assert re.fullmatch(r"tarnwistle-ssh-[A-Za-z0-9]{6}", made.name)
        assert make(multiplexing=False) is not None
        assert len(list(short_tmp.iterdir())) == 1
        del client
        gc.collect()
        assert list(short_tmp.iterdir()) == []

    @pytest.mark.parametrize("how", ["released", "alive at exit"])
    def test_the_master_goes_with_its_client(self, ssh_world, short_tmp, how):
        # Run in a child interpreter, which can exit with the client still alive.
        script = """
            import ctypes, gc, json, os, sys
            from proc_table import running, wait_until
            from tarnwistle import _core

            port, user, key, how = sys.argv[1:]
            c = _core.SshClient("127.0.0.1", port=int(port), username=user, key_filename=key,
                                allow_password_prompt=False)
            assert c.exists(".")
            (d,) = os.listdir(os.environ["TMPDIR"])
            path = os.path.join(os.environ["TMPDIR"], d)
            before = running(path)
            if how == "released":
                del c
                gc.collect()
                wait_until(lambda: not running(path), 2)  # it exits just after it answered
            else:
                ctypes.pythonapi.Py_IncRef(ctypes.py_object(c))  # never released
            print(json.dumps({"path": path, "before": before, "after": running(path)}))
        """
        seen = run_script(script, ssh_world.main.port, ssh_world.user, ssh_world.key, how)
        assert seen["before"], "no master to stop"
        assert seen["after"] == ([] if how == "released" else seen["before"])
        assert wait_until(lambda: not running(seen["path"]))
        assert not os.path.exists(seen["path"])

    @pytest.mark.parametrize("extra, stays", [(0, True), (1, False), (6, False)])
    def test_control_path_bound(self, ssh_world, monkeypatch, extra, stays):
        # {TMPDIR}/tarnwistle-ssh-XXXXXX/mux-%C expands to len(TMPDIR) + 67 bytes: 19 bytes of
        # TMPDIR give exactly 86, the longest path whose master socket can still be bound.
        base = Path("/tmp") / uuid.uuid4().hex[:19 - len("/tmp/") + extra]
        base.mkdir(exist_ok=True)
        monkeypatch.setenv("TMPDIR", str(base))
        try:
            client = ssh_world.client()
            assert client.exists(".")  # the master socket could be bound
            control = next(a for a in last_argv(ssh_world) if a.startswith("ControlPath="))
            assert re.fullmatch(re.escape(f"ControlPath={base if stays else '/tmp'}/") +
                                r"tarnwistle-ssh-[A-Za-z0-9]{6}/mux-%C", control)
            del client
        finally:
            gc.collect()
            os.rmdir(base)

    @pytest.mark.parametrize("kwargs, expected", [
        ({"cwd": "."}, "~"), ({"cwd": ""}, "~"), ({"cwd": "~"}, "~"), ({"cwd": "work"}, "~/work"),
        ({"cwd": "/srv"}, "/srv"), ({"cwd": "~/a/../b/"}, "~/b"), ({"cwd": "~/.."}, "."),
        ({"cwd": "/../../etc"}, "/etc"),
        ({"host": ' a"b\t ', "username": "x\\y", "cwd": '/q"'}, '/q\\"'),  # quoted and trimmed
    ])
    def test_working_directory_and_repr(self, kwargs, expected):
        client = make(**kwargs)
        assert (client.cwd, client.kind) == (expected.replace("\\", ""), "ssh")
        host, user = ("a\\\"b", "x\\\\y") if "host" in kwargs else ("h", "u")
        assert repr(client) == f'SshClient(host="{host}", port=22, username="{user}", cwd="{expected}")'

    @pytest.mark.parametrize("cwd, path, expected", [
        ("~", "a/./b/../c", "~/a/c"), ("~", "", "~"), ("~", ".", "~"), ("~", "..", "."),
        ("/srv/app", "../x", "/srv/x"), ("/srv/app", "/../../etc", "/etc"), ("/srv/app", "~", "~"),
        ("~", "~user/x", "~/~user/x"), ("~/..", "x", "x"), ("~", "~/", "~"), ("/", "..", "/"),
    ])
    def test_resolve(self, cwd, path, expected):
        assert make(cwd=cwd).resolve(path) == expected

    @pytest.mark.parametrize("parts, expected", [
        ((), ""), (("a", 5, "b"), "a/b"), (("", "a"), "/a"), (("a", "/b"), "a/b"),
        (("a/", "b"), "a/b"), (("a", ""), "a/"), (("/x", "//y", "z/"), "/x/y/z/"),
    ])
    def test_join(self, parts, expected):
        assert make().join(*parts) == expected


# ---- the ssh command line -----------------------------------------------------------------------


class TestCommandLine:
    def test_key_login_with_multiplexing_and_flags(self, ssh_world, short_tmp):
        client = _core.SshClient(" 127.0.0.1 ", port=ssh_world.main.port,
                                 username=f" {ssh_world.user} ", key_filename=ssh_world.key,
                                 connect_timeout=2.5, allow_password_prompt=False,
                                 ssh_flags="-C -v -A -o Foo=bar -C", cwd=PurePosixPath("/"))
        assert client.exists(PurePosixPath("tmp")) and client.cwd == "/"
        (control,) = short_tmp.iterdir()
        argv = last_argv(ssh_world)
        assert argv[:-1] == [
            "-T", "-p", str(ssh_world.main.port), "-l", ssh_world.user,
            "-o", "ConnectTimeout=3", "-o", "StrictHostKeyChecking=yes",
            "-i", str(ssh_world.key),
            "-o", "ControlMaster=auto", "-o", "ControlPersist=60",
            "-o", f"ControlPath={control}/mux-%C",
            "-C", "-A", "-C", "-o", "BatchMode=yes", "127.0.0.1",
        ]
        assert argv[-1].startswith("p=")

    @pytest.mark.parametrize("connect_timeout, shown", [(0.2, "1"), (30.0, "30"), (1e-300, "1")])
    def test_without_multiplexing_or_batch_mode(self, ssh_world, connect_timeout, shown):
        client = _core.SshClient("127.0.0.1", port=ssh_world.main.port, username=ssh_world.user,
                                 key_filename=str(ssh_world.key), multiplexing=False,
                                 connect_timeout=connect_timeout, accept_unknown_host_key=True)
        assert client.exists(".")
        assert last_argv(ssh_world)[:12] == [
            "-T", "-p", str(ssh_world.main.port), "-l", ssh_world.user,
            "-o", f"ConnectTimeout={shown}", "-o", "StrictHostKeyChecking=accept-new",
            "-i", str(ssh_world.key), "127.0.0.1",
        ]

    def test_key_path_expands_the_local_home(self, ssh_world, monkeypatch):
        monkeypatch.setenv("HOME", str(ssh_world.base))
        client = ssh_world.client(key_filename="~/" + ssh_world.key.name, multiplexing=False)
        assert client.exists(".")
        argv = last_argv(ssh_world)
        assert argv[argv.index("-i") + 1] == str(ssh_world.key)

    def test_password_login_through_askpass(self, ssh_world, short_tmp):
        client = _core.SshClient("127.0.0.1", port=ssh_world.main.port, username=ssh_world.user,
                                 password=ssh_world.password, multiplexing=False)
        result = client.exec_command("id -un")
        assert (result.exit_code, result.stdout) == (0, ssh_world.user + "\n")
        assert last_argv(ssh_world)[7:13] == ["-o", "StrictHostKeyChecking=yes",
                                              "-o", "BatchMode=no", "-o", "NumberOfPasswordPrompts=1"]
        assert not any(ssh_world.password in a for rec in ssh_world.argv_records() for a in rec)
        mode, size, path = ssh_world.askpass_records()[-1].split(" ", 2)
        assert (mode, size) == ("700", "51")
        assert re.fullmatch(re.escape(str(short_tmp)) +
                            r"/tarnwistle-askpass-[A-Za-z0-9]{6}/askpass\.sh", path)
        assert list(short_tmp.iterdir()) == []  # removed after the run
        # An empty password is no password.
        client = ssh_world.client(password="", multiplexing=False)
        assert client.exists(".")
        assert last_argv(ssh_world)[-3:-1] == ["BatchMode=yes", "127.0.0.1"]
        assert list(short_tmp.iterdir()) == []

    @pytest.mark.parametrize("how, error, said", [
        ("wrong password", _core.AuthenticationError, "Permission denied"),
        ("unknown key", _core.AuthenticationError, "Permission denied"),
        ("unreachable port", _core.ClientError, "Connection refused"),
    ])
    def test_login_failures(self, ssh_world, short_tmp, how, error, said):
        options = {"port": ssh_world.main.port, "username": ssh_world.user, **{
            "wrong password": {"password": "not-" + ssh_world.password},
            "unknown key": {"key_filename": str(ssh_world.other_key),
                            "allow_password_prompt": False},
            "unreachable port": {"port": free_port(), "key_filename": str(ssh_world.key),
                                 "allow_password_prompt": False}}[how]}
        client = _core.SshClient("127.0.0.1", **options)
        with pytest.raises(error, match=rf"^SSH stat failed with exit code 255: x: .*{said}") as info:
            client.stat("x")
        assert type(info.value) is error
        result = client.exec_command("echo never")  # exec reports it in the result instead
        assert (result.exit_code, result.stdout, result.timed_out) == (255, "", False)
        assert said in result.stderr
        del client
        gc.collect()
        assert list(short_tmp.iterdir()) == []


# ---- files ----------------------------------------------------------------------------------------


class TestFiles:
    @pytest.mark.parametrize("name", ["sp ace.txt", "quo'te\"s.txt", "dol$lar`tick`.txt",
                                      "tab\there.txt", "new\nline.txt", "-dash.txt", "star*.txt",
                                      "~user.txt"])
    def test_awkward_names_round_trip(self, client, rdir, name):
        remote, local = rdir
        path = f"{remote}/{name}"
        content = f"first {name}\nsecond\n"
        info = client.write_text_atomic(path, content)
        assert (local / name).read_text() == content
        assert (info.kind, info.size, info.exists) == ("file", len(content.encode()), True)
        assert client.stat(path).version == info.version
        assert client.read_text(path) == content
        assert client.read_bytes(path) == content.encode()
        lines = content.splitlines(keepends=True)
        assert client.read_text_window(path, -1, 1) == reference_window(lines, -1, 1)
        client.delete(path)
        assert not (local / name).exists() and not client.exists(path)
        assert leftovers(local) == []

    def test_stat_kinds_versions_and_home_paths(self, clients, client, rdir, server):
        remote, local = rdir
        home = clients(server, cwd="/")  # "~/" still names the remote home
        info = home.write_text_atomic(f"~/{remote}/v.txt", "twelve bytes")
        seen = os.lstat(local / "v.txt")
        prefix = f"remote:file:12:{int(seen.st_mtime)}:{seen.st_ino}"
        if server == "main":  # GNU form: the human-readable time follows
            assert re.fullmatch(re.escape(prefix) + r":\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ [+-]\d{4}",
                                info.version)
        else:  # BSD form ends at the inode
            assert info.version == prefix
        assert info.modified_ns == int(seen.st_mtime) * 1_000_000_000
        assert info.is_symlink is False
        assert home.path_info(f"~/{remote}/v.txt") == (True, True, False)
        (local / "sub").mkdir()
        os.symlink("nowhere", local / "dangling")
        os.symlink("sub", local / "to-dir")
        os.mkfifo(local / "fifo")
        missing = client.stat(f"{remote}/missing")
        assert (missing.exists, missing.kind, missing.size, missing.version) == (False, "missing", 0, None)
        assert missing.modified_ns is None
        dangling = client.stat(f"{remote}/dangling")
        assert (dangling.exists, dangling.kind, dangling.is_symlink, dangling.size) == (True, "symlink", True, 0)
        assert dangling.version.startswith("remote:symlink:")
        assert client.path_info(f"{remote}/to-dir") == (True, False, False)
        assert client.path_info(f"{remote}/sub") == (True, False, True)
        assert client.stat(f"{remote}/fifo").kind == "other"

    def test_unreadable_file_still_has_a_description(self, client, rdir):
        remote, local = rdir
        for name in ("secret.bin", "password.txt"):
            client.write_bytes(f"{remote}/{name}", b"abc")
            os.chmod(local / name, 0)
            info = client.stat(f"{remote}/{name}")
            assert (info.kind, info.size) == ("file", 3)
            assert client.is_file(f"{remote}/{name}")
            # A remote "Permission denied" about a file called password.txt is not a login failure.
            with pytest.raises(_core.PermissionDeniedError,
                               match=rf"^SSH read_bytes failed with exit code 1: {remote}/{name}: .*Permission denied"):
                client.read_bytes(f"{remote}/{name}")
            with pytest.raises(_core.PermissionDeniedError, match="^SSH read_text_window failed: "):
                client.read_text_window(f"{remote}/{name}", 1, 1)

    def test_modes_of_new_and_rewritten_files(self, client, rdir):
        remote, local = rdir
        client.write_text(f"{remote}/new.txt", "n")
        assert st.S_IMODE(os.stat(local / "new.txt").st_mode) == 0o600
        os.chmod(local / "new.txt", 0o644)
        client.write_text(f"{remote}/new.txt", "again")
        assert st.S_IMODE(os.stat(local / "new.txt").st_mode) == 0o644
        os.symlink("new.txt", local / "link")
        client.write_text(f"{remote}/link", "replaces the link")
        assert not os.path.islink(local / "link")
        assert st.S_IMODE(os.stat(local / "link").st_mode) == 0o600
        assert (local / "new.txt").read_text() == "again"

    def test_versioned_writes_and_conflicts(self, client, rdir):
        remote, local = rdir
        path = f"{remote}/c.txt"
        first = client.write_text_atomic(path, "one", create_only=True)
        for kwargs in ({"create_only": True}, {"expected_version": "missing"}):
            with pytest.raises(_core.ConflictError, match=f"^write conflict: {path}$"):
                client.write_text_atomic(path, "two", **kwargs)
        second = client.write_text_atomic(path, "one", expected_version=first.version)
        assert second.version != first.version  # same content, new inode
        with pytest.raises(_core.ConflictError):
            client.write_text_atomic(path, "three", expected_version=first.version)
        assert (local / "c.txt").read_text() == "one"
        with pytest.raises(_core.ConflictError, match=f"^write conflict: {remote}/none$"):
            client.write_text_atomic(f"{remote}/none", "x", expected_version=first.version)
        assert client.write_text_atomic(f"{remote}/deep/er/f", "x", expected_version="missing").size == 1
        with pytest.raises(_core.ConflictError, match=f"^delete conflict: {path}$"):
            client.delete_if_version(path, expected_version=first.version)
        client.delete_if_version(path, expected_version=second.version)
        with pytest.raises(_core.FileNotFoundError, match=f"^SSH delete failed: {path}: file does not exist$"):
            client.delete_if_version(path, expected_version=second.version)
        assert leftovers(local) == []

    def test_failure_messages_name_the_method(self, client, rdir):
        remote, local = rdir
        (local / "plain").write_text("a file, not a directory")
        (local / "target").write_text("t")
        os.symlink("target", local / "link")
        (local / "dir").mkdir()
        for error, pattern, call in [
            (_core.ClientError, rf"^SSH write_text failed with exit code 1: {remote}/plain/x: .+",
             lambda: client.write_text(f"{remote}/plain/x", "x")),
            (_core.ClientError, rf"^SSH write_bytes failed with exit code 1: {remote}/plain/x: .+",
             lambda: client.write_text_atomic(f"{remote}/plain/x", "x")),
            (_core.ClientError, rf"^SSH read_text failed with exit code 1: {remote}/nope: .+",
             lambda: client.read_text(f"{remote}/nope")),
            (_core.ClientError, f"^SSH write_text failed: {remote}/e: UnicodeEncodeError: ",
             lambda: client.write_text(f"{remote}/e", "\udc80")),
            (_core.ClientError, f"^SSH read_text failed: {remote}/plain: LookupError: ",
             lambda: client.read_text(f"{remote}/plain", encoding="no-such-codec")),
            (_core.ClientError, f"^SSH delete failed with exit code 1: {remote}/dir: ",
             lambda: client.delete(f"{remote}/dir")),
            (_core.FileNotFoundError, None, lambda: client.delete(f"{remote}/missing")),
            (_core.ClientError, f"^SSH mkdir failed with exit code 1: {remote}/dir: ",
             lambda: client.mkdir(f"{remote}/dir", exist_ok=False)),
            (_core.ClientError, f"^SSH mkdir failed with exit code 1: {remote}/b/c: ",
             lambda: client.mkdir(f"{remote}/b/c", parents=False)),
        ]:
            with pytest.raises(error, match=pattern):
                call()
        assert client.read_text(f"{remote}/plain", encoding="utf-16-le")  # any codec works
        client.delete(f"{remote}/link")  # the link itself goes, its target stays
        assert not os.path.lexists(local / "link") and (local / "target").exists()
        assert leftovers(local) == []

    def test_transfer_limits(self, ssh_world, clients, server, rdir):
        remote, local = rdir
        # The limit bounds every captured stream, the stat record after a write included, so
        # it stays above the length of that record here.
        small = clients(server, max_transfer_bytes=200)
        exact_size, over = b"y" * 200, b"y" * 201
        (local / "exact").write_bytes(exact_size)
        (local / "over").write_bytes(over)
        assert small.read_bytes(f"{remote}/exact") == exact_size
        with pytest.raises(_core.TransferLimitError,
                           match=f"^SSH read_bytes exceeded the configured transfer limit of 200 bytes: {remote}/over$"):
            small.read_bytes(f"{remote}/over")
        with pytest.raises(_core.TransferLimitError, match="^SSH read_text_window exceeded"):
            small.read_text_window(f"{remote}/over", 1, 5)
        runs = len(ssh_world.argv_records())
        with pytest.raises(_core.TransferLimitError,
                           match=f"^SSH write_bytes failed: {remote}/w: content size 201 exceeds the configured transfer limit of 200 bytes$"):
            small.write_bytes(f"{remote}/w", over)
        assert len(ssh_world.argv_records()) == runs  # nothing was sent
        small.write_bytes(f"{remote}/w", bytearray(exact_size))
        assert (local / "w").read_bytes() == exact_size

    def test_mkdir(self, client, rdir):
        remote, local = rdir
        for parents, exist_ok in [(True, True), (True, False), (False, True), (False, False)]:
            client.mkdir(f"{remote}/{parents}{exist_ok}", parents=parents, exist_ok=exist_ok)
            assert (local / f"{parents}{exist_ok}").is_dir()
            client.mkdir(f"{remote}/{parents}{exist_ok}", parents=parents, exist_ok=True)
        client.mkdir(f"{remote}/b/c/d", exist_ok=False)
        assert (local / "b/c/d").is_dir()


# Runs the test ssh, then, once, right after the first write run has released its lock: notes
# the version of what that write installed and installs other content through a second client.
WRITER_BETWEEN_RUNS = """#!{python}
import json, os, subprocess, sys
done = subprocess.run([{ssh!r}] + sys.argv[1:]).returncode
seen = {seen!r}
if "tarnwistle.lock" in sys.argv[-1] and "cat >" in sys.argv[-1] and not os.path.exists(seen):
    os.environ["PATH"] = {path!r}
    from tarnwistle import _core
    other = _core.SshClient("127.0.0.1", port={port}, username={user!r}, key_filename={key!r},
                            allow_password_prompt=False, multiplexing=False)
    ours = other.stat({target!r}).version
    theirs = other.write_text_atomic({target!r}, "theirs, unseen").version
    with open(seen, "w") as out:
        json.dump({{"ours": ours, "theirs": theirs}}, out)
sys.exit(done)
"""


class TestLocking:
    def test_racing_versioned_writes_have_one_winner(self, client, rdir):
        remote, local = rdir
        path = f"{remote}/race.txt"
        client.write_text(path, "start")
        for round_no in range(4):
            version = client.stat(path).version
            barrier = threading.Barrier(8)

            def write(i):
                barrier.wait()
                try:
                    client.write_text_atomic(path, f"round {round_no} writer {i}",
                                             expected_version=version)
                    return "won"
                except _core.ConflictError:
                    return "conflict"

            with ThreadPoolExecutor(8) as pool:
                outcomes = list(pool.map(write, range(8)))
            assert sorted(outcomes) == ["conflict"] * 7 + ["won"], round_no
            winner = outcomes.index("won")
            assert (local / "race.txt").read_text() == f"round {round_no} writer {winner}"
        assert leftovers(local) == []

    def test_write_returns_the_version_it_installed(self, ssh_world, client, server, rdir,
                                                     tmp_path, monkeypatch):
        remote, local = rdir
        path = f"{remote}/v.txt"
        runs = len(ssh_world.argv_records())
        client.write_text_atomic(path, "start")
        assert len(ssh_world.argv_records()) == runs + 1  # described in the write's own run
        seen = tmp_path / "seen.json"
        hook = tmp_path / "bin"
        hook.mkdir()
        (hook / "ssh").write_text(WRITER_BETWEEN_RUNS.format(
            python=sys.executable, ssh=str(ssh_world.bin_dir / "ssh"), seen=str(seen),
            path=os.environ["PATH"], port=getattr(ssh_world, server).port, user=ssh_world.user,
            key=str(ssh_world.key), target=path))
        (hook / "ssh").chmod(0o755)
        monkeypatch.setenv("PATH", f"{hook}{os.pathsep}{os.environ['PATH']}")
        info = client.write_text_atomic(path, "ours")
        versions = json.loads(seen.read_text())
        assert info.version == versions["ours"] != versions["theirs"]
        assert info.size == 4
        with pytest.raises(_core.ConflictError, match=f"^write conflict: {path}$"):
            client.write_text_atomic(path, "next", expected_version=info.version)
        assert (local / "v.txt").read_text() == "theirs, unseen"
        assert leftovers(local) == []

    @pytest.mark.parametrize("server", ["main"])
    def test_ctrl_c_during_a_write_keeps_the_old_file(self, clients, rdir):
        remote, local = rdir
        (local / "big").write_bytes(b"original")
        client = clients("main", max_transfer_bytes=256 << 20)
        client.exists(".")  # the master connection is up before the clock matters
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):  # 200 MiB take about 0.6 s over loopback
            client.write_bytes(f"{remote}/big", b"x" * (200 << 20))
        assert time.monotonic() - started < 0.7
        assert wait_until(lambda: leftovers(local) == [], 10), leftovers(local)
        assert (local / "big").read_bytes() == b"original"


# ---- windows ----------------------------------------------------------------------------------


def reference_window(lines, offset, limit):
    """What a window must hold, computed from the line list directly."""
    total = len(lines)
    if offset < 0:
        start = max(total + offset + 1, 1)
        return "".join(lines[start - 1:]), total, start, total, False
    start = max(offset, 1)
    end = min(start + limit - 1, total)
    if start > total:
        return "", total, total + 1, total, False
    return "".join(lines[start - 1:end]), total, start, end, end < total


WINDOW_FILES = {
    "three": ["a\n", "b\n", "c\n"],
    "no-final-newline": ["one\n", "two"],
    "empty": [],
    "crlf": ["x\r\n", "y\r\n"],
    "hundred": [f"line {i}\n" for i in range(1, 101)],
}
WINDOW_REQUESTS = [(0, 10), (1, 10), (5, 1), (2, 1), (3, 1), (4, 1), (-2, 7), (-1, 1),
                   (-1000, 1), (95, 10), (100, 1), (101, 5), (200, 10), (1, 2**64 - 1),
                   (2**63 - 1, 2**64 - 1), (-(2**63), 1)]


class TestWindows:
    def test_boundaries(self, client, rdir):
        remote, local = rdir
        for name, lines in WINDOW_FILES.items():
            (local / name).write_text("".join(lines), newline="")
            for offset, limit in WINDOW_REQUESTS:
                got = client.read_text_window(f"{remote}/{name}", offset, limit)
                assert got == reference_window(lines, offset, limit), (name, offset, limit)

    def test_refusals_and_decoding(self, client, rdir):
        remote, local = rdir
        (local / "d").mkdir()
        os.mkfifo(local / "fifo")
        os.symlink("nowhere", local / "dangling")
        with pytest.raises(ValueError, match="^limit must be > 0$"):
            client.read_text_window(f"{remote}/d", 1, 0)
        with pytest.raises(_core.FileNotFoundError,
                           match=f"^SSH read_text_window failed: {remote}/m: file does not exist$"):
            client.read_text_window(f"{remote}/m", 1, 1)
        with pytest.raises(_core.ClientError, match=f"^SSH read_text_window failed: {remote}/d: path is a directory$"):
            client.read_text_window(f"{remote}/d", 1, 1)
        for name in ("fifo", "dangling"):
            with pytest.raises(_core.ClientError, match="path is not a regular file$"):
                client.read_text_window(f"{remote}/{name}", 1, 1)
        (local / "latin").write_bytes(b"caf\xe9\n\xff\n")
        assert client.read_text_window(f"{remote}/latin", 1, 1, encoding="latin-1")[0] == "caf\xe9\n"
        assert client.read_text_window(f"{remote}/latin", 2, 1)[0] == "\ufffd\n"


# ---- exec ---------------------------------------------------------------------------------------


class TestExec:
    def test_output_status_and_control_line(self, client):
        result = client.exec_command("echo out; echo err >&2; exit 3")
        assert (result.exit_code, result.stdout, result.stderr) == (3, "out\n", "err\n")
        assert (result.stdout_total_bytes, result.stderr_total_bytes) == (4, 4)
        assert (result.command, result.cwd, result.timed_out, result.ok) == (
            "echo out; echo err >&2; exit 3", "~", False, False)
        assert "__TARNWISTLE_" not in result.stderr
        result = client.exec_command("head -c 5000 /dev/zero | tr '\\0' a", max_output_bytes=100)
        assert result.stdout_total_bytes == 5000 and result.stdout_omitted_bytes == 4900
        assert "[truncated, 4900 bytes omitted]" in result.stdout

    def test_env_stdin_and_quoting(self, client):
        for value in ["it's", 'say "hi" $HOME `id` \\n', "", "line\nbreak"]:
            result = client.exec_command('printf %s "$V"', env={"V": value, "N": 5})
            assert (result.exit_code, result.stdout) == (0, value)
        result = client.exec_command("cat; printf '%s' \"$HOME\" | wc -c >/dev/null", stdin="h\u00e9llo")
        assert result.stdout == "h\u00e9llo"
        assert client.exec_command("echo '$x' \"'\"").stdout == "$x '\n"
        assert client.exec_command("cat").stdout == ""  # no stdin: end of file at once

    def test_interpreters(self, client):
        result = client.exec_command("import sys; print(sys.argv[0], 'ok')", interpreter=" python3 ")
        assert (result.exit_code, result.stdout) == (0, "-c ok\n")
        assert result.extras == {"interpreter": "python3", "flags": "-c"}
        result = client.exec_command("echo $-", interpreter="/bin/sh", flags="-e")
        assert result.stdout.strip().count("e") == 1 and result.extras["flags"] == "-e -c"
        assert client.exec_command("echo plain", interpreter="  ", flags="-x").extras == {}

    def test_working_directories(self, client, rdir):
        remote, local = rdir
        (local / "in dir").mkdir()
        result = client.exec_command("pwd", cwd=f"{remote}/in dir")
        assert result.stdout == f"{local}/in dir\n" and result.cwd == f"~/{remote}/in dir"
        missing = client.exec_command("echo ran", cwd=f"{remote}/missing")
        assert missing.exit_code != 0 and missing.stdout == ""
        assert "missing" in missing.stderr

    @pytest.mark.parametrize("limit", [None, 16])  # 16: less than half the control line
    def test_timeout_stops_the_command_and_its_background_children(self, ssh_world, client, limit):
        a, b = sleep_tag(40), sleep_tag(50)
        started = time.monotonic()
        result = client.exec_command(f"sleep {a} & sleep {b} & sleep {a}; wait", timeout=0.5,
                                     max_output_bytes=limit)
        assert (result.timed_out, result.exit_code) == (True, 124)
        assert time.monotonic() - started < 6
        assert "__TARNWISTLE_" not in result.stderr
        assert wait_until(lambda: not ssh_world.running(f"sleep {a}")
                          and not ssh_world.running(f"sleep {b}"), 3)

    def test_ctrl_c_stops_the_remote_command(self, client):
        tag = sleep_tag(30)
        client.exists(".")  # the master connection is up before the clock matters
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            client.exec_command(f"sleep {tag}")
        assert time.monotonic() - started < 0.8
        # Neither the remote command nor the local ssh program runs on.
        assert wait_until(lambda: not running(f"sleep {tag}"), 2)

    def test_concurrent_commands_share_one_client(self, client):
        started = time.monotonic()
        with ThreadPoolExecutor(8) as pool:
            results = list(pool.map(lambda i: client.exec_command(f"sleep 0.5; echo {i}"), range(8)))
        assert [r.stdout for r in results] == [f"{i}\n" for i in range(8)]
        assert time.monotonic() - started < 3.0  # one after the other would take 4 s
