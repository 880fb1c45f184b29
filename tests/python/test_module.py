"""The module surface and the one calling pipeline every function and method goes through."""

from __future__ import annotations

import ast
import builtins
import concurrent.futures
import copy
import gc
import inspect
import multiprocessing
import os
import pathlib
import pickle
import re
import sys
import threading
import time

import pytest

import tarnwistle
from tarnwistle import _core

ROOT = pathlib.Path(__file__).resolve().parents[2]

ALL_NAMES = [
    "ClientError", "FileNotFoundError", "PermissionDeniedError", "ConflictError",
    "OperationTimeoutError", "AuthenticationError", "TransferLimitError",
    "FileInfo", "CommandResult", "LocalClient", "SshClient", "Client",
    "normalize_flags", "inject_cmd_flag", "find_matches", "apply_replacements_text", "edit_text",
    "count_lines", "slice_lines", "format_cat_n", "prepare_read", "seek_sequence",
    "derive_new_contents", "apply_line_replacements",
]

CLIENT_MEMBERS = {
    "LocalClient": [
        "kind", "cwd", "resolve", "join", "stat", "exists", "is_file", "is_dir", "path_info",
        "read_text", "read_bytes", "read_text_window", "write_text", "write_bytes",
        "write_text_atomic", "mkdir", "delete", "delete_if_version", "exec_command",
    ],
    "SshClient": [
        "kind", "cwd", "resolve", "join", "stat", "exists", "is_file", "is_dir", "path_info",
        "read_bytes", "read_text", "read_text_window", "write_bytes", "write_text",
        "write_text_atomic", "mkdir", "delete", "delete_if_version", "exec_command",
    ],
}

METHOD_SIGNATURES = {
    **dict.fromkeys(["resolve", "stat", "exists", "is_file", "is_dir", "path_info", "read_bytes",
                     "delete"], "($self, path)"),
    "join": "($self, *parts)",
    "read_text": '($self, path, *, encoding="utf-8")',
    "read_text_window": '($self, path, offset, limit, *, encoding="utf-8")',
    "write_bytes": "($self, path, data)",
    "write_text": '($self, path, content, *, encoding="utf-8")',
    "write_text_atomic": (
        '($self, path, content, *, encoding="utf-8", expected_version=None, create_only=False)'
    ),
    "mkdir": "($self, path, *, parents=True, exist_ok=True)",
    "delete_if_version": "($self, path, *, expected_version=None)",
    "exec_command": (
        "($self, command, *, cwd=None, timeout=None, env=None, stdin=None, interpreter=None,"
        " flags=None, max_output_bytes=None)"
    ),
}

FUNCTION_SIGNATURES = [
    "normalize_flags(flags=None, *, posix=None)", "inject_cmd_flag(interpreter, flags)",
    "find_matches(text, pattern)", "apply_replacements_text(text, matches, new_string)",
    "edit_text(text, old_string, new_string, replace_all)", "count_lines(text)",
    "slice_lines(text, start, take)", "format_cat_n(lines, start_line, total_lines, truncated)",
    "prepare_read(text, offset, limit, show_line_numbers)",
    "seek_sequence(lines, pattern, start, eof)",
    "derive_new_contents(original_content, path, chunks)",
    "apply_line_replacements(lines, replacements)",
]

EXCEPTIONS = ALL_NAMES[:7]
CLASSES = ["FileInfo", "CommandResult", "LocalClient", "SshClient"]
RECORD_FIELDS = {
    "FileInfo": ["exists", "kind", "size", "modified_ns", "is_symlink", "version"],
    "CommandResult": [
        "exit_code", "stdout", "stderr", "command", "cwd", "duration_ms", "timed_out", "signal",
        "stdout_total_bytes", "stderr_total_bytes", "stdout_omitted_bytes", "stderr_omitted_bytes",
        "ok", "truncated", "extras",  # the computed ones last
    ],
}


