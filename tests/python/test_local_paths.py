"""LocalClient construction, path resolution, join, the stat family and the call pipeline."""

import inspect
import os
import pathlib
from pathlib import Path

import pytest


@pytest.fixture
def work(tmp_path):
    """A canonical working directory (tmp_path itself may sit behind a link)."""
    return pathlib.Path(os.path.realpath(tmp_path))


@pytest.fixture
def client(core, work):
    return core.LocalClient(str(work))


class TestConstruction:
    def test_default_is_canonical_process_cwd(self, core, work, monkeypatch):
        (work / "real").mkdir()
        os.symlink("real", work / "link")
        monkeypatch.chdir(work / "link")
        assert core.LocalClient().cwd == str(work / "real")
        assert core.LocalClient("").cwd == str(work / "real")
        assert core.LocalClient(None).cwd == str(work / "real")

    def test_relative_cwd_joins_process_cwd(self, core, work, monkeypatch):
        monkeypatch.chdir(work)
        assert core.LocalClient("sub/../other").cwd == str(work / "other")

    def test_missing_directory_is_accepted(self, core):
        assert core.LocalClient("/no/such/dir").cwd == "/no/such/dir"
        assert core.LocalClient("/no/such/../dir/.").cwd == "/no/dir"

    def test_home(self, core, work, monkeypatch):
        (work / "home").mkdir()
        os.symlink("home", work / "homelink")
        monkeypatch.setenv("HOME", str(work / "homelink"))
        assert core.LocalClient("~").cwd == str(work / "home")

    def test_path_like(self, core, work):
        assert core.LocalClient(work).cwd == str(work)

    @pytest.mark.parametrize("value", [1, 16777216, 268435456])
    def test_limit_accepted(self, core, value):
        core.LocalClient("/", max_transfer_bytes=value)

    @pytest.mark.parametrize("value", [0, 268435457, 2**64 - 1])
    def test_limit_out_of_range(self, core, value):
        with pytest.raises(ValueError) as e:
            core.LocalClient(max_transfer_bytes=value)
        assert str(e.value) == "max_transfer_bytes must be between 1 and 268435456"
        assert not isinstance(e.value, core.ClientError)

    @pytest.mark.parametrize(
        "kwargs, exc, message",
        [
            ({"max_transfer_bytes": -1}, OverflowError, None),
            ({"max_transfer_bytes": 2**64}, OverflowError, None),
            ({"max_transfer_bytes": None}, TypeError, "argument 'max_transfer_bytes': "),
            ({"max_transfer_bytes": 1.5}, TypeError, "argument 'max_transfer_bytes': "),
            ({"cwd": 3}, TypeError, "argument 'cwd': "),
            ({"cwd": b"/tmp"}, TypeError, "argument 'cwd': "),
            ({"nope": 1}, TypeError, "LocalClient.__new__() got an unexpected keyword argument 'nope'"),
        ],
    )
    def test_bad_arguments(self, core, kwargs, exc, message):
        with pytest.raises(exc) as e:
            core.LocalClient(**kwargs)
        if message is not None:
            assert str(e.value).startswith(message)

    def test_limit_is_keyword_only(self, core):
        with pytest.raises(TypeError, match=r"takes from 0 to 1 positional arguments but 2 were given"):
            core.LocalClient("/", 5)


