"""LocalClient writes, deletes and mkdir: atomic replace, versions, create-only, permissions."""

import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest


@pytest.fixture
def client(core, tmp_path):
    return core.LocalClient(str(tmp_path))


def temp_leftovers(root):
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names
            if n.startswith(".tarnwistle-") and n.endswith(".tmp")]


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class TestWrites:
    def test_methods_and_results(self, core, client, tmp_path):
        assert client.write_text("t.txt", "héllo") is None
        assert client.write_bytes("b.bin", [0, 255, 10]) is None
        assert client.write_bytes("ba.bin", bytearray(b"xy")) is None
        info = client.write_text_atomic("a.txt", "abc", encoding="latin-1")
        assert (tmp_path / "t.txt").read_bytes() == "héllo".encode()
        assert (tmp_path / "b.bin").read_bytes() == b"\x00\xff\n"
        assert (tmp_path / "ba.bin").read_bytes() == b"xy"
        assert type(info) is core.FileInfo
        st = os.lstat(tmp_path / "a.txt")
        assert info.version == f"local:3:{st.st_mtime_ns}:{st.st_dev}:{st.st_ino}"

    def test_parents_created(self, client, tmp_path):
        client.write_text("a/b/c.txt", "x")
        assert (tmp_path / "a" / "b" / "c.txt").read_text() == "x"

    def test_identical_rewrite_changes_version(self, client, tmp_path):
        first = client.write_text_atomic("f", "same")
        second = client.write_text_atomic("f", "same")
        assert first.version != second.version
        assert first.version.split(":")[-1] != second.version.split(":")[-1]  # a new inode

    def test_permissions(self, client, tmp_path):
        client.write_text("new", "x")
        assert mode_of(tmp_path / "new") == 0o600
        (tmp_path / "shared").write_text("old")
        os.chmod(tmp_path / "shared", 0o644)
        client.write_text_atomic("shared", "new")
        assert mode_of(tmp_path / "shared") == 0o644

    def test_umask_does_not_widen_new_files(self, client, tmp_path):
        old = os.umask(0)
        try:
            client.write_text("open", "x")
        finally:
            os.umask(old)
        assert mode_of(tmp_path / "open") == 0o600

    def test_write_through_link_keeps_link(self, client, tmp_path):
        (tmp_path / "target").write_text("old")
        os.chmod(tmp_path / "target", 0o640)
        os.symlink("target", tmp_path / "link")
        client.write_text("link", "new")
        assert os.readlink(tmp_path / "link") == "target"
        assert (tmp_path / "target").read_text() == "new"
        assert mode_of(tmp_path / "target") == 0o640

    def test_dangling_link_becomes_private_regular_file(self, client, tmp_path):
        os.symlink("gone", tmp_path / "dangling")
        info = client.write_text_atomic("dangling", "x")
        assert info.kind == "file"
        assert stat.S_ISREG(os.lstat(tmp_path / "dangling").st_mode)
        assert mode_of(tmp_path / "dangling") == 0o600  # not the link's 0o777

    def test_onto_directory_fails_at_rename(self, core, client, tmp_path):
        (tmp_path / "d").mkdir()
        with pytest.raises(core.ClientError) as e:
            client.write_text("d", "x")
        assert str(e.value).startswith("write_text failed: d: ")
        assert (tmp_path / "d").is_dir()
        assert temp_leftovers(tmp_path) == []

    def test_parent_is_a_file(self, core, client, tmp_path):
        (tmp_path / "file.txt").write_text("x")
        with pytest.raises(core.ClientError) as e:
            client.write_bytes("file.txt/x", b"y")
        assert type(e.value) is core.ClientError
        assert str(e.value) == "write_bytes failed: file.txt/x: File exists (os error 17)"


class TestLimits:
    @pytest.mark.parametrize(
        "method, label", [("write_text", "write_text"), ("write_text_atomic", "write_bytes")]
    )
    def test_limit_is_inclusive(self, core, tmp_path, method, label):
        c = core.LocalClient(str(tmp_path), max_transfer_bytes=10)
        getattr(c, method)("ok", "x" * 10)
        with pytest.raises(core.TransferLimitError) as e:
            getattr(c, method)("new/over", "x" * 11)
        assert str(e.value) == (f"{label} failed: new/over: content size 11 exceeds the configured "
                                "transfer limit of 10 bytes")
        assert not (tmp_path / "new").exists()  # checked before any directory is made

    def test_write_bytes_limit(self, core, tmp_path):
        c = core.LocalClient(str(tmp_path), max_transfer_bytes=3)
        with pytest.raises(core.TransferLimitError, match=r"^write_bytes failed: f: content size 4 "):
            c.write_bytes("f", b"abcd")


