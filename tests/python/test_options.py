"""Command options: flag splitting, command-flag injection, env / timeout / output-limit checks."""

import collections.abc
import math
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core


@pytest.fixture
def client(tmp_path):
    return _core.LocalClient(str(tmp_path))


class BadStr:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error


class TestNormalizeFlags:
    @pytest.mark.parametrize(
        ("flags", "expected"),
        [
            (None, []), ("   ", []), ("\u00a0\t -x \u2003", ["-x"]), ("-l -c", ["-l", "-c"]),
            ("-c \"a b\" 'c d'", ["-c", "a b", "c d"]), ("''", [""]), ("a'b'\"c\"", ["abc"]),
            ("a\\ b", ["a b"]), ("-x # comment", ["-x"]), ("a#b #c\nd", ["a#b", "d"]),
            ("a\\\nb", ["ab"]), ("a \\\n b", ["a", "b"]), ("a\rb", ["a\rb"]),
            ('"\\$\\`\\"\\\\\\x"', ['$`"\\\\x']), ('"a\\\nb"', ["ab"]), ("'\\n $x'", ["\\n $x"]),
            ("a \\", ["a", "\\"]), ("ab\\", ["ab\\"]), ("h\u00e9 \u00fc", ["h\u00e9", "\u00fc"]),
            # objects: items kept as given, through str
            (["a b", 3], ["a b", "3"]), (("-x", "  y  "), ["-x", "  y  "]), ([], []),
            (iter(["-a", 2]), ["-a", "2"]),
            (["a\udc80b"], ["a\ufffd\ufffd\ufffdb"]),  # as carried in UTF-8: its three bytes replaced
        ],
    )
    def test_splits_like_a_shell(self, flags, expected):
        assert _core.normalize_flags(flags) == expected
        if isinstance(flags, str):
            assert _core.normalize_flags(flags, posix=None) == expected

    @pytest.mark.parametrize(
        ("flags", "expected"),
        [
            ('"unterminated', ["unterminated"]), ("''", []), ("a\\ b", ["a\\", "b"]),
            ("-l   -c", ["-l", "-c"]), ("a\u2003b\u00a0c", ["a", "b", "c"]),
            ("\"it's\" 'say \"hi\"'", ["it's", 'say "hi"']), ("x'a b'y", ["xa by"]),
            ("-x # not a comment", ["-x", "#", "not", "a", "comment"]),
        ],
    )
    def test_simple_splits_on_whitespace_with_plain_quotes(self, flags, expected):
        assert _core.normalize_flags(flags, posix=False) == expected

    @pytest.mark.parametrize(
        ("flags", "posix", "exc", "message"),
        [
            ('"unterminated', None, ValueError, "invalid flags: missing closing quote"),
            ("'open", None, ValueError, "invalid flags: missing closing quote"),
            ('a "b\\"', None, ValueError, "invalid flags: missing closing quote"),
            ('"ends in backslash\\', None, ValueError, "invalid flags: missing closing quote"),
            (5, None, ValueError, "flags must be a string or sequence"),
            (1.5, None, ValueError, "flags must be a string or sequence"),
            (object(), None, ValueError, "flags must be a string or sequence"),
            (["a", BadStr(RuntimeError("no text"))], None, ValueError, "RuntimeError: no text"),
            ((1 // n for n in (1, 0)), None, ValueError, "ZeroDivisionError: integer division or modulo by zero"),
            ("-a \udc80", None, ValueError, "UnicodeEncodeError: ..."),
            ("a", 1, TypeError, "argument 'posix': 'int' object cannot be converted to 'PyBool'"),
            ("a", 0, TypeError, "argument 'posix': 'int' object cannot be converted to 'PyBool'"),
            ("a", "yes", TypeError, "argument 'posix': 'str' object cannot be converted to 'PyBool'"),
        ],
    )
    def test_refused(self, flags, posix, exc, message):
        with pytest.raises(exc) as info:
            _core.normalize_flags(flags, posix=posix)
        text = str(info.value)
        assert text.startswith(message[:-3]) if message.endswith("...") else text == message
        assert not isinstance(info.value, _core.ClientError)

    @settings(max_examples=150, deadline=None)
    @given(
        st.lists(
            st.sampled_from(["a", "b", "\u00e9", " ", "\t", "'", '"', "\\", "#", "\r"]),
            max_size=12,
        ).map("".join)
    )
    def test_agrees_with_the_system_shell(self, text):
        # /bin/sh splits the same words when they are the arguments of printf.
        text = text.strip()
        shell = subprocess.run(
            ["/bin/sh", "-c", 'printf "%s\\0" X ' + text], capture_output=True, check=False
        )
        try:
            ours = _core.normalize_flags(text)
        except ValueError:
            ours = None
        if shell.returncode != 0:
            assert ours is None, (text, shell.stderr)
        else:
            assert ours == shell.stdout.decode().split("\0")[1:-1], text


class TestInjectCmdFlag:
    @pytest.mark.parametrize(
        ("interpreter", "flags", "expected"),
        [
            ("/bin/bash", [], ["-c"]), ("bash", ["-lc"], ["-lc"]), ("bash", ["--login"], ["--login", "-c"]),
            ("bash", ["-e"], ["-e", "-c"]), ("bash", ["-C"], ["-C"]), ("sh", ["-xec"], ["-xec"]),
            ("sh", ["-mc"], ["-mc"]),  # shells count any c in a cluster
            ("zsh", ["-"], ["-", "-c"]), ("bash/", [], ["-c"]), ("./fish", ["--c"], ["--c", "-c"]),
            ("/usr/bin/SH.EXE", [], ["-c"]), ("CMD.EXE", [], ["/c"]), ("cmd", ["/C"], ["/C"]),
            ("pwsh", ["-command"], ["-command"]),
            ("powershell.exe", ["-NoProfile"], ["-NoProfile", "-Command"]),
            ("python3.12", [], ["-c"]), ("/usr/bin/Python3.11", ["-u"], ["-u", "-c"]),
            ("python", ["-Ic"], ["-Ic"]), ("python3", ["-c"], ["-c"]), ("python2", ["-x"], ["-x"]),
            # python options that take an argument are not the command flag
            ("python3", ["-Wignore::DeprecationWarning"], ["-Wignore::DeprecationWarning", "-c"]),
            ("python3", ["-Xtracemalloc"], ["-Xtracemalloc", "-c"]),
            ("python3", ["-mc"], ["-mc", "-c"]), ("python3", ["-Ec"], ["-Ec"]), ("python3", ["-cW"], ["-cW"]),
            ("python3x", [], []), ("node", [], []), ("", ["-a"], ["-a"]), ("/", [], []), ("bash/..", [], []),
            # perl and ruby run code with -e
            ("perl", [], ["-e"]), ("/usr/bin/perl", ["-w"], ["-w", "-e"]), ("perl", ["-ne"], ["-ne"]),
            ("perl", ["-le"], ["-le"]), ("perl", ["-E"], ["-E"]), ("perl", ["-c"], ["-c", "-e"]),
            ("ruby", [], ["-e"]), ("ruby", ["-ne"], ["-ne"]), ("ruby", ["-E"], ["-E", "-e"]),
            ("ruby", ["--e"], ["--e", "-e"]),
        ],
    )
    def test_table(self, interpreter, flags, expected):
        given = list(flags)
        assert _core.inject_cmd_flag(interpreter, flags) == expected
        assert flags == given  # the input list is not changed


class Env(collections.abc.Mapping):
    """A mapping that is not a dict."""

    def __getitem__(self, key):
        return {"K": "v"}[key]

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["K"])


def items_giving(result):  # a dict whose items() gives `result`, or raises it
    def items(self):
        if isinstance(result, Exception):
            raise result
        return result
    return type("Items", (dict,), {"items": items})(x=1)


class TestEnv:
    def test_overlay_on_the_inherited_environment(self, client, tmp_path, monkeypatch):
        monkeypatch.setenv("TARNWISTLE_INHERITED", "kept")
        monkeypatch.setenv("TARNWISTLE_REPLACED", "old")
        result = client.exec_command(
            'printf "%s|" "$TARNWISTLE_INHERITED" "$TARNWISTLE_REPLACED" "$A" "$B" "$_a9" "$HOME"',
            env={"TARNWISTLE_REPLACED": "new", "A": 1, "B": None, "_a9": "x y"},  # through str
        )
        assert result.stdout == f"kept|new|1|None|x y|{os.environ.get('HOME', '')}|"
        assert "_a9" not in os.environ
        assert client.exec_command('printf %s "$K"', env=Env()).stdout == "v"
        twice = items_giving([("A", "1"), ("A", "2")])  # the last value is kept
        assert client.exec_command('printf %s "$A"', env=twice).stdout == "2"
        assert client.exec_command("true", env=None).ok and client.exec_command("true", env={}).ok
        # The program is looked up on this process's PATH.
        tool = tmp_path / "bin" / "tw-tool"
        tool.parent.mkdir()
        tool.write_text("#!/bin/sh\necho tool $1\n")
        tool.chmod(0o755)
        monkeypatch.setenv("PATH", f"{tool.parent}:{os.environ['PATH']}")
        assert client.exec_command("x", interpreter="tw-tool").stdout == "tool x\n"

    def test_failing_isinstance_is_unraisable(self, client, monkeypatch):
        class Meta(type):
            def __instancecheck__(cls, obj):
                raise RuntimeError("check failed")

        seen = []
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        monkeypatch.setattr(collections.abc, "Mapping", Meta("Mapping", (), {}))
        with pytest.raises(_core.ClientError, match="^env must be a mapping"):
            client.exec_command("true", env=object())
        monkeypatch.undo()
        assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


class TestOptionValues:
    def test_timeouts_accepted(self, client):
        for timeout in (None, 0, 0.0, -0.0):  # no limit
            result = client.exec_command("sleep 0.05", timeout=timeout)
            assert result.ok and not result.timed_out
        seconds = type("Seconds", (), {"__float__": lambda self: 5.0})()
        index = type("Index", (), {"__index__": lambda self: 5})()
        for timeout in (5, 2.5, seconds, index, 1e15, 2.0**63):
            assert client.exec_command("true", timeout=timeout).ok
        assert client.exec_command("sleep 2", timeout=1e-12).timed_out  # a zero-length limit

    @pytest.mark.parametrize(("value", "kept"), [(None, 1048576), (16777216, 16777216), (7, 7)])
    def test_output_limits_accepted(self, client, value, kept):
        result = client.exec_command("head -c 20000000 /dev/zero", max_output_bytes=value)
        assert (result.stdout_total_bytes, result.stdout_omitted_bytes) == (20000000, 20000000 - kept)

    @pytest.mark.parametrize(
        ("option", "value", "message"),
        [
            ("env", [("A", "b")], "env must be a mapping of variable names to values"),
            ("env", "A=b", "env must be a mapping of variable names to values"),
            ("env", {"1A": "x"}, 'invalid environment variable name: "1A"'),
            ("env", {"": "x"}, 'invalid environment variable name: ""'),
            ("env", {"A-B": "x"}, 'invalid environment variable name: "A-B"'),
            ("env", {'a"\\\t\n': "x"}, 'invalid environment variable name: "a\\"\\\\\\t\\n"'),
            ("env", {"A\0": "x"}, 'invalid environment variable name: "A\\0"'),
            ("env", {"\u00e9": "x"}, 'invalid environment variable name: "\u00e9"'),
            ("env", {"A\x7f": "x"}, 'invalid environment variable name: "A\\u{7f}"'),
            ("env", {"A": "x\0y"}, 'environment variable "A" contains a NUL byte'),
            ("env", items_giving([["A", "b"]]), "env mapping item is not a pair"),
            ("env", items_giving([("A",)]), "IndexError: tuple index out of range"),
            ("env", items_giving(RuntimeError("no items")), "RuntimeError: no items"),
            ("env", {"A": BadStr(KeyError("k"))}, "KeyError: 'k'"),
            *[("timeout", t, "timeout must be a non-negative finite number or None")
              for t in (-1, -1e-9, math.nan, math.inf, -math.inf, True, False, "5", 2.0**64, 10**400, [1])],
            ("max_output_bytes", 16777217, "max_output_bytes must not exceed 16777216 bytes"),
            ("max_output_bytes", 0, "max_output_bytes must be greater than zero"),
            ("max_output_bytes", -5, "max_output_bytes must be greater than zero"),
            *[("max_output_bytes", v, "max_output_bytes must be an integer") for v in (1.5, True, 2**70, "10")],
            ("stdin", b"x", "stdin must be valid UTF-8 text: AttributeError: 'bytes' object has no attribute 'encode'"),
            ("stdin", "\udc80", "stdin must be valid UTF-8 text: UnicodeEncodeError: 'utf-8' codec can't encode "
                               "character '\\udc80' in position 0: surrogates not allowed"),
        ],
    )
    def test_refused(self, client, option, value, message):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("true", **{option: value})
        assert type(info.value) is _core.ClientError
        assert str(info.value) == message


class TestOrderOfChecks:
    def test_first_failure_wins_and_nothing_runs(self, client, tmp_path):
        marker = tmp_path / "ran"
        bad = dict(timeout=-1, max_output_bytes=0, env=5, stdin=b"x", flags=5)
        expected = [
            (_core.ClientError, "timeout must be"),
            (_core.ClientError, "max_output_bytes must be greater"),
            (_core.ClientError, "env must be a mapping"),
            (_core.ClientError, "stdin must be valid UTF-8 text: AttributeError: "),
            (ValueError, "flags must be a string"),
        ]
        for exc, prefix in expected:
            with pytest.raises(exc) as info:
                client.exec_command(f"touch {marker}", **bad)
            assert str(info.value).startswith(prefix)
            del bad[next(iter(bad))]
        assert not marker.exists()

    def test_argument_types_first_and_flags_even_without_interpreter(self, client):
        with pytest.raises(TypeError, match="^argument 'interpreter': "):
            client.exec_command("true", interpreter=5, timeout=-1)
        with pytest.raises(TypeError, match="^argument 'cwd': "):
            client.exec_command("true", cwd=b"/", timeout=-1)
        with pytest.raises(ValueError, match="^invalid flags: missing closing quote$"):
            client.exec_command("true", flags="'open")