class TestSurface:
    def test_class_attributes(self, core, client):
        assert core.LocalClient.kind == "local"
        assert client.kind == "local"
        assert core.LocalClient.__module__ == "tarnwistle._core"
        assert core.LocalClient.__doc__ == ""
        assert str(inspect.signature(core.LocalClient)) == "(cwd=None, *, max_transfer_bytes=Ellipsis)"

    def test_read_only(self, core, client):
        for name in ("cwd", "kind"):
            with pytest.raises(AttributeError):
                setattr(client, name, "x")
        with pytest.raises(TypeError):
            type("Sub", (core.LocalClient,), {})

    def test_method_signatures(self, core):
        sig = inspect.signature(core.LocalClient.read_text)
        assert sig.parameters["encoding"].kind is inspect.Parameter.KEYWORD_ONLY
        assert sig.parameters["encoding"].default == "utf-8"
        sig = inspect.signature(core.LocalClient.write_text_atomic)
        assert [(p.name, p.default) for p in sig.parameters.values()][1:] == [
            ("path", inspect.Parameter.empty), ("content", inspect.Parameter.empty),
            ("encoding", "utf-8"), ("expected_version", None), ("create_only", False)]
        assert str(inspect.signature(core.LocalClient.join)) == "(self, /, *parts)"

    def test_member_order(self, core):
        members = [n for n in vars(core.LocalClient) if not n.startswith("__") and n != "exec_command"]
        expected = ["resolve", "join", "stat", "exists", "is_file", "is_dir", "path_info", "read_text",
                    "read_bytes", "read_text_window", "write_text", "write_bytes", "write_text_atomic",
                    "mkdir", "delete", "delete_if_version"]
        assert [m for m in members if m in expected] == expected

    @pytest.mark.parametrize(
        "cwd, text",
        [
            ("/no/such/dir", 'LocalClient(cwd="/no/such/dir")'),
            ('/no/"q"\\', 'LocalClient(cwd="/no/\\"q\\"\\\\")'),
            ("/no/a\tb\nc\x01", 'LocalClient(cwd="/no/a\\tb\\nc\\u{1}")'),
        ],
    )
    def test_repr(self, core, cwd, text):
        assert repr(core.LocalClient(cwd)) == text


class TestResolve:
    @pytest.mark.parametrize(
        "path, rel",
        [("a/../b", "b"), ("", ""), (".", ""), ("./x/", "x"), ("x//y", "x/y"), ("~user/x", "~user/x")],
    )
    def test_relative(self, client, work, path, rel):
        assert client.resolve(path) == (str(work / rel) if rel else str(work))

    @pytest.mark.parametrize(
        "path, result", [("/x/./y/", "/x/y"), ("/../x", "/../x"), ("/no/such/../..", "/"), ("//no//x", "/no/x")]
    )
    def test_absolute_missing(self, client, path, result):
        assert client.resolve(path) == result

    def test_links_resolved_when_existing(self, client, work):
        (work / "t").mkdir()
        os.symlink("t", work / "l")
        assert client.resolve("l") == str(work / "t")
        assert client.resolve("l/new.txt") == str(work / "l" / "new.txt")  # missing: left as written
        os.symlink("gone", work / "dangling")
        assert client.resolve("dangling") == str(work / "dangling")

    def test_home_expansion(self, client, work, monkeypatch):
        monkeypatch.setenv("HOME", str(work))
        assert client.resolve("~") == str(work)
        assert client.resolve("~/a/b") == str(work / "a" / "b")
        assert client.resolve("~//etc") == os.path.realpath("/etc")
        monkeypatch.delenv("HOME")
        assert client.resolve("~/a") == str(work / "~" / "a")

    def test_invalid_utf8_is_replaced(self, client, work):
        os.mkdir(os.fsencode(str(work)) + b"/\xff")
        os.symlink(b"\xff", os.fsencode(str(work)) + b"/l")
        assert client.resolve("l") == str(work) + "/\ufffd"


class TestJoin:
    @pytest.mark.parametrize(
        "parts, result",
        [(("a", "b"), "a/b"), (("a", "/b", "c"), "/b/c"), (("a", ""), "a/"), (("a", 5, "b"), "a/b"),
         ((), ""), (("a/", "b"), "a/b"), (("", "b"), "b"), (("~", ".."), "~/.."), (("a", "\udc80", "b"), "a/b")],
    )
    def test_join(self, client, parts, result):
        assert client.join(*parts) == result


