"""LocalClient on this machine's files: construction, paths, FileInfo, whole-file reads, line
windows, writes with versions, deletes and mkdir."""

import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


@pytest.fixture
def work(tmp_path):
    """A canonical working directory (tmp_path itself may sit behind a link)."""
    return Path(os.path.realpath(tmp_path))


@pytest.fixture
def client(core, work):
    return core.LocalClient(str(work))


def small(core, root, limit):
    return core.LocalClient(str(root), max_transfer_bytes=limit)


def error_of(exc, call, *args, **kwargs):
    """The text of the error the call raises, which must be of exactly the class `exc`."""
    with pytest.raises(exc) as e:
        call(*args, **kwargs)
    assert type(e.value) is exc
    return str(e.value)


def version_of(path):
    st = os.lstat(path)
    return f"local:{st.st_size}:{st.st_mtime_ns}:{st.st_dev}:{st.st_ino}"


def temp_leftovers(root):
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names
            if n.startswith(".tarnwistle-") and n.endswith(".tmp")]


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class TestConstruction:
    def test_cwd_forms(self, core, work, monkeypatch):
        (work / "real").mkdir()
        os.symlink("real", work / "link")
        monkeypatch.chdir(work / "link")
        for default in ((), ("",), (None,)):  # the canonical process cwd
            assert core.LocalClient(*default).cwd == str(work / "real")
        assert core.LocalClient("sub/../other").cwd == str(work / "real" / "other")
        assert core.LocalClient("/no/such/dir").cwd == "/no/such/dir"  # need not exist
        assert core.LocalClient("/no/such/../dir/.").cwd == "/no/dir"
        monkeypatch.setenv("HOME", str(work / "link"))
        assert core.LocalClient("~").cwd == str(work / "real")
        assert core.LocalClient(work).cwd == str(work)  # path-like

    @pytest.mark.parametrize(
        "args, kwargs, exc, message",
        [
            ((), {"max_transfer_bytes": 1}, None, None), ((), {"max_transfer_bytes": 268435456}, None, None),
            *[((), {"max_transfer_bytes": v}, ValueError, "max_transfer_bytes must be between 1 and 268435456")
              for v in (0, 268435457, 2**64 - 1)],
            ((), {"max_transfer_bytes": -1}, OverflowError, ""), ((), {"max_transfer_bytes": 2**64}, OverflowError, ""),
            ((), {"max_transfer_bytes": None}, TypeError, "argument 'max_transfer_bytes': "),
            ((), {"max_transfer_bytes": 1.5}, TypeError, "argument 'max_transfer_bytes': "),
            ((), {"cwd": 3}, TypeError, "argument 'cwd': "), ((), {"cwd": b"/tmp"}, TypeError, "argument 'cwd': "),
            ((), {"nope": 1}, TypeError, "LocalClient.__new__() got an unexpected keyword argument 'nope'"),
            (("/", 5), {}, TypeError, "LocalClient.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ],
    )
    def test_arguments(self, core, args, kwargs, exc, message):
        if exc is None:
            assert core.LocalClient("/", *args, **kwargs).cwd == "/"
            return
        with pytest.raises(exc) as e:
            core.LocalClient(*args, **kwargs)
        assert str(e.value).startswith(message)
        assert not isinstance(e.value, core.ClientError)  # a ValueError is no ClientError

    @pytest.mark.parametrize(
        "cwd, text",
        [("/no/such/dir", 'LocalClient(cwd="/no/such/dir")'),
         ('/no/"q"\\', 'LocalClient(cwd="/no/\\"q\\"\\\\")'),
         ("/no/a\tb\nc\x01", 'LocalClient(cwd="/no/a\\tb\\nc\\u{1}")')],
    )
    def test_repr(self, core, cwd, text):
        assert repr(core.LocalClient(cwd)) == text


class TestResolve:
    @pytest.mark.parametrize(
        "path, result",
        [("a/../b", "b"), ("", ""), (".", ""), ("./x/", "x"), ("x//y", "x/y"),
         ("~user/x", "~user/x"), ("/x/./y/", "/x/y"), ("/../x", "/../x"),
         ("/no/such/../..", "/"), ("//no//x", "/no/x")],
    )
    def test_lexical(self, client, work, path, result):
        expected = result if result.startswith("/") else str(work / result) if result else str(work)
        assert client.resolve(path) == expected

    def test_links_home_and_bad_names(self, client, work, monkeypatch):
        (work / "t").mkdir()
        os.symlink("t", work / "l")
        assert client.resolve("l") == str(work / "t")  # resolved when it exists
        assert client.resolve("l/new.txt") == str(work / "l" / "new.txt")  # else as written
        os.symlink("gone", work / "dangling")
        assert client.resolve("dangling") == str(work / "dangling")
        os.mkdir(os.fsencode(str(work)) + b"/\xff")
        os.symlink(b"\xff", os.fsencode(str(work)) + b"/bad")
        assert client.resolve("bad") == str(work) + "/\ufffd"  # invalid UTF-8 is replaced
        monkeypatch.setenv("HOME", str(work))
        assert client.resolve("~") == str(work)
        assert client.resolve("~/a/b") == str(work / "a" / "b")
        assert client.resolve("~//etc") == os.path.realpath("/etc")
        monkeypatch.delenv("HOME")
        assert client.resolve("~/a") == str(work / "~" / "a")

    @pytest.mark.parametrize(
        "parts, result",
        [(("a", "b"), "a/b"), (("a", "/b", "c"), "/b/c"), (("a", ""), "a/"), (("a", 5, "b"), "a/b"),
         ((), ""), (("a/", "b"), "a/b"), (("", "b"), "b"), (("~", ".."), "~/.."),
         (("a", "\udc80", "b"), "a/b")],
    )
    def test_join(self, client, parts, result):
        assert client.join(*parts) == result


class TestPathArguments:
    def test_path_like_everywhere(self, core, client, work):
        def Custom(path):  # any object with __fspath__
            return type("Custom", (), {"__fspath__": lambda self: path})()

        p = Custom("sub/f.txt")
        client.mkdir(Custom("sub"))
        assert client.write_text_atomic(p, "a\nb\n").size == 4
        client.write_text(work / "sub/g.txt", "g")
        client.write_bytes(Path("sub/h.bin"), b"h")
        assert client.resolve(p) == str(work / "sub/f.txt")
        assert (client.exists(p), client.is_file(p), client.is_dir(Custom("sub"))) == (True, True, True)
        assert client.path_info(p) == (True, True, False) and client.stat(p).size == 4
        assert (client.read_text(p), client.read_bytes(p)) == ("a\nb\n", b"a\nb\n")
        assert client.read_text_window(p, -1, 1) == ("b\n", 2, 2, 2, False)
        assert client.exec_command("pwd", cwd=Path("sub")).stdout == f"{work}/sub\n"
        client.delete_if_version(p, expected_version=client.stat(p).version)
        client.delete(Path("sub/g.txt"))
        assert not client.exists(p) and not client.exists("sub/g.txt")
        with pytest.raises(TypeError, match=r"^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
            client.stat(Custom(b"sub/h.bin"))


def make_socket(path):
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(path))
    sock.close()  # the name stays


class TestStat:
    @pytest.mark.parametrize(
        "make, name, kind, is_symlink, described",
        [
            (lambda w: (w / "f").write_bytes(b"hello world\n"), "f", "file", False, "f"),
            (lambda w: (w / "d").mkdir(), "d", "directory", False, "d"),
            (lambda w: os.mkfifo(w / "fifo"), "fifo", "other", False, "fifo"),
            (lambda w: make_socket(w / "sock"), "sock", "other", False, "sock"),
            (lambda w: os.symlink("no-such-target", w / "l"), "l", "symlink", True, "l"),
            (lambda w: ((w / "t").write_text("abc"), os.symlink("t", w / "l")), "l", "file", False,
             "t"),  # a working link describes its target
            (lambda w: (os.symlink("b", w / "a"), os.symlink("a", w / "b")), "a", "symlink", True, "a"),
        ],
    )
    def test_descriptions(self, client, work, make, name, kind, is_symlink, described):
        make(work)
        info = client.stat(name)
        st = os.lstat(work / described)
        assert (info.exists, info.kind, info.size, info.modified_ns, info.is_symlink, info.version) == (
            True, kind, st.st_size, st.st_mtime_ns, is_symlink, version_of(work / described))

    def test_reprs(self, client, work):
        info = client.stat("missing.txt")
        assert (info.exists, info.kind, info.size, info.modified_ns, info.is_symlink, info.version) == (
            False, "missing", 0, None, False, None)
        assert repr(info) == 'FileInfo(exists=false, kind="missing", size=0, version=None)'
        (work / "f").write_bytes(b"hello world\n")
        info = client.stat("f")
        assert repr(info) == f'FileInfo(exists=true, kind="file", size=12, version=Some("{info.version}"))'

    @pytest.mark.parametrize("mtime_ns", [-5 * 10**9, -1, -(10**9) + 1, 0, 999_999_999,
                                          7_258_118_400_123_456_789])
    def test_times(self, client, work, mtime_ns):
        p = work / "t"
        p.write_text("x")
        os.utime(p, ns=(0, mtime_ns))
        info = client.stat("t")
        shown = mtime_ns if mtime_ns >= 0 else None  # before the epoch: not representable
        st = os.lstat(p)
        assert (info.modified_ns, info.version) == (shown, f"local:1:{shown or 0}:{st.st_dev}:{st.st_ino}")

    def test_family_answers(self, client, work):
        (work / "f").write_text("x")
        (work / "d").mkdir()
        expected = [(True, True, False), (True, False, True), (False, False, False)]
        assert [client.path_info(p) for p in ("f", "d", "m")] == expected
        assert [(client.exists(p), client.is_file(p), client.is_dir(p)) for p in ("f", "d", "m")] == expected

    @pytest.mark.parametrize("method", ["stat", "exists", "is_file", "is_dir", "path_info"])
    def test_family_errors_raise_instead_of_false(self, core, client, work, method):
        (work / "file.txt").write_text("x")
        assert error_of(core.ClientError, getattr(client, method), "file.txt/x") == (
            "stat failed: file.txt/x: Not a directory (os error 20)")

    # Writes and deletes check their target first, so they fail with its stat error.
    @pytest.mark.parametrize("call", [
        lambda c, p: c.stat(p), lambda c, p: c.write_bytes(p, b"x"),
        lambda c, p: c.write_text_atomic(p, "x"),
        lambda c, p: c.delete_if_version(p, expected_version="v")],
        ids=["stat", "write_bytes", "write_text_atomic", "delete_if_version"])
    @pytest.mark.parametrize("path, message", [
        ("a\0b", "stat failed: a\0b: file name contained an unexpected NUL byte"),
        ("n" * 300, "stat failed: " + "n" * 300 + ": File name too long (os error 36)")])
    def test_bad_names(self, core, client, work, call, path, message):
        assert error_of(core.ClientError, call, client, path).startswith(message)
        assert list(work.iterdir()) == []


class TestRead:
    def test_bytes_text_and_codecs(self, client, work):
        (work / "f").write_bytes(b"caf\xc3\xa9\r\n\xff\xfe")
        assert client.read_bytes("f") == b"caf\xc3\xa9\r\n\xff\xfe"
        assert client.read_text("f") == "café\r\n\ufffd\ufffd"  # decoding is lenient
        assert client.read_text("f", encoding="latin-1") == "cafÃ©\r\n\xff\xfe"
        client.write_text("g", "h\xe9llo", encoding="latin-1")
        assert (work / "g").read_bytes() == b"h\xe9llo"
        assert client.read_text("g", encoding="latin-1") == "h\xe9llo"

    def test_large_files_in_turn_read_whole(self, client, work):
        # Large reads reuse their buffers from call to call: each must hold only its own file.
        for size, char in [(3_000_000, "a"), (70_000, "é"), (1_000_000, "b"), (65_536, "c")]:
            data = (char * size).encode()[:size]
            (work / "big").write_bytes(data)
            assert client.read_bytes("big") == data
            assert client.read_text("big") == data.decode("utf-8", "replace")

    def test_limit_is_inclusive_and_sizeless_files(self, core, client, work):
        c = small(core, work, 10)
        (work / "ten").write_bytes(b"x" * 10)
        assert (len(c.read_bytes("ten")), len(c.read_text("ten"))) == (10, 10)
        assert os.lstat("/proc/self/status").st_size == 0
        assert client.read_text("/proc/self/status").startswith("Name:")  # read normally
        with open("/proc/self/cmdline", "rb") as f:
            assert client.read_bytes("/proc/self/cmdline") == f.read()

    @pytest.mark.parametrize(
        "method, path, kwargs, exc, message",
        [
            ("read_bytes", "nope.txt", {}, "FileNotFoundError", "read_bytes failed: nope.txt: file does not exist"),
            ("read_text", "nope.txt", {}, "FileNotFoundError", "read_text failed: nope.txt: file does not exist"),
            ("read_text", "nope.txt", {"encoding": "nope"}, "FileNotFoundError",  # the file is read first
             "read_text failed: nope.txt: file does not exist"),
            ("read_bytes", "eleven", {}, "TransferLimitError",
             "read_bytes failed: eleven: file size 11 exceeds the configured transfer limit of 10 bytes"),
            ("read_text", "eleven", {}, "TransferLimitError",
             "read_text failed: eleven: file size 11 exceeds the configured transfer limit of 10 bytes"),
            ("read_bytes", "/dev/zero", {}, "TransferLimitError",  # no size: still bounded
             "read_bytes failed: /dev/zero: file size 11 exceeds the configured transfer limit of 10 bytes"),
            ("read_bytes", "l", {}, "FileNotFoundError", "read_bytes failed: l: No such file or directory (os error 2)"),
            ("read_text", "d", {}, "ClientError", "read_text failed: d: Is a directory (os error 21)"),
            # The path is named as given, even when it holds the inner operation's own words.
            ("read_text", "f/x", {}, "ClientError", "stat failed: f/x: Not a directory (os error 20)"),
            ("read_text", "read_bytes failed/x", {}, "ClientError",
             "stat failed: read_bytes failed/x: Not a directory (os error 20)"),
            ("read_text", "f", {"encoding": "nope"}, "ClientError",
             "read_text failed: f: LookupError: unknown encoding: nope"),
            ("read_text_window", "nope.txt", {}, "FileNotFoundError", "read_window failed: nope.txt: file does not exist"),
            ("read_text_window", "d", {}, "ClientError", "read_window failed: d: path is a directory"),
            ("read_text_window", "fifo", {}, "ClientError", "read_window failed: fifo: path is not a regular file"),
            ("read_text_window", "l", {}, "ClientError", "read_window failed: l: path is not a regular file"),
        ],
    )
    def test_errors(self, core, work, method, path, kwargs, exc, message):
        (work / "eleven").write_bytes(b"x" * 11)
        for name in ("f", "read_bytes failed"):
            (work / name).write_text("x")
        (work / "d").mkdir()
        os.mkfifo(work / "fifo")
        os.symlink("gone", work / "l")
        limit = 10 if exc == "TransferLimitError" else 268435456  # a directory has a size too
        window = (1, 1) if method == "read_text_window" else ()
        call = getattr(small(core, work, limit), method)
        assert error_of(getattr(core, exc), call, path, *window, **kwargs) == message

    def test_zero_limit_before_file_access(self, client):
        with pytest.raises(ValueError, match=r"^limit must be > 0$"):
            client.read_text_window("missing", 1, 0)


def model_window(data: bytes, offset: int, limit: int, max_bytes: int):
    """An independent model of the window, from Python's own line splitting."""
    parts = data.split(b"\n")
    lines = [p + b"\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    total = len(lines)
    if offset >= 0:
        start = offset or 1
        kept = lines[start - 1 : start - 1 + limit]
        if sum(map(len, kept)) > max_bytes:
            return "limit"
        s = start if start <= total else total + 1
        end = s - 1 + len(kept) if kept else total
        return b"".join(kept), total, s, end, end < total
    k = -offset
    run = 0
    for i, line in enumerate(lines):  # the check after every line, over the last k lines
        run += len(line)
        if i >= k:
            run -= len(lines[i - k])
        if run > max_bytes:
            return "limit"
    kept = lines[-k:] if lines else []
    return b"".join(kept), total, total - len(kept) + 1, total, False


def window(core, path, offset, limit, max_bytes):
    c = core.LocalClient(str(path.parent), max_transfer_bytes=max_bytes)
    try:
        text, total, start, end, truncated = c.read_text_window(path.name, offset, limit,
                                                                encoding="latin-1")
    except core.TransferLimitError:
        return "limit"
    return text.encode("latin-1"), total, start, end, truncated


HUNDRED = b"".join(b"line %d\n" % i for i in range(1, 101))


class TestWindow:
    @pytest.mark.parametrize(
        "data, offset, limit, expected",
        [  # HUNDRED: first and last line shown, then total, start, end, truncated
            (HUNDRED, 1, 10, (1, 10, 100, 1, 10, True)), (HUNDRED, 0, 10, (1, 10, 100, 1, 10, True)),
            (HUNDRED, 95, 10, (95, 100, 100, 95, 100, False)),
            (HUNDRED, 200, 10, (None, None, 100, 101, 100, False)),
            (HUNDRED, 101, 1, (None, None, 100, 101, 100, False)),
            (HUNDRED, 100, 1, (100, 100, 100, 100, 100, False)), (HUNDRED, 99, 1, (99, 99, 100, 99, 99, True)),
            (HUNDRED, 1, 2**64 - 1, (1, 100, 100, 1, 100, False)),
            (HUNDRED, 2**63 - 1, 2**64 - 1, (None, None, 100, 101, 100, False)),
            (HUNDRED, -5, 1, (96, 100, 100, 96, 100, False)), (HUNDRED, -100, 1, (1, 100, 100, 1, 100, False)),
            (HUNDRED, -101, 1, (1, 100, 100, 1, 100, False)),
            (HUNDRED, -(2**63), 1, (1, 100, 100, 1, 100, False)),
            (b"", 1, 5, ("", 0, 1, 0, False)), (b"", -1, 5, ("", 0, 1, 0, False)),
            (b"a\nb\nc", 2, 1, ("b\n", 3, 2, 2, True)), (b"a\nb\nc", -1, 1, ("c", 3, 3, 3, False)),
            (b"a\nb\nc", 3, 5, ("c", 3, 3, 3, False)),  # no final newline
            (b"a\r\nb\r\n", 2, 1, ("b\r\n", 2, 2, 2, False)),  # CRLF kept
            (b"a\r\nb\r\n", -2, 1, ("a\r\nb\r\n", 2, 1, 2, False)),
        ],
    )
    def test_worked_values(self, client, work, data, offset, limit, expected):
        (work / "f").write_bytes(data)
        if len(expected) == 6:  # lines first..last of HUNDRED
            first, last, *rest = expected
            text = "" if first is None else "".join(f"line {i}\n" for i in range(first, last + 1))
            expected = (text, *rest)
        assert client.read_text_window("f", offset, limit) == expected

    @pytest.mark.parametrize(
        "data, offset, limit, expected",
        [
            (b"x" * 19 + b"\nab\n", -1, 1, None),  # the tail fails on any long line
            (b"aaa\n" * 4 + b"b\n", -2, 1, ("aaa\nb\n", 5, 4, 5, False)),
            (b"aaa\n" * 4 + b"b\n", -3, 1, None),  # any 3 lines of "aaa\n" are 12 bytes
            (b"12345\n" * 3 + b"x" * 100, 1, 2, ("12345\n12345\n", 4, 1, 2, True)),  # 10+2 bytes
            (b"12345\n" * 3 + b"x" * 100, 1, 3, None),
            (b"x" * 50 + b"\nok\n" + b"y" * 50, 2, 1, ("ok\n", 3, 2, 2, True)),  # lines outside
        ],
    )
    def test_limits(self, core, work, data, offset, limit, expected):
        (work / "f").write_bytes(data)
        bound = 12 if data.startswith(b"12345") else 10
        c = small(core, work, bound)
        if expected is not None:
            assert c.read_text_window("f", offset, limit) == expected
            return
        assert error_of(core.TransferLimitError, c.read_text_window, "f", offset, limit) == (
            f"read window exceeds the configured transfer limit of {bound} bytes")


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.txt"
    # Varied line lengths, a line longer than any read buffer, CR bytes, no final newline.
    parts = [b"%d %s\n" % (i, b"z" * (i % 97)) for i in range(60000)]
    parts.insert(30000, b"L" * 1_500_000 + b"\r\n")
    parts.append(b"tail without newline")
    data = b"".join(parts)
    path.write_bytes(data)
    return path, data


class TestWindowStreaming:
    """Files larger than the read buffer, checked against the model."""

    @pytest.mark.parametrize(
        "offset, limit, max_bytes",
        [(1, 5, 2**28), (4000, 3, 2**28), (29999, 3, 2**28), (30001, 1, 2**28), (30002, 40000, 2**28),
         (59990, 100, 2**28), (60002, 1, 2**28), (60003, 1, 2**28)]
        + [(-k, 1, 2**28) for k in (1, 2, 3, 100, 5000, 29000, 31000, 70000)]
        + [(o, 20, m) for o in (-1, -10, -400, 29990) for m in (1_400_000, 1_500_001, 1_500_002, 1_600_000, 6_000_000)],
    )
    def test_matches_model(self, core, big, offset, limit, max_bytes):
        path, data = big
        assert window(core, path, offset, limit, max_bytes) == model_window(data, offset, limit, max_bytes)

    @settings(max_examples=300, deadline=None)
    @given(data=st.lists(st.sampled_from([b"a", b"bb", b"\n", b"\r\n", b"xyz\n", b"\n\n"]), max_size=40).map(b"".join),
           offset=st.integers(-50, 50), limit=st.integers(1, 50), max_bytes=st.integers(1, 60))
    def test_small_files_match_model(self, core, tmp_path_factory, data, offset, limit, max_bytes):
        path = tmp_path_factory.getbasetemp() / "hypothesis-window.txt"
        path.write_bytes(data)
        assert window(core, path, offset, limit, max_bytes) == model_window(data, offset, limit, max_bytes)


class TestGilReleased:
    def test_blocked_read_lets_other_threads_run(self, core, work):
        # Opening a FIFO for reading blocks until a writer comes: only another Python thread of
        # the same process can be that writer, so this finishes only if the GIL is released.
        os.mkfifo(work / "fifo")
        code = textwrap.dedent(f"""
            import os, threading
            from tarnwistle import _core
            def writer():
                with open({str(work / "fifo")!r}, "wb") as f:
                    f.write(b"from another thread")
            t = threading.Thread(target=writer)
            t.start()
            print(_core.LocalClient({str(work)!r}).read_bytes("fifo"))
            t.join()
        """)
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(core.__file__)))
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20, env=env)
        assert out.stdout.strip() == "b'from another thread'", out.stderr