class TestEncoding:
    @pytest.mark.parametrize("method", ["write_text", "write_text_atomic"])
    @pytest.mark.parametrize(
        "content, encoding, names",
        [("\udc80", "utf-8", "UnicodeEncodeError"), (b"abc", "utf-8", "AttributeError"),
         ("x", "nope", "LookupError"), ("€", "latin-1", "UnicodeEncodeError")],
    )
    def test_failures(self, core, client, tmp_path, method, content, encoding, names):
        with pytest.raises(core.ClientError) as e:
            getattr(client, method)("f", content, encoding=encoding)
        assert str(e.value).startswith(f"{method} failed: f: {names}: ")
        assert not (tmp_path / "f").exists()

    def test_encoder_returning_text(self, core, client):
        class Odd(str):
            def encode(self, *args):
                return "not bytes"

        with pytest.raises(core.ClientError) as e:
            client.write_text("f", Odd("x"))
        assert str(e.value) == "write_text failed: f: 'str' object cannot be converted to 'PyBytes'"


class TestVersions:
    def test_expected_version_once(self, core, client, tmp_path):
        (tmp_path / "f").write_text("v1")
        v = client.stat("f").version
        new = client.write_text_atomic("f", "v2", expected_version=v)
        with pytest.raises(core.ConflictError) as e:
            client.write_text_atomic("f", "v3", expected_version=v)
        assert str(e.value) == f'write conflict: f: expected version "{v}", found Some("{new.version}")'
        assert (tmp_path / "f").read_text() == "v2"

    def test_expected_version_on_missing(self, core, client, tmp_path):
        with pytest.raises(core.ConflictError) as e:
            client.write_text_atomic("m", "x", expected_version='a"b')
        assert str(e.value) == 'write conflict: m: expected version "a\\"b", found None'
        assert not (tmp_path / "m").exists()

    def test_create_only(self, core, client, tmp_path):
        info = client.write_text_atomic("c", "first", create_only=True)
        assert info.exists
        with pytest.raises(core.ConflictError) as e:
            client.write_text_atomic("c", "second", create_only=True, expected_version="wrong")
        assert str(e.value) == "write conflict: c: destination already exists"  # checked first
        assert (tmp_path / "c").read_text() == "first"
        assert temp_leftovers(tmp_path) == []

    def test_race_has_one_winner_per_round(self, core, client, tmp_path):
        path = tmp_path / "race.txt"
        client.write_text("race.txt", "start")
        contents = {f"thread {t} " * 2000 for t in range(8)}
        for _ in range(50):
            version = client.stat("race.txt").version
            barrier = threading.Barrier(8)
            outcomes = []

            def attempt(t):
                barrier.wait()
                try:
                    client.write_text_atomic("race.txt", f"thread {t} " * 2000, expected_version=version)
                    outcomes.append("won")
                except core.ConflictError as e:
                    assert str(e).startswith(f'write conflict: race.txt: expected version "{version}", found Some(')
                    outcomes.append("conflict")

            threads = [threading.Thread(target=attempt, args=(t,)) for t in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert sorted(outcomes) == ["conflict"] * 7 + ["won"]
            assert path.read_text() in contents
        assert temp_leftovers(tmp_path) == []


class TestDelete:
    def test_delete(self, core, client, tmp_path):
        (tmp_path / "f").write_text("x")
        client.delete("f")
        assert not (tmp_path / "f").exists()
        with pytest.raises(core.FileNotFoundError) as e:
            client.delete("f")
        assert str(e.value) == "delete failed: f: file does not exist"

    def test_delete_if_version(self, core, client, tmp_path):
        (tmp_path / "f").write_text("x")
        v = client.stat("f").version
        with pytest.raises(core.ConflictError) as e:
            client.delete_if_version("f", expected_version="local:0:0:0:0")
        assert str(e.value) == f'delete conflict: f: expected version "local:0:0:0:0", found Some("{v}")'
        assert (tmp_path / "f").exists()
        client.delete_if_version("f", expected_version=v)
        assert not (tmp_path / "f").exists()
        client.write_text("g", "y")
        client.delete_if_version("g")  # no version: plain delete
        assert not (tmp_path / "g").exists()

    def test_links(self, client, tmp_path):
        (tmp_path / "target").write_text("x")
        os.symlink("target", tmp_path / "link")
        client.delete("link")  # resolution follows the working link
        assert not (tmp_path / "target").exists()
        assert os.path.islink(tmp_path / "link")
        client.delete("link")  # now dangling: the link itself goes
        assert not os.path.lexists(tmp_path / "link")

    def test_directory(self, core, client, tmp_path):
        (tmp_path / "d").mkdir()
        with pytest.raises(core.ClientError) as e:
            client.delete("d")
        assert type(e.value) is core.ClientError
        assert str(e.value) == "delete failed: d: Is a directory (os error 21)"


class TestMkdir:
    @pytest.mark.parametrize(
        "setup, path, parents, exist_ok, error",
        [
            (None, "a/b/c", True, True, None),
            ("dir", "d", True, True, None),
            ("file", "f", True, True, "File exists (os error 17)"),
            ("file", "f/x", True, True, "Not a directory (os error 20)"),
            (None, "a/b/c", True, False, None),
            ("dir", "d", True, False, "already exists"),
            ("file", "f", True, False, "already exists"),
            (None, "n", False, True, None),
            ("dir", "d", False, True, None),
            ("file", "f", False, True, "File exists (os error 17)"),
            (None, "a/b", False, True, "No such file or directory (os error 2)"),
            (None, "n", False, False, None),
            ("dir", "d", False, False, "File exists (os error 17)"),
            (None, "a/b", False, False, "No such file or directory (os error 2)"),
        ],
    )
    def test_table(self, core, client, tmp_path, setup, path, parents, exist_ok, error):
        if setup == "dir":
            (tmp_path / "d").mkdir()
        elif setup == "file":
            (tmp_path / "f").write_text("x")
        if error is None:
            client.mkdir(path, parents=parents, exist_ok=exist_ok)
            assert (tmp_path / path).is_dir()
            return
        with pytest.raises(core.ClientError) as e:
            client.mkdir(path, parents=parents, exist_ok=exist_ok)
        assert type(e.value) is core.ClientError  # whatever the system's error
        assert str(e.value) == f"mkdir failed: {path}: {error}"

    def test_link_to_directory_counts_as_existing(self, core, client, tmp_path):
        (tmp_path / "d").mkdir()
        os.symlink("d", tmp_path / "l")
        client.mkdir("l", parents=False, exist_ok=True)


# ---- as an ordinary user: permission errors that root never sees ------------------------------

UNPRIVILEGED = textwrap.dedent("""
    import json, os, sys
    from tarnwistle import _core
    root = sys.argv[1]
    c = _core.LocalClient(root)
    out = {}
    os.mkdir(os.path.join(root, "ro"))
    with open(os.path.join(root, "ro", "f"), "w") as f:
        f.write("old")
    os.chmod(os.path.join(root, "ro"), 0o555)
    for name, call in [("write", lambda: c.write_text("ro/f", "new")),
                       ("create", lambda: c.write_text_atomic("ro/g", "new", create_only=True)),
                       ("delete", lambda: c.delete("ro/f"))]:
        try:
            call()
            out[name] = "no error"
        except _core.ClientError as e:
            out[name] = [type(e).__name__, str(e)]
    with open(os.path.join(root, "secret"), "w") as f:
        f.write("x")
    os.chmod(os.path.join(root, "secret"), 0)
    try:
        c.read_bytes("secret")
        out["read"] = "no error"
    except _core.ClientError as e:
        out["read"] = [type(e).__name__, str(e)]
    out["content"] = open(os.path.join(root, "ro", "f")).read()
    out["listing"] = sorted(os.listdir(os.path.join(root, "ro")))
    print(json.dumps(out))
""")


def unprivileged_command(env):
    """argv prefix that runs a Python able to import the module as 'nobody' (as ourselves when
    not root), or a reason why there is none."""
    if os.geteuid() != 0:
        return [sys.executable], None
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        return None, "running as root and setpriv is missing: no way to drop privileges"
    drop = [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
    # The module is abi3: any interpreter from 3.10 on loads it. The test's own interpreter may
    # live where 'nobody' cannot reach (a pyenv build under /root), the system one usually not.
    errors = []
    for python in dict.fromkeys([sys.executable, shutil.which("python3"), "/usr/bin/python3"]):
        if python is None:
            continue
        probe = subprocess.run(drop + [python, "-c", "import tarnwistle._core"], capture_output=True,
                               text=True, timeout=60, env=env, cwd="/")
        if probe.returncode == 0:
            return drop + [python], None
        errors.append(f"{python}: {probe.stderr.strip().splitlines()[-1:]}")
    return None, "user 'nobody' cannot import the installed module: " + "; ".join(errors)


def run_unprivileged(core):
    """Runs UNPRIVILEGED as this user, or as 'nobody' when we are root."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(core.__file__)))
    prefix, reason = unprivileged_command(env)
    if prefix is None:
        pytest.skip(reason)
    root = tempfile.mkdtemp(prefix="tarnwistle-unpriv-")
    os.chmod(root, 0o777)
    try:
        out = subprocess.run(prefix + ["-c", UNPRIVILEGED, root], capture_output=True, text=True,
                             timeout=60, env=env, cwd="/")
        assert out.returncode == 0, out.stderr
        return json.loads(out.stdout)
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", root], check=False)
        shutil.rmtree(root, ignore_errors=True)


def test_unprivileged_permission_errors(core):
    out = run_unprivileged(core)
    assert out["write"][0] == "PermissionDeniedError"
    assert out["write"][1].startswith("write_text failed: ro/f: Permission denied (os error 13) at path \"")
    assert "/ro/.tarnwistle-" in out["write"][1] and out["write"][1].endswith('.tmp"')
    assert out["create"][0] == "PermissionDeniedError"
    assert out["delete"] == ["PermissionDeniedError", "delete failed: ro/f: Permission denied (os error 13)"]
    assert out["read"] == ["PermissionDeniedError", "read_bytes failed: secret: Permission denied (os error 13)"]
    assert out["content"] == "old"
    assert out["listing"] == ["f"]  # no temporary file left behind