class TestSurface:
    def test_all_lists_every_name_in_registration_order(self):
        assert _core.__all__ == ALL_NAMES
        assert tarnwistle.__all__ == ALL_NAMES
        assert all(getattr(tarnwistle, name) is getattr(_core, name) for name in ALL_NAMES)
        assert (_core.__doc__, _core.__name__) == ("", "tarnwistle._core")

    @pytest.mark.parametrize("name", EXCEPTIONS)
    def test_exception_classes(self, name):
        cls = getattr(_core, name)
        assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("_core", name, None)
        expected_base = Exception if name == "ClientError" else _core.ClientError
        assert cls.__bases__ == (expected_base,)
        assert cls is not getattr(builtins, name, None)  # our own, not the builtins
        assert not issubclass(cls, OSError)

    @pytest.mark.parametrize("name", CLASSES)
    def test_classes_are_final_unchangeable_heap_types_without_dict(self, name):
        cls = getattr(_core, name)
        assert (cls.__module__, cls.__bases__, bool(cls.__doc__)) == ("tarnwistle._core", (object,), False)
        assert not {"__dict__", "__weakref__"} & set(dir(cls))
        for change in (lambda: type("Sub", (cls,), {}), lambda: setattr(cls, "kind", "other"),
                       lambda: setattr(cls, "stat", None)):
            with pytest.raises(TypeError):
                change()

    @pytest.mark.parametrize("name", sorted(RECORD_FIELDS))
    def test_records(self, name, tmp_path):
        cls = getattr(_core, name)
        fields = [n for n in cls.__dict__ if not n.startswith("__")]
        assert fields == RECORD_FIELDS[name]
        assert all(getattr(cls, n).__doc__ == "" for n in fields)
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls()
        client = _core.LocalClient(str(tmp_path))
        make = (lambda: client.stat("x")) if name == "FileInfo" else (lambda: client.exec_command("true"))
        record, other = make(), make()
        assert type(record) is cls
        for field in fields + ["extra"]:
            with pytest.raises(AttributeError):
                setattr(record, field, None)
        assert not gc.is_tracked(record)
        if name == "CommandResult":  # no comparison or str of its own
            assert record != other and record == record and hash(record) != hash(other)
            assert str(record) == repr(record)

    def test_clients(self, tmp_path):
        assert (_core.LocalClient.kind, _core.SshClient.kind) == ("local", "ssh")
        client = _core.LocalClient(str(tmp_path))
        assert client.kind == "local" and isinstance(client, _core.Client)
        for attr in ("cwd", "kind", "anything"):
            with pytest.raises(AttributeError):
                setattr(client, attr, "x")
        assert not gc.is_tracked(client)
        assert _core.Client == (_core.LocalClient | _core.SshClient)

    @pytest.mark.parametrize("cls_name", sorted(CLIENT_MEMBERS))
    def test_client_members_in_order_with_text_signatures(self, cls_name):
        cls = getattr(_core, cls_name)
        members = [name for name in cls.__dict__ if not name.startswith("__")]
        assert sorted(members) == sorted(CLIENT_MEMBERS[cls_name])
        methods = [name for name in members if name not in ("kind", "cwd")]
        assert methods == [m for m in CLIENT_MEMBERS[cls_name] if m not in ("kind", "cwd")]
        for name, sig in METHOD_SIGNATURES.items():
            method = getattr(cls, name)
            assert method.__text_signature__ == sig, name
            assert method.__doc__ in (None, "")

    def test_constructor_signatures(self):
        assert str(inspect.signature(_core.LocalClient)) == "(cwd=None, *, max_transfer_bytes=Ellipsis)"
        ssh = inspect.signature(_core.SshClient)
        assert list(ssh.parameters)[:3] == ["host", "port", "username"]
        assert ssh.parameters["cwd"].default == "."
        assert ssh.parameters["port"].kind is inspect.Parameter.KEYWORD_ONLY

    @pytest.mark.parametrize("signature", FUNCTION_SIGNATURES)
    def test_function_signatures(self, signature):
        name = signature.split("(")[0]
        fn = getattr(_core, name)
        assert (fn.__name__, fn.__module__, f"{name}{fn.__text_signature__}") == (name, "tarnwistle._core", signature)