class TestWrite:
    def test_methods_and_results(self, core, client, work):
        assert client.write_text("a/b/t.txt", "héllo") is None  # parents are made
        assert client.write_bytes("b.bin", [0, 255, 10]) is None
        info = client.write_text_atomic("a.txt", "abc")
        assert (work / "a" / "b" / "t.txt").read_bytes() == "héllo".encode()
        assert (work / "b.bin").read_bytes() == b"\x00\xff\n"
        assert type(info) is core.FileInfo
        assert info.version == version_of(work / "a.txt") and info.size == 3
        again = client.write_text_atomic("a.txt", "abc")
        assert again.version.split(":")[-1] != info.version.split(":")[-1]  # a new inode

    def test_permissions_and_links(self, client, work):
        old = os.umask(0)
        try:
            client.write_text("new", "x")
        finally:
            os.umask(old)
        assert mode_of(work / "new") == 0o600  # the umask does not widen new files
        (work / "shared").write_text("old")
        os.chmod(work / "shared", 0o644)
        client.write_text_atomic("shared", "new")
        assert mode_of(work / "shared") == 0o644
        (work / "target").write_text("old")
        os.chmod(work / "target", 0o640)
        os.symlink("target", work / "link")
        client.write_text("link", "new")  # through the link, which stays
        assert (os.readlink(work / "link"), (work / "target").read_text()) == ("target", "new")
        assert mode_of(work / "target") == 0o640
        os.symlink("gone", work / "dangling")
        assert client.write_text_atomic("dangling", "x").kind == "file"
        assert stat.S_ISREG(os.lstat(work / "dangling").st_mode)
        assert mode_of(work / "dangling") == 0o600  # not the link's 0o777

    def test_failures(self, core, client, work):
        (work / "d").mkdir()
        assert error_of(core.ClientError, client.write_text, "d", "x").startswith("write_text failed: d: ")
        assert (work / "d").is_dir() and temp_leftovers(work) == []  # failed at the rename
        (work / "file.txt").write_text("x")
        assert error_of(core.ClientError, client.write_bytes, "file.txt/x", b"y") == (
            "write_bytes failed: file.txt/x: File exists (os error 17)")

    @pytest.mark.parametrize(
        "method, label", [("write_text", "write_text"), ("write_text_atomic", "write_bytes"),
                          ("write_bytes", "write_bytes")]
    )
    def test_limit_is_inclusive(self, core, work, method, label):
        c = small(core, work, 10)
        content = (lambda n: b"x" * n) if method == "write_bytes" else (lambda n: "x" * n)
        getattr(c, method)("ok", content(10))
        assert error_of(core.TransferLimitError, getattr(c, method), "new/over", content(11)) == (
            f"{label} failed: new/over: content size 11 exceeds the configured transfer limit of 10 bytes")
        assert not (work / "new").exists()  # checked before any directory is made

    @pytest.mark.parametrize("method", ["write_text", "write_text_atomic"])
    @pytest.mark.parametrize(
        "content, encoding, names",
        [("\udc80", "utf-8", "UnicodeEncodeError"), (b"abc", "utf-8", "AttributeError"),
         (5, "utf-8", "AttributeError"), ("x", "nope", "LookupError"),
         ("€", "latin-1", "UnicodeEncodeError")],
    )
    def test_encoding_failures(self, core, client, work, method, content, encoding, names):
        message = error_of(core.ClientError, getattr(client, method), "f", content, encoding=encoding)
        assert message.startswith(f"{method} failed: f: {names}: ")
        assert not (work / "f").exists()

    def test_odd_encoders(self, core, client):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no")

        def encoder(answer):
            def encode(self, *args):
                if isinstance(answer, Exception):
                    raise answer
                return answer
            return type("Odd", (str,), {"encode": encode})("x")

        for answer, end in [("not bytes", "f: 'str' object cannot be converted to 'PyBytes'"),
                            # surrogatepass gives three bytes that are no valid sequence
                            (ValueError("bad \udc80 char"), "f: ValueError: bad \ufffd\ufffd\ufffd char"),
                            (Unprintable(), "Unprintable: <exception str() failed>")]:
            message = error_of(core.ClientError, client.write_text, "f", encoder(answer))
            assert message.startswith("write_text failed: f: ") and message.endswith(end)


