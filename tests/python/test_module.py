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

import pytest

import tarnwistle
from tarnwistle import _core

ROOT = pathlib.Path(__file__).resolve().parents[2]

ALL_NAMES = [
    "ClientError",
    "FileNotFoundError",
    "PermissionDeniedError",
    "ConflictError",
    "OperationTimeoutError",
    "AuthenticationError",
    "TransferLimitError",
    "FileInfo",
    "CommandResult",
    "LocalClient",
    "SshClient",
    "Client",
    "normalize_flags",
    "inject_cmd_flag",
    "find_matches",
    "apply_replacements_text",
    "edit_text",
    "count_lines",
    "slice_lines",
    "format_cat_n",
    "prepare_read",
    "seek_sequence",
    "derive_new_contents",
    "apply_line_replacements",
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
    "resolve": "($self, path)",
    "join": "($self, *parts)",
    "stat": "($self, path)",
    "exists": "($self, path)",
    "is_file": "($self, path)",
    "is_dir": "($self, path)",
    "path_info": "($self, path)",
    "read_bytes": "($self, path)",
    "read_text": '($self, path, *, encoding="utf-8")',
    "read_text_window": '($self, path, offset, limit, *, encoding="utf-8")',
    "write_bytes": "($self, path, data)",
    "write_text": '($self, path, content, *, encoding="utf-8")',
    "write_text_atomic": (
        '($self, path, content, *, encoding="utf-8", expected_version=None, create_only=False)'
    ),
    "mkdir": "($self, path, *, parents=True, exist_ok=True)",
    "delete": "($self, path)",
    "delete_if_version": "($self, path, *, expected_version=None)",
    "exec_command": (
        "($self, command, *, cwd=None, timeout=None, env=None, stdin=None, interpreter=None,"
        " flags=None, max_output_bytes=None)"
    ),
}

FUNCTION_SIGNATURES = {
    "normalize_flags": "normalize_flags(flags=None, *, posix=None)",
    "inject_cmd_flag": "inject_cmd_flag(interpreter, flags)",
    "find_matches": "find_matches(text, pattern)",
    "apply_replacements_text": "apply_replacements_text(text, matches, new_string)",
    "edit_text": "edit_text(text, old_string, new_string, replace_all)",
    "count_lines": "count_lines(text)",
    "slice_lines": "slice_lines(text, start, take)",
    "format_cat_n": "format_cat_n(lines, start_line, total_lines, truncated)",
    "prepare_read": "prepare_read(text, offset, limit, show_line_numbers)",
    "seek_sequence": "seek_sequence(lines, pattern, start, eof)",
    "derive_new_contents": "derive_new_contents(original_content, path, chunks)",
    "apply_line_replacements": "apply_line_replacements(lines, replacements)",
}

EXCEPTIONS = ALL_NAMES[:7]
CLASSES = ["FileInfo", "CommandResult", "LocalClient", "SshClient"]