def _runtime_surface():
    """Every name of the module and "Class.member" for each member a class adds to its base."""
    surface = set(_core.__all__)
    for name in _core.__all__:
        obj = getattr(_core, name)
        if isinstance(obj, type):
            base = Exception if issubclass(obj, BaseException) else object
            surface |= {f"{name}.{m}" for m in set(dir(obj)) - set(dir(base))
                        if not m.startswith("__")}
    return surface


def _stub_surface():
    tree = ast.parse((ROOT / "src" / "tarnwistle" / "_core.pyi").read_text())
    surface, declared_all = set(), None
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            surface.add(node.name)
            for item in node.body:
                target = getattr(item, "target", None)  # an annotated class attribute
                name = getattr(item, "name", None) or getattr(target, "id", None)
                if name and not name.startswith("__"):
                    surface.add(f"{node.name}.{name}")
        elif isinstance(node, ast.FunctionDef):
            surface.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            target = node.targets[0] if isinstance(node, ast.Assign) else node.target
            if target.id == "__all__":
                declared_all = ast.literal_eval(node.value)
            elif not target.id.startswith("_"):
                surface.add(target.id)
    assert declared_all == _core.__all__
    return surface


def _reference_surface():
    """Names in "## `Name`" headings of docs/api.md and "Class.member" in "### `...`" ones."""
    surface = set()
    for line in (ROOT / "docs" / "api.md").read_text().splitlines():
        if line.startswith("## "):
            surface |= set(re.findall(r"`(\w+)`", line))
        elif line.startswith("### "):
            surface |= set(re.findall(r"`(\w+\.\w+)`", line))
    return surface


@pytest.mark.parametrize("source", [_stub_surface, _reference_surface])
def test_stub_and_reference_name_what_the_module_has(source):
    assert source() == _runtime_surface()


def _conflict_in_this_process(path):
    info = _core.LocalClient().write_text_atomic(path, "one")
    _core.LocalClient().write_text_atomic(path, "two", expected_version=info.version)
    _core.LocalClient().write_text_atomic(path, "three", expected_version=info.version)