class TestVersionsAndDeletes:
    def test_expected_version(self, core, client, work):
        (work / "f").write_text("v1")
        v = client.stat("f").version
        new = client.write_text_atomic("f", "v2", expected_version=v)
        assert error_of(core.ConflictError, client.write_text_atomic, "f", "v3", expected_version=v) == (
            f'write conflict: f: expected version "{v}", found Some("{new.version}")')
        assert (work / "f").read_text() == "v2"
        assert error_of(core.ConflictError, client.write_text_atomic, "m", "x", expected_version='a"b') == (
            'write conflict: m: expected version "a\\"b", found None')
        assert not (work / "m").exists()

    def test_create_only(self, core, client, work):
        assert client.write_text_atomic("c", "first", create_only=True).exists
        message = error_of(core.ConflictError, client.write_text_atomic, "c", "second", create_only=True,
                           expected_version="wrong")
        assert message == "write conflict: c: destination already exists"  # checked first
        assert (work / "c").read_text() == "first"
        assert temp_leftovers(work) == []

    def test_delete_and_versions(self, core, client, work):
        (work / "f").write_text("x")
        v = client.stat("f").version
        assert error_of(core.ConflictError, client.delete_if_version, "f", expected_version="local:0:0:0:0") == (
            f'delete conflict: f: expected version "local:0:0:0:0", found Some("{v}")')
        assert (work / "f").exists()
        client.delete_if_version("f", expected_version=v)
        assert not (work / "f").exists()
        assert error_of(core.FileNotFoundError, client.delete, "f") == "delete failed: f: file does not exist"
        client.write_text("g", "y")
        client.delete_if_version("g")  # no version: plain delete
        assert not (work / "g").exists()
        (work / "d").mkdir()
        assert error_of(core.ClientError, client.delete, "d") == "delete failed: d: Is a directory (os error 21)"

    def test_links(self, client, work):
        (work / "target").write_text("x")
        os.symlink("target", work / "link")
        client.delete("link")  # resolution follows the working link
        assert not (work / "target").exists()
        assert os.path.islink(work / "link")
        client.delete("link")  # now dangling: the link itself goes
        assert not os.path.lexists(work / "link")