class TestSurface:
    def test_all_lists_every_name_in_registration_order(self):
        assert _core.__all__ == ALL_NAMES
        assert tarnwistle.__all__ == ALL_NAMES
        assert all(getattr(tarnwistle, name) is getattr(_core, name) for name in ALL_NAMES)

    def test_module_identity(self):
        assert _core.__doc__ == ""
        assert _core.__name__ == "tarnwistle._core"

    @pytest.mark.parametrize("name", EXCEPTIONS)
    def test_exception_classes(self, name):
        cls = getattr(_core, name)
        assert cls.__module__ == "_core"
        assert cls.__qualname__ == name
        assert cls.__doc__ is None
        expected_base = Exception if name == "ClientError" else _core.ClientError
        assert cls.__bases__ == (expected_base,)

    @pytest.mark.parametrize("name", ["FileNotFoundError", "PermissionDeniedError"])
    def test_own_classes_are_not_the_builtins(self, name):
        cls = getattr(_core, name)
        assert cls is not getattr(builtins, name, None)
        assert not issubclass(cls, OSError)

    def test_value_error_is_not_a_client_error(self):
        assert not issubclass(ValueError, _core.ClientError)
        with pytest.raises(ValueError) as info:
            _core.LocalClient(max_transfer_bytes=0)
        assert not isinstance(info.value, _core.ClientError)

    @pytest.mark.parametrize("name", CLASSES)
    def test_classes_are_final_heap_types_without_dict(self, name):
        cls = getattr(_core, name)
        assert cls.__module__ == "tarnwistle._core"
        assert cls.__bases__ == (object,)
        assert not cls.__doc__
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert "__dict__" not in dir(cls)
        assert "__weakref__" not in dir(cls)

    @pytest.mark.parametrize("name", ["FileInfo", "CommandResult"])
    def test_records_have_no_constructor(self, name):
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            getattr(_core, name)()

    def test_kind_is_a_class_attribute(self):
        assert _core.LocalClient.kind == "local"
        assert _core.SshClient.kind == "ssh"
        assert _core.LocalClient().kind == "local"

    @pytest.mark.parametrize("name", CLASSES)
    def test_classes_cannot_be_changed(self, name):
        cls = getattr(_core, name)
        with pytest.raises(TypeError):
            cls.kind = "other"
        with pytest.raises(TypeError):
            cls.stat = None

    def test_instances_are_immutable_and_untracked(self, tmp_path):
        client = _core.LocalClient(str(tmp_path))
        for attr in ("cwd", "kind", "anything"):
            with pytest.raises(AttributeError):
                setattr(client, attr, "x")
        assert not gc.is_tracked(client)
        assert not gc.is_tracked(client.stat(str(tmp_path)))

    def test_client_union(self, tmp_path):
        assert isinstance(_core.LocalClient(str(tmp_path)), _core.Client)
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
        local = inspect.signature(_core.LocalClient)
        assert str(local) == "(cwd=None, *, max_transfer_bytes=Ellipsis)"
        ssh = inspect.signature(_core.SshClient)
        assert list(ssh.parameters)[:3] == ["host", "port", "username"]
        assert ssh.parameters["cwd"].default == "."
        assert ssh.parameters["port"].kind is inspect.Parameter.KEYWORD_ONLY

    def test_read_text_signature_shows_keyword_only_encoding(self):
        parameter = inspect.signature(_core.LocalClient.read_text).parameters["encoding"]
        assert parameter.kind is inspect.Parameter.KEYWORD_ONLY
        assert parameter.default == "utf-8"

    @pytest.mark.parametrize("name", sorted(FUNCTION_SIGNATURES))
    def test_function_signatures(self, name):
        fn = getattr(_core, name)
        assert fn.__name__ == name
        assert fn.__module__ == "tarnwistle._core"
        assert f"{name}{fn.__text_signature__}" == FUNCTION_SIGNATURES[name]

    def test_count_lines_doc_carries_the_arrow(self):
        assert "Empty text \u2192 0" in _core.count_lines.__doc__


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
            assert type(other) is cls and other is not error
            assert other.args == error.args
            assert other.__dict__ == error.__dict__
        assert copy.deepcopy(error).__notes__ is not error.__notes__

    def test_an_error_raised_in_a_worker_process_arrives_whole(self, tmp_path):
        # spawn: the worker is a fresh interpreter that only imports the package.
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            future = pool.submit(_conflict_in_this_process, str(tmp_path / "notes.txt"))
            with pytest.raises(_core.ConflictError, match="^write conflict: .*notes.txt: "):
                future.result(timeout=60)