class TestStatFamily:
    def test_answers(self, client, work):
        (work / "f").write_text("x")
        (work / "d").mkdir()
        assert [client.path_info(p) for p in ("f", "d", "m")] == [(True, True, False), (True, False, True),
                                                                  (False, False, False)]
        assert [(client.exists(p), client.is_file(p), client.is_dir(p)) for p in ("f", "d", "m")] == [
            (True, True, False), (True, False, True), (False, False, False)]

    @pytest.mark.parametrize("method", ["stat", "exists", "is_file", "is_dir", "path_info"])
    def test_errors_raise_instead_of_false(self, core, client, work, method):
        (work / "file.txt").write_text("x")
        with pytest.raises(core.ClientError) as e:
            getattr(client, method)("file.txt/x")
        assert str(e.value) == "stat failed: file.txt/x: Not a directory (os error 20)"


class TestPipeline:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda c: c.stat(), "LocalClient.stat() missing 1 required positional argument: 'path'"),
            (lambda c: c.stat("a", "b"), "LocalClient.stat() takes 1 positional argument but 2 were given"),
            (lambda c: c.stat("a", path="b"), "LocalClient.stat() got multiple values for argument 'path'"),
            (lambda c: c.stat(p="a"), "LocalClient.stat() got an unexpected keyword argument 'p'"),
            (lambda c: c.read_text_window("a"),
             "LocalClient.read_text_window() missing 2 required positional arguments: 'offset' and 'limit'"),
            (lambda c: c.mkdir("x", True), "LocalClient.mkdir() takes 1 positional argument but 2 were given"),
            (lambda c: c.join(x="a"), "LocalClient.join() got an unexpected keyword argument 'x'"),
            (lambda c: c.stat(5), "argument 'path': 'int' object cannot be converted to 'PyString'"),
            (lambda c: c.mkdir("x", parents=1), "argument 'parents': 'int' object cannot be converted to 'PyBool'"),
            (lambda c: c.mkdir("x", exist_ok=None),
             "argument 'exist_ok': 'NoneType' object cannot be converted to 'PyBool'"),
            (lambda c: c.write_text_atomic("x", "y", create_only=0),
             "argument 'create_only': 'int' object cannot be converted to 'PyBool'"),
            (lambda c: c.write_bytes("x", "text"), "argument 'data': Can't extract `str` to `Vec`"),
            (lambda c: c.read_text_window("x", "1", 1), "argument 'offset': "),
            (lambda c: c.delete_if_version("x", expected_version=3),
             "argument 'expected_version': 'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_type_errors(self, client, call, message):
        with pytest.raises(TypeError) as e:
            call(client)
        assert str(e.value).startswith(message)

    def test_keywords_need_not_be_interned(self, client, work):
        (work / "f").write_text("x")
        assert client.exists(**{"".join(["pa", "th"]): "f"})

    @pytest.mark.parametrize(
        "call, exc",
        [
            (lambda c: c.read_text_window("x", 1, -1), OverflowError),
            (lambda c: c.read_text_window("x", 2**63, 1), OverflowError),
            (lambda c: c.write_bytes("x", [1, 256]), OverflowError),
            (lambda c: c.stat("\udc80"), UnicodeEncodeError),
        ],
    )
    def test_other_conversion_errors_unchanged(self, client, work, call, exc):
        with pytest.raises(exc):
            call(client)
        assert not (work / "x").exists()

    def test_path_like_arguments(self, core, client, work):
        class Custom:
            def __init__(self, path):
                self.path = path

            def __fspath__(self):
                return self.path

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
        for bad in (Custom(b"sub/h.bin"), 5):
            with pytest.raises(TypeError, match=r"^argument 'path': '(bytes|int)' object cannot be converted to 'PyString'$"):
                client.stat(bad)
        with pytest.raises(TypeError, match="^argument 'cwd': "):
            client.exec_command("true", cwd=b"sub")

    def test_receiver_checked(self, core):
        with pytest.raises(TypeError):
            core.LocalClient.stat(object(), "x")