class TestMkdir:
    @pytest.mark.parametrize(
        "setup, path, parents, exist_ok, error",
        [
            (None, "a/b/c", True, True, None), ("dir", "d", True, True, None),
            ("file", "f", True, True, "File exists (os error 17)"),
            ("file", "f/x", True, True, "Not a directory (os error 20)"),
            (None, "a/b/c", True, False, None), ("dir", "d", True, False, "already exists"),
            ("file", "f", True, False, "already exists"),
            (None, "n", False, True, None), ("dir", "d", False, True, None),
            ("link", "l", False, True, None),  # a link to a directory counts as existing
            ("file", "f", False, True, "File exists (os error 17)"),
            (None, "a/b", False, True, "No such file or directory (os error 2)"),
            (None, "n", False, False, None), ("dir", "d", False, False, "File exists (os error 17)"),
            (None, "a/b", False, False, "No such file or directory (os error 2)"),
        ],
    )
    def test_table(self, core, client, work, setup, path, parents, exist_ok, error):
        if setup in ("dir", "link"):
            (work / "d").mkdir()
            os.symlink("d", work / "l")
        elif setup == "file":
            (work / "f").write_text("x")
        if error is None:
            client.mkdir(path, parents=parents, exist_ok=exist_ok)
            assert (work / path).is_dir()
            return
        # whatever the system's error, a plain ClientError
        assert error_of(core.ClientError, client.mkdir, path, parents=parents, exist_ok=exist_ok) == (
            f"mkdir failed: {path}: {error}")