def _call(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


class TestArgumentParsing:
    def test_missing_positional(self):
        assert _call(_core.edit_text) == (
            "edit_text() missing 4 required positional arguments: "
            "'text', 'old_string', 'new_string', and 'replace_all'"
        )
        assert _call(_core.find_matches, "x") == (
            "find_matches() missing 1 required positional argument: 'pattern'"
        )
        assert _call(_core.slice_lines, "x") == (
            "slice_lines() missing 2 required positional arguments: 'start' and 'take'"
        )

    def test_missing_keyword_only(self):
        message = _call(_core.SshClient, "h", username="u")
        assert message.endswith("missing 1 required keyword-only argument: 'port'")

    def test_too_many_positional(self, tmp_path):
        assert _call(_core.count_lines, "a", "b") == (
            "count_lines() takes 1 positional argument but 2 were given"
        )
        client = _core.LocalClient(str(tmp_path))
        message = _call(client.read_text, "a", "utf-8")
        assert message.endswith("read_text() takes 1 positional argument but 2 were given")
        assert "from 0 to 1" in _call(_core.normalize_flags, "a", "b")

    def test_unknown_and_duplicate_keywords(self):
        assert _call(_core.count_lines, txt="a") == (
            "count_lines() got an unexpected keyword argument 'txt'"
        )
        assert _call(_core.count_lines, "a", text="b") == (
            "count_lines() got multiple values for argument 'text'"
        )

    def test_keywords_that_are_not_interned(self):
        name = "".join(["te", "xt"])
        assert _core.count_lines(**{name: "a\nb"}) == 2

    def test_join_takes_no_keywords(self, tmp_path):
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            _core.LocalClient(str(tmp_path)).join("a", x="b")


class TestConversions:
    @pytest.mark.parametrize("value", [1, 0, None, "yes"])
    def test_bool_is_strict(self, tmp_path, value):
        client = _core.LocalClient(str(tmp_path))
        with pytest.raises(TypeError) as info:
            client.mkdir("d", parents=value)
        type_name = type(value).__name__
        assert str(info.value) == (
            f"argument 'parents': '{type_name}' object cannot be converted to 'PyBool'"
        )

    @pytest.mark.parametrize("value", [5, b"x", None, 1.5])
    def test_text_refuses_other_types(self, value):
        with pytest.raises(TypeError) as info:
            _core.count_lines(value)
        assert str(info.value) == (
            f"argument 'text': '{type(value).__name__}' object cannot be converted to 'PyString'"
        )

    def test_lone_surrogate_raises_unicode_encode_error(self):
        with pytest.raises(UnicodeEncodeError):
            _core.count_lines("a\udc80")

    @pytest.mark.parametrize(
        ("value", "exc"),
        [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("3", TypeError)],
    )
    def test_unsigned(self, value, exc):
        with pytest.raises(exc) as info:
            _core.slice_lines("a", value, 1)
        if exc is TypeError:
            assert str(info.value).startswith("argument 'start': ")

    def test_unsigned_accepts_index_objects_and_the_full_range(self):
        class Index:
            def __index__(self):
                return 1

        assert _core.slice_lines("a\nb\n", Index(), 2**64 - 1) == ["b\n"]

    @pytest.mark.parametrize("offset", [-(2**63), 2**63 - 1])
    def test_signed_range_accepted(self, offset):
        assert _core.prepare_read("a\n", offset, 1, False)[1] == 1

    @pytest.mark.parametrize("offset", [-(2**63) - 1, 2**63])
    def test_signed_out_of_range(self, offset):
        with pytest.raises(OverflowError):
            _core.prepare_read("a\n", offset, 1, False)

    def test_negative_limit_fails_before_any_file_access(self, tmp_path):
        client = _core.LocalClient(str(tmp_path))
        with pytest.raises(OverflowError):
            client.read_text_window("missing.txt", 1, -1)

    def test_str_is_not_a_sequence_of_items(self, tmp_path):
        with pytest.raises(TypeError, match=r"^argument 'data': Can't extract `str` to `Vec`$"):
            _core.LocalClient(str(tmp_path)).write_bytes("f", "text")
        with pytest.raises(TypeError, match=r"^argument 'lines': Can't extract `str` to `Vec`$"):
            _core.format_cat_n("ab", 1, 1, False)

    @pytest.mark.parametrize(
        ("data", "stored"),
        [(b"ab", b"ab"), (bytearray(b"\x00\xff"), b"\x00\xff"), ([104, 105], b"hi"),
         ((1, 2), b"\x01\x02"), (memoryview(b"mv"), b"mv")],
    )
    def test_byte_data_forms(self, tmp_path, data, stored):
        client = _core.LocalClient(str(tmp_path))
        client.write_bytes("f", data)
        assert (tmp_path / "f").read_bytes() == stored

    @pytest.mark.parametrize("item", [256, -1])
    def test_byte_items_out_of_range(self, tmp_path, item):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            _core.LocalClient(str(tmp_path)).write_bytes("f", [1, item])
        assert not (tmp_path / "f").exists()

    def test_a_claimed_huge_length_fails_at_its_first_bad_item(self, tmp_path):
        with pytest.raises(OverflowError):
            _core.LocalClient(str(tmp_path)).write_bytes("f", range(10**18))

    def test_non_sequence_byte_data(self, tmp_path):
        with pytest.raises(TypeError, match="^argument 'data': "):
            _core.LocalClient(str(tmp_path)).write_bytes("f", 5)

    def test_path_objects_through_fspath(self, tmp_path):
        assert _core.LocalClient(pathlib.Path(tmp_path)).cwd == os.path.realpath(tmp_path)
        with pytest.raises(TypeError, match="^argument 'cwd': "):
            _core.LocalClient(5)
        with pytest.raises(TypeError, match="^argument 'cwd': "):
            _core.LocalClient(b"/tmp")
        with pytest.raises(TypeError):
            _core.LocalClient(max_transfer_bytes=None)


class TestCodecs:
    def test_decoding_is_lenient(self, tmp_path):
        (tmp_path / "f").write_bytes(b"\xff\xfe")
        assert _core.LocalClient(str(tmp_path)).read_text("f") == "\ufffd\ufffd"

    @pytest.mark.parametrize(
        ("content", "type_name"),
        [("\udc80", "UnicodeEncodeError"), (b"abc", "AttributeError"), (5, "AttributeError")],
    )
    def test_encoding_is_strict(self, tmp_path, content, type_name):
        with pytest.raises(_core.ClientError) as info:
            _core.LocalClient(str(tmp_path)).write_text("f", content)
        assert type(info.value) is _core.ClientError
        assert str(info.value).startswith(f"write_text failed: f: {type_name}: ")
        assert not (tmp_path / "f").exists()

    def test_unknown_codec_names_lookup_error(self, tmp_path):
        client = _core.LocalClient(str(tmp_path))
        (tmp_path / "f").write_text("x")
        with pytest.raises(_core.ClientError) as info:
            client.read_text("f", encoding="nope")
        assert str(info.value) == "read_text failed: f: LookupError: unknown encoding: nope"
        with pytest.raises(_core.FileNotFoundError):
            client.read_text("missing", encoding="nope")

    def test_other_codecs_round_trip(self, tmp_path):
        client = _core.LocalClient(str(tmp_path))
        client.write_text("f", "h\xe9llo", encoding="latin-1")
        assert (tmp_path / "f").read_bytes() == b"h\xe9llo"
        assert client.read_text("f", encoding="latin-1") == "h\xe9llo"

    def test_exception_text_with_a_lone_surrogate_still_builds(self, tmp_path):
        class Weird:
            def encode(self, encoding, errors):
                raise ValueError("bad \udc80 char")

        with pytest.raises(_core.ClientError) as info:
            _core.LocalClient(str(tmp_path)).write_text("f", Weird())
        # surrogatepass gives three bytes that are no valid sequence: three replacements
        assert str(info.value) == "write_text failed: f: ValueError: bad \ufffd\ufffd\ufffd char"

    def test_exception_whose_str_fails(self, tmp_path):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no")

        class Weird:
            def encode(self, encoding, errors):
                raise Unprintable()

        with pytest.raises(_core.ClientError) as info:
            _core.LocalClient(str(tmp_path)).write_text("f", Weird())
        assert str(info.value).endswith("Unprintable: <exception str() failed>")

    def test_encode_returning_non_bytes(self, tmp_path):
        class Weird:
            def encode(self, encoding, errors):
                return "not bytes"

        with pytest.raises(_core.ClientError) as info:
            _core.LocalClient(str(tmp_path)).write_text("f", Weird())
        assert str(info.value) == "write_text failed: f: 'str' object cannot be converted to 'PyBytes'"
