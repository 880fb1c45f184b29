"""Command options: flag splitting, command-flag injection, env / timeout / output-limit checks."""

import math
import os
import shutil
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core


def lossy(text):
    """What a str with lone surrogates becomes once carried as UTF-8 text."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


class TestNormalizeFlagsPosix:
    @pytest.mark.parametrize(
        ("flags", "expected"),
        [
            (None, []),
            ("   ", []),
            ("\u00a0\t -x \u2003", ["-x"]),
            ("-l -c", ["-l", "-c"]),
            ("-c \"a b\" 'c d'", ["-c", "a b", "c d"]),
            ("''", [""]),
            ("a'b'\"c\"", ["abc"]),
            ("a\\ b", ["a b"]),
            ("-x # comment", ["-x"]),
            ("a#b #c\nd", ["a#b", "d"]),
            ("a\\\nb", ["ab"]),
            ("a \\\n b", ["a", "b"]),
            ("a\rb", ["a\rb"]),
            ('"\\$\\`\\"\\\\\\x"', ['$`"\\\\x']),
            ('"a\\\nb"', ["ab"]),
            ("'\\n $x'", ["\\n $x"]),
            ("a \\", ["a", "\\"]),
            ("ab\\", ["ab\\"]),
            ("h\u00e9 \u00fc", ["h\u00e9", "\u00fc"]),
        ],
    )
    def test_splits_like_a_shell(self, flags, expected):
        assert _core.normalize_flags(flags) == expected
        assert _core.normalize_flags(flags, posix=None) == expected

    @pytest.mark.parametrize("flags", ['"unterminated', "'open", 'a "b\\"', '"ends in backslash\\'])
    def test_unclosed_quote(self, flags):
        with pytest.raises(ValueError) as info:
            _core.normalize_flags(flags)
        assert str(info.value) == "invalid flags: missing closing quote"
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


class TestNormalizeFlagsSimple:
    @pytest.mark.parametrize(
        ("flags", "expected"),
        [
            ('"unterminated', ["unterminated"]),
            ("''", []),
            ("a\\ b", ["a\\", "b"]),
            ("-l   -c", ["-l", "-c"]),
            ("a\u2003b\u00a0c", ["a", "b", "c"]),
            ("\"it's\" 'say \"hi\"'", ["it's", 'say "hi"']),
            ("x'a b'y", ["xa by"]),
            ("-x # not a comment", ["-x", "#", "not", "a", "comment"]),
        ],
    )
    def test_splits_on_whitespace_with_plain_quotes(self, flags, expected):
        assert _core.normalize_flags(flags, posix=False) == expected


class TestNormalizeFlagsObjects:
    def iterable(self):
        yield "-a"
        yield 2

    @pytest.mark.parametrize(
        ("flags", "expected"),
        [
            (["a b", 3], ["a b", "3"]),
            (("-x", "  y  "), ["-x", "  y  "]),
            ([], []),
            (["a\udc80b"], [lossy("a\udc80b")]),
        ],
    )
    def test_items_are_kept_as_given(self, flags, expected):
        assert _core.normalize_flags(flags) == expected

    def test_any_iterable(self):
        assert _core.normalize_flags(self.iterable()) == ["-a", "2"]

    @pytest.mark.parametrize("flags", [5, 1.5, object()])
    def test_not_iterable(self, flags):
        with pytest.raises(ValueError, match="^flags must be a string or sequence$"):
            _core.normalize_flags(flags)

    def test_failing_str_and_iteration(self):
        class Bad:
            def __str__(self):
                raise RuntimeError("no text")

        def broken():
            yield "a"
            raise ZeroDivisionError("mid-way")

        with pytest.raises(ValueError, match="^RuntimeError: no text$"):
            _core.normalize_flags(["a", Bad()])
        with pytest.raises(ValueError, match="^ZeroDivisionError: mid-way$"):
            _core.normalize_flags(broken())

    def test_str_with_lone_surrogate(self):
        with pytest.raises(ValueError, match="^UnicodeEncodeError: "):
            _core.normalize_flags("-a \udc80")

    @pytest.mark.parametrize("posix", [1, 0, "yes"])
    def test_posix_must_be_a_bool(self, posix):
        with pytest.raises(TypeError) as info:
            _core.normalize_flags("a", posix=posix)
        assert str(info.value) == (
            f"argument 'posix': '{type(posix).__name__}' object cannot be converted to 'PyBool'"
        )

    def test_posix_is_keyword_only(self):
        with pytest.raises(TypeError, match="takes from 0 to 1 positional arguments"):
            _core.normalize_flags("a", False)


class TestInjectCmdFlag:
    @pytest.mark.parametrize(
        ("interpreter", "flags", "expected"),
        [
            ("/bin/bash", [], ["-c"]),
            ("bash", ["-lc"], ["-lc"]),
            ("bash", ["--login"], ["--login", "-c"]),
            ("bash", ["-e"], ["-e", "-c"]),
            ("bash", ["-C"], ["-C"]),
            ("sh", ["-xec"], ["-xec"]),
            ("zsh", ["-"], ["-", "-c"]),
            ("bash/", [], ["-c"]),
            ("./fish", ["--c"], ["--c", "-c"]),
            ("/usr/bin/SH.EXE", [], ["-c"]),
            ("CMD.EXE", [], ["/c"]),
            ("cmd", ["/C"], ["/C"]),
            ("pwsh", ["-command"], ["-command"]),
            ("powershell.exe", ["-NoProfile"], ["-NoProfile", "-Command"]),
            ("python3.12", [], ["-c"]),
            ("/usr/bin/Python3.11", ["-u"], ["-u", "-c"]),
            ("python", ["-Ic"], ["-Ic"]),
            ("python3", ["-c"], ["-c"]),
            ("python2", ["-x"], ["-x"]),
            ("python3x", [], []),
            ("node", [], []),
            ("", ["-a"], ["-a"]),
            ("/", [], []),
            ("bash/..", [], []),
        ],
    )
    def test_table(self, interpreter, flags, expected):
        assert _core.inject_cmd_flag(interpreter, flags) == expected

    @pytest.mark.parametrize(
        ("flags", "expected"),
        [
            (["-Wignore::DeprecationWarning"], ["-Wignore::DeprecationWarning", "-c"]),
            (["-Xtracemalloc"], ["-Xtracemalloc", "-c"]),
            (["-mc"], ["-mc", "-c"]),
            (["-Ec"], ["-Ec"]),
            (["-cW"], ["-cW"]),
        ],
    )
    def test_python_option_arguments_are_not_the_command_flag(self, flags, expected):
        assert _core.inject_cmd_flag("python3", flags) == expected

    def test_shells_keep_counting_any_c_in_a_cluster(self):
        assert _core.inject_cmd_flag("sh", ["-mc"]) == ["-mc"]

    @pytest.mark.parametrize(
        ("interpreter", "flags", "expected"),
        [
            ("perl", [], ["-e"]),
            ("/usr/bin/perl", ["-w"], ["-w", "-e"]),
            ("perl", ["-ne"], ["-ne"]),
            ("perl", ["-le"], ["-le"]),
            ("perl", ["-E"], ["-E"]),
            ("perl", ["-c"], ["-c", "-e"]),
            ("ruby", [], ["-e"]),
            ("ruby", ["-ne"], ["-ne"]),
            ("ruby", ["-E"], ["-E", "-e"]),
            ("ruby", ["--e"], ["--e", "-e"]),
        ],
    )
    def test_perl_and_ruby_run_code_with_e(self, interpreter, flags, expected):
        assert _core.inject_cmd_flag(interpreter, flags) == expected

    def test_argument_types(self):
        with pytest.raises(TypeError, match=r"^argument 'flags': Can't extract `str` to `Vec`$"):
            _core.inject_cmd_flag("bash", "-c")
        with pytest.raises(TypeError, match="^argument 'flags': 'int' object cannot be converted"):
            _core.inject_cmd_flag("bash", [1])
        with pytest.raises(TypeError, match="^argument 'interpreter': "):
            _core.inject_cmd_flag(None, [])
        with pytest.raises(UnicodeEncodeError):
            _core.inject_cmd_flag("ba\udc80sh", [])

    def test_input_list_is_not_changed(self):
        flags = ["-e"]
        assert _core.inject_cmd_flag("bash", flags) == ["-e", "-c"]
        assert flags == ["-e"]


@pytest.fixture
def client(tmp_path):
    return _core.LocalClient(str(tmp_path))


class TestEnv:
    def test_overlay_values_go_through_str(self, client):
        result = client.exec_command(
            'printf "%s|%s|%s|%s" "$A" "$B" "$_a9" "$HOME"',
            env={"A": 1, "B": None, "_a9": "x y"},
        )
        assert result.stdout == f"1|None|x y|{os.environ.get('HOME', '')}"

    @pytest.mark.parametrize("env", [None, {}])
    def test_empty(self, client, env):
        assert client.exec_command("true", env=env).ok

    def test_mapping_that_is_not_a_dict(self, client):
        class Env:
            def __getitem__(self, key):
                return {"K": "v"}[key]

            def __len__(self):
                return 1

            def __iter__(self):
                return iter(["K"])

            def keys(self):
                return ["K"]

            def items(self):
                return [("K", "v")]

        import collections.abc

        collections.abc.Mapping.register(Env)
        assert client.exec_command('printf %s "$K"', env=Env()).stdout == "v"

    @pytest.mark.parametrize(
        ("env", "message"),
        [
            ([("A", "b")], "env must be a mapping of variable names to values"),
            ("A=b", "env must be a mapping of variable names to values"),
            ({"1A": "x"}, 'invalid environment variable name: "1A"'),
            ({"": "x"}, 'invalid environment variable name: ""'),
            ({"A-B": "x"}, 'invalid environment variable name: "A-B"'),
            ({'a"\\\t\n': "x"}, 'invalid environment variable name: "a\\"\\\\\\t\\n"'),
            ({"A\0": "x"}, 'invalid environment variable name: "A\\0"'),
            ({"\u00e9": "x"}, 'invalid environment variable name: "\u00e9"'),
            ({"A\x7f": "x"}, 'invalid environment variable name: "A\\u{7f}"'),
            ({"A": "x\0y"}, 'environment variable "A" contains a NUL byte'),
        ],
    )
    def test_refused(self, client, env, message):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("true", env=env)
        assert type(info.value) is _core.ClientError
        assert str(info.value) == message

    def test_items_must_be_pairs(self, client):
        class Items(dict):
            def items(self):
                return [["A", "b"]]

        class Short(dict):
            def items(self):
                return [("A",)]

        with pytest.raises(_core.ClientError, match="^env mapping item is not a pair$"):
            client.exec_command("true", env=Items(x=1))
        with pytest.raises(_core.ClientError, match="^IndexError: tuple index out of range$"):
            client.exec_command("true", env=Short(x=1))

    def test_python_failures_become_messages(self, client):
        class BadStr:
            def __str__(self):
                raise KeyError("k")

        class BadItems(dict):
            def items(self):
                raise RuntimeError("no items")

        with pytest.raises(_core.ClientError, match="^KeyError: 'k'$"):
            client.exec_command("true", env={"A": BadStr()})
        with pytest.raises(_core.ClientError, match="^RuntimeError: no items$"):
            client.exec_command("true", env=BadItems(x=1))

    def test_failing_isinstance_is_unraisable(self, client):
        class Meta(type):
            def __instancecheck__(cls, obj):
                raise RuntimeError("check failed")

        import collections.abc

        seen = []
        original = collections.abc.Mapping
        import sys

        hook = sys.unraisablehook
        sys.unraisablehook = seen.append
        collections.abc.Mapping = Meta("Mapping", (), {})
        try:
            with pytest.raises(_core.ClientError, match="^env must be a mapping"):
                client.exec_command("true", env=object())
        finally:
            collections.abc.Mapping = original
            sys.unraisablehook = hook
        assert len(seen) == 1
        assert isinstance(seen[0].exc_value, RuntimeError)

    def test_repeated_name_keeps_the_last_value(self, client):
        class Twice(dict):
            def items(self):
                return [("A", "1"), ("A", "2")]

        assert client.exec_command('printf %s "$A"', env=Twice(x=1)).stdout == "2"


class TestTimeout:
    @pytest.mark.parametrize("timeout", [None, 0, 0.0, -0.0])
    def test_no_limit(self, client, timeout):
        result = client.exec_command("sleep 0.05", timeout=timeout)
        assert result.ok and not result.timed_out

    def test_tiny_positive_value_is_a_zero_length_limit(self, client):
        assert client.exec_command("sleep 2", timeout=1e-12).timed_out

    def test_numbers_and_index_objects(self, client):
        class Seconds:
            def __float__(self):
                return 5.0

        class Index:
            def __index__(self):
                return 5

        for timeout in (5, 2.5, Seconds(), Index(), 1e15, 2.0**63):
            assert client.exec_command("true", timeout=timeout).ok

    @pytest.mark.parametrize(
        "timeout",
        [-1, -1e-9, math.nan, math.inf, -math.inf, True, False, "5", 2.0**64, 10**400, [1]],
    )
    def test_refused(self, client, timeout):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("true", timeout=timeout)
        assert str(info.value) == "timeout must be a non-negative finite number or None"


class TestMaxOutputBytes:
    @pytest.mark.parametrize(("value", "kept"), [(None, 1048576), (16777216, 16777216), (7, 7)])
    def test_accepted(self, client, value, kept):
        result = client.exec_command("head -c 20000000 /dev/zero", max_output_bytes=value)
        assert result.stdout_total_bytes == 20000000
        assert result.stdout_omitted_bytes == 20000000 - kept

    @pytest.mark.parametrize(
        ("value", "message"),
        [
            (16777217, "max_output_bytes must not exceed 16777216 bytes"),
            (0, "max_output_bytes must be greater than zero"),
            (-5, "max_output_bytes must be greater than zero"),
            (1.5, "max_output_bytes must be an integer"),
            (True, "max_output_bytes must be an integer"),
            (2**70, "max_output_bytes must be an integer"),
            ("10", "max_output_bytes must be an integer"),
        ],
    )
    def test_refused(self, client, value, message):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("true", max_output_bytes=value)
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

    def test_argument_types_before_option_values(self, client):
        with pytest.raises(TypeError, match="^argument 'interpreter': "):
            client.exec_command("true", interpreter=5, timeout=-1)
        with pytest.raises(TypeError, match="^argument 'cwd': "):
            client.exec_command("true", cwd=b"/", timeout=-1)

    def test_flags_without_interpreter_are_still_checked(self, client):
        with pytest.raises(ValueError, match="^invalid flags: missing closing quote$"):
            client.exec_command("true", flags="'open")


@pytest.mark.skipif(shutil.which("perl") is None, reason="perl is not installed")
def test_perl_runs_the_command(client):
    assert client.exec_command("print 6*7", interpreter="perl").stdout == "42"