# Permission errors that root never sees, met as an ordinary user.
UNPRIVILEGED = textwrap.dedent("""
    import json, os, sys
    from tarnwistle import _core
    root = sys.argv[1]
    c = _core.LocalClient(root)
    os.mkdir(f"{root}/ro")
    open(f"{root}/ro/f", "w").write("old")
    os.chmod(f"{root}/ro", 0o555)
    open(f"{root}/secret", "w").write("x")
    os.chmod(f"{root}/secret", 0)
    def attempt(call):
        try:
            call()
            return "no error"
        except _core.ClientError as e:
            return [type(e).__name__, str(e)]
    out = {"write": attempt(lambda: c.write_text("ro/f", "new")),
           "create": attempt(lambda: c.write_text_atomic("ro/g", "new", create_only=True)),
           "delete": attempt(lambda: c.delete("ro/f")), "read": attempt(lambda: c.read_bytes("secret")),
           "content": open(f"{root}/ro/f").read(), "listing": os.listdir(f"{root}/ro")}
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


def test_unprivileged_permission_errors(core):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(core.__file__)))
    prefix, reason = unprivileged_command(env)
    if prefix is None:
        pytest.skip(reason)
    root = tempfile.mkdtemp(prefix="tarnwistle-unpriv-")
    os.chmod(root, 0o777)
    try:
        done = subprocess.run(prefix + ["-c", UNPRIVILEGED, root], capture_output=True, text=True,
                              timeout=60, env=env, cwd="/")
        assert done.returncode == 0, done.stderr
        out = json.loads(done.stdout)
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", root], check=False)
        shutil.rmtree(root, ignore_errors=True)
    assert out["write"][0] == "PermissionDeniedError"
    assert out["write"][1].startswith("write_text failed: ro/f: Permission denied (os error 13) at path \"")
    assert "/ro/.tarnwistle-" in out["write"][1] and out["write"][1].endswith('.tmp"')
    assert out["create"][0] == "PermissionDeniedError"
    assert out["delete"] == ["PermissionDeniedError", "delete failed: ro/f: Permission denied (os error 13)"]
    assert out["read"] == ["PermissionDeniedError", "read_bytes failed: secret: Permission denied (os error 13)"]
    assert (out["content"], out["listing"]) == ("old", ["f"])  # no temporary file left behind