class TestErrorsCrossProcesses:
    @pytest.mark.parametrize("name", EXCEPTIONS)
    def test_pickle_and_copy_keep_class_arguments_and_attributes(self, name):
        cls = getattr(_core, name)
        error = cls("write conflict: notes.txt", 7)
        error.__notes__ = ["while editing"]
        error.path = "notes.txt"
        pickled = [pickle.loads(pickle.dumps(error, protocol))
                   for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
        for other in [*pickled, copy.copy(error), copy.deepcopy(error)]:
            assert (type(other), other.args, other.__dict__) == (cls, error.args, error.__dict__)
            assert other is not error
        assert copy.deepcopy(error).__notes__ is not error.__notes__

    def test_an_error_raised_in_a_worker_process_arrives_whole(self, tmp_path):
        # spawn: the worker is a fresh interpreter that only imports the package.
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            future = pool.submit(_conflict_in_this_process, str(tmp_path / "notes.txt"))
            with pytest.raises(_core.ConflictError, match="^write conflict: .*notes.txt: "):
                future.result(timeout=60)


class Index:
    def __index__(self):
        return 1


def f(name, *args):  # a call of the module function `name`
    return lambda c: getattr(_core, name)(*args)


# Each call gets `c`, a LocalClient in the test's own directory, which must stay empty.
PIPELINE = [
    # missing, surplus, repeated and unknown arguments
    (lambda c: _core.edit_text(), TypeError, "edit_text() missing 4 required positional "
     "arguments: 'text', 'old_string', 'new_string', and 'replace_all'"),
    (lambda c: _core.find_matches("x"), TypeError, "find_matches() missing 1 required positional argument: 'pattern'"),
    (lambda c: _core.slice_lines("x"), TypeError,
     "slice_lines() missing 2 required positional arguments: 'start' and 'take'"),
    (lambda c: c.read_text_window("a"), TypeError, "LocalClient.read_text_window() missing 2 "
     "required positional arguments: 'offset' and 'limit'"),
    (lambda c: c.stat(), TypeError, "LocalClient.stat() missing 1 required positional argument: 'path'"),
    (lambda c: c.exec_command(), TypeError,
     "LocalClient.exec_command() missing 1 required positional argument: 'command'"),
    (lambda c: _core.SshClient("h", username="u"), TypeError,
     "SshClient.__new__() missing 1 required keyword-only argument: 'port'"),
    (lambda c: _core.count_lines("a", "b"), TypeError, "count_lines() takes 1 positional argument but 2 were given"),
    (lambda c: c.stat("a", "b"), TypeError, "LocalClient.stat() takes 1 positional argument but 2 were given"),
    (lambda c: c.read_text("a", "utf-8"), TypeError, "LocalClient.read_text() takes 1 positional argument but 2 were given"),
    (lambda c: c.mkdir("x", True), TypeError, "LocalClient.mkdir() takes 1 positional argument but 2 were given"),
    (lambda c: c.exec_command("true", "/tmp"), TypeError,
     "LocalClient.exec_command() takes 1 positional argument but 2 were given"),
    (lambda c: _core.normalize_flags("a", "b"), TypeError,
     "normalize_flags() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda c: _core.count_lines(txt="a"), TypeError, "count_lines() got an unexpected keyword argument 'txt'"),
    (lambda c: c.stat(p="a"), TypeError, "LocalClient.stat() got an unexpected keyword argument 'p'"),
    (lambda c: c.join("a", x="b"), TypeError, "LocalClient.join() got an unexpected keyword argument 'x'"),
    (lambda c: _core.count_lines("a", text="b"), TypeError, "count_lines() got multiple values for argument 'text'"),
    (lambda c: c.stat("a", path="b"), TypeError, "LocalClient.stat() got multiple values for argument 'path'"),
    (lambda c: _core.LocalClient.stat(object(), "x"), TypeError,  # the receiver is checked
     "descriptor 'stat' for 'tarnwistle._core.LocalClient' objects doesn't apply to a 'object' object"),
    # strict bools
    *[(lambda c, v=v: c.mkdir("d", parents=v), TypeError,
       f"argument 'parents': '{type(v).__name__}' object cannot be converted to 'PyBool'")
      for v in (1, 0, None, "yes")],
    (lambda c: c.mkdir("x", exist_ok=None), TypeError,
     "argument 'exist_ok': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda c: c.write_text_atomic("x", "y", create_only=0), TypeError,
     "argument 'create_only': 'int' object cannot be converted to 'PyBool'"),
    # text, and text that is not a sequence
    *[(lambda c, v=v: _core.count_lines(v), TypeError,
       f"argument 'text': '{type(v).__name__}' object cannot be converted to 'PyString'")
      for v in (5, b"x", None, 1.5)],
    (lambda c: c.stat(5), TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda c: c.exec_command(b"true"), TypeError,
     "argument 'command': 'bytes' object cannot be converted to 'PyString'"),
    (lambda c: c.delete_if_version("x", expected_version=3), TypeError,
     "argument 'expected_version': 'int' object cannot be converted to 'PyString'"),
    (lambda c: _core.count_lines("a\udc80"), UnicodeEncodeError, "..."),
    (lambda c: c.stat("\udc80"), UnicodeEncodeError, "..."),
    (lambda c: c.write_bytes("f", "text"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (lambda c: _core.format_cat_n("ab", 1, 1, False), TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
    # unsigned and signed integers
    (lambda c: _core.slice_lines("a", -1, 1), OverflowError, "..."),
    (lambda c: _core.slice_lines("a", 2**64, 1), OverflowError, "..."),
    (lambda c: _core.slice_lines("a", 1.0, 1), TypeError, "argument 'start': ..."),
    (lambda c: _core.slice_lines("a", "3", 1), TypeError, "argument 'start': ..."),
    (lambda c: _core.prepare_read("a\n", -(2**63) - 1, 1, False), OverflowError, "..."),
    (lambda c: _core.prepare_read("a\n", 2**63, 1, False), OverflowError, "..."),
    (lambda c: c.read_text_window("x", "1", 1), TypeError, "argument 'offset': ..."),
    (lambda c: c.read_text_window("missing.txt", 1, -1), OverflowError, "..."),  # before any access
    (lambda c: c.read_text_window("x", 2**63, 1), OverflowError, "..."),
    # byte data
    (lambda c: c.write_bytes("f", [1, 256]), OverflowError, "out of range integral type conversion attempted"),
    (lambda c: c.write_bytes("f", [1, -1]), OverflowError, "out of range integral type conversion attempted"),
    (lambda c: c.write_bytes("f", range(10**18)), OverflowError, "..."),  # fails at its first bad item
    (lambda c: c.write_bytes("f", 5), TypeError, "argument 'data': ..."),
    # the lists and tuples of the text functions
    (f("seek_sequence", "ab", ["a"], 0, False), TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
    (f("seek_sequence", ["a"], [1], 0, False), TypeError, "argument 'pattern': 'int' object cannot..."),
    (f("seek_sequence", ["a"], ["a"], 0, 0), TypeError, "argument 'eof': 'int' object cannot..."),
    (f("seek_sequence", ["\udc80"], ["a"], 0, False), UnicodeEncodeError, "..."),
    (f("derive_new_contents", "a\n", "f", "abc"), TypeError, "argument 'chunks': Can't extract `str` to `Vec`"),
    (f("derive_new_contents", "a\n", "f", [(None, [], [])]), TypeError,
     "argument 'chunks': expected tuple of length 4..."),
    (f("derive_new_contents", "a\n", "f", [(1, [], [], False)]), TypeError, "argument 'chunks': 'int' object cannot..."),
    (f("derive_new_contents", "a\n", "f", [(None, [], [b"x"], False)]), TypeError,
     "argument 'chunks': 'bytes' object cannot..."),
    (f("derive_new_contents", "a\n", "f", [(None, [], [], 1)]), TypeError, "argument 'chunks': 'int' object cannot..."),
    (f("derive_new_contents", "a\n", "f", range(10**18)), TypeError, "argument 'chunks': 'int' object cannot..."),
    (f("derive_new_contents", "a\n", "f", [("\udc80", [], [], False)]), UnicodeEncodeError, "..."),
    (f("apply_line_replacements", ["a"], "ab"), TypeError, "argument 'replacements': Can't extract `str` to `Vec`"),
    (f("apply_line_replacements", ["a"], [(0, 1)]), TypeError,
     "argument 'replacements': expected tuple of length 3..."),
    (f("apply_line_replacements", ["a"], [(0, 1, "x")]), TypeError,
     "argument 'replacements': Can't extract `str` to `Vec`"),
    (f("apply_line_replacements", ["a"], [(0, -1, [])]), OverflowError, "..."),
    (f("apply_line_replacements", ["a"], range(10**18)), TypeError, "argument 'replacements': 'int' object cannot..."),
    (f("apply_replacements_text", "abc", "ab", "x"), TypeError, "argument 'matches': Can't extract `str` to `Vec`"),
    (f("apply_replacements_text", "abc", [(1,)], "x"), TypeError, "argument 'matches': expected tuple of length 2..."),
    (f("apply_replacements_text", "abc", [[0, 1]], "x"), TypeError,
     "argument 'matches': 'list' object cannot be converted..."),
    (f("apply_replacements_text", "abc", [(0, -1)], "x"), OverflowError, "..."),
    (f("apply_replacements_text", "abc", range(10**18), "x"), TypeError,
     "argument 'matches': 'int' object cannot be converted..."),
    (f("edit_text", "a", "a", "b", 1), TypeError, "argument 'replace_all': 'int' object cannot..."),
    (f("edit_text", "a", "\udc80", "b", False), UnicodeEncodeError, "..."),
    (f("format_cat_n", [1], 1, 1, False), TypeError, "argument 'lines': 'int' object cannot be..."),
    (f("format_cat_n", ["ok", "\ud800"], 1, 1, False), UnicodeEncodeError, "..."),
    (f("format_cat_n", range(10**18), 1, 1, False), TypeError,  # fails at its first
     "argument 'lines': 'int' object cannot be..."),
    (f("prepare_read", "a", 1, -1, False), OverflowError, "..."),
    (f("prepare_read", "a", 1, 1, 1), TypeError, "argument 'show_line_numbers': 'int' object..."),
    (f("slice_lines", "a", 0, 1.5), TypeError, "argument 'take': ..."),
    (f("inject_cmd_flag", "bash", "-c"), TypeError, "argument 'flags': Can't extract `str` to `Vec`"),
    (f("inject_cmd_flag", "bash", [1]), TypeError, "argument 'flags': 'int' object cannot be converted..."),
    (f("inject_cmd_flag", None, []), TypeError, "argument 'interpreter': ..."),
    (f("inject_cmd_flag", "ba\udc80sh", []), UnicodeEncodeError, "..."),
]


class TestCallPipeline:
    @pytest.mark.parametrize("call, exc, message", PIPELINE)
    def test_refused_before_anything_is_done(self, tmp_path, call, exc, message):
        with pytest.raises(exc) as info:
            call(_core.LocalClient(str(tmp_path)))
        text = str(info.value)
        assert text.startswith(message[:-3]) if message.endswith("...") else text == message
        assert os.listdir(tmp_path) == []

    def test_accepted_forms(self, tmp_path):
        client = _core.LocalClient(str(tmp_path))
        (tmp_path / "f").write_text("x")
        # keywords that are not interned
        assert _core.count_lines(**{"".join(["te", "xt"]): "a\nb"}) == 2
        assert client.exists(**{"".join(["pa", "th"]): "f"})
        assert client.exec_command(**{"".join(["comm", "and"]): "true"}).ok
        # index objects, the full unsigned and signed ranges
        assert _core.slice_lines("a\nb\n", Index(), 2**64 - 1) == ["b\n"]
        for offset in (-(2**63), 2**63 - 1):
            assert _core.prepare_read("a\n", offset, 1, False)[1] == 1
        for data, stored in [(b"ab", b"ab"), (bytearray(b"\x00\xff"), b"\x00\xff"), ([104, 105], b"hi"),
                             ((1, 2), b"\x01\x02"), (memoryview(b"mv"), b"mv")]:
            client.write_bytes("f", data)
            assert (tmp_path / "f").read_bytes() == stored


class TestGilReleased:
    @pytest.mark.parametrize("operation", ["read_text_window", "read_bytes", "write_bytes", "write_text_atomic",
                                           "find_matches"])
    def test_other_threads_run_during_the_work(self, tmp_path, operation):
        # A spinning thread can only advance while the caller has let go of the GIL.
        data = b"some line of text\n" * (16 * 2**20 // 18)
        (tmp_path / "big").write_bytes(data)
        text = data.decode()
        c = _core.LocalClient(str(tmp_path), max_transfer_bytes=2**28)
        calls = {
            "read_text_window": lambda: c.read_text_window("big", -1, 1),
            "read_bytes": lambda: c.read_bytes("big"),
            "write_bytes": lambda: c.write_bytes("out", data),
            "write_text_atomic": lambda: c.write_text_atomic("out", text),
            "find_matches": lambda: _core.find_matches(text, "zz\nq"),  # exact search, then by lines
        }
        spins = [0]
        stop = threading.Event()

        def spin():
            while not stop.is_set():
                spins[0] += 1
                time.sleep(0)  # hands the GIL back at once, so the caller is never kept waiting

        old = sys.getswitchinterval()
        # The caller is never preempted (a switch is forced only after 5 s): the spinner can get
        # in only when the call lets go of the GIL. Other processes may keep the spinner off the
        # CPU for one short call, so the call is repeated for up to a second.
        sys.setswitchinterval(5.0)
        spinner = threading.Thread(target=spin)
        during = 0
        try:
            spinner.start()
            deadline = time.monotonic() + 1.0
            while during == 0 and time.monotonic() < deadline:
                before = spins[0]
                calls[operation]()
                during = spins[0] - before
        finally:
            stop.set()
            spinner.join()
            sys.setswitchinterval(old)
        assert during > 0
