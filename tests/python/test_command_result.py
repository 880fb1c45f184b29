"""CommandResult: the record exec_command returns."""

import gc
import os
import tempfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core

STORED = [
    "exit_code", "stdout", "stderr", "command", "cwd", "duration_ms", "timed_out", "signal",
    "stdout_total_bytes", "stderr_total_bytes", "stdout_omitted_bytes", "stderr_omitted_bytes",
]
COMPUTED = ["ok", "truncated", "extras"]


@pytest.fixture
def client(tmp_path):
    return _core.LocalClient(str(tmp_path))


class TestClass:
    def test_attributes_in_order_with_empty_docs(self):
        names = [n for n in _core.CommandResult.__dict__ if not n.startswith("__")]
        assert names == STORED + COMPUTED
        for name in names:
            assert getattr(_core.CommandResult, name).__doc__ == ""

    def test_instances_are_read_only_untracked_and_have_no_dict(self, client):
        result = client.exec_command("true")
        for name in STORED + COMPUTED:
            with pytest.raises(AttributeError):
                setattr(result, name, 1)
        assert not hasattr(result, "__dict__")
        assert not gc.is_tracked(result)

    def test_no_comparison_or_str_of_its_own(self, client):
        a, b = client.exec_command("true"), client.exec_command("true")
        assert a != b and a == a
        assert hash(a) != hash(b)
        assert str(a) == repr(a)


class TestValues:
    def test_success(self, client, tmp_path):
        result = client.exec_command("echo hello")
        assert result.ok is True and bool(result) is True
        assert result.signal is None
        assert result.exit_code == 0 and result.timed_out is False
        assert (result.stdout, result.stderr) == ("hello\n", "")
        assert repr(result) == "CommandResult(exit_code=0, timed_out=false, stdout_bytes=6, stderr_bytes=0)"
        assert result.command == "echo hello"
        assert result.cwd == str(tmp_path.resolve())
        assert isinstance(result.duration_ms, int) and result.duration_ms >= 0
        assert result.truncated is False
        assert (result.stdout_omitted_bytes, result.stderr_omitted_bytes) == (0, 0)

    def test_failure_is_falsy(self, client):
        result = client.exec_command("echo oops >&2; exit 3")
        assert result.exit_code == 3
        assert result.ok is False and not result
        assert result.stderr == "oops\n" and result.stderr_total_bytes == 5
        assert repr(result) == "CommandResult(exit_code=3, timed_out=false, stdout_bytes=0, stderr_bytes=5)"

    def test_timed_out(self, client):
        result = client.exec_command("sleep 5", timeout=0.1)
        assert (result.exit_code, result.timed_out, result.signal, result.ok) == (124, True, None, False)
        assert repr(result).startswith("CommandResult(exit_code=124, timed_out=true,")

    def test_killed_by_a_signal(self, client):
        result = client.exec_command("kill -KILL $$")
        assert (result.exit_code, result.signal, result.timed_out) == (-9, 9, False)
        assert repr(result).startswith("CommandResult(exit_code=-9,")

    def test_counts_are_bytes_of_the_raw_stream(self, client):
        result = client.exec_command("printf 'a\\377\\303\\251'")
        assert result.stdout == "a\ufffd\u00e9"
        assert result.stdout_total_bytes == 4

    def test_truncated_output_carries_the_marker(self, client):
        result = client.exec_command("head -c 5000 /dev/zero | tr '\\0' x", max_output_bytes=100)
        assert result.truncated is True
        n = result.stdout_omitted_bytes
        assert n == 4900
        assert result.stdout == "x" * 50 + f"\n... [truncated, {n} bytes omitted] ...\n" + "x" * 50

    def test_multibyte_character_cut_at_the_edges(self, client):
        data = "\u20ac\u20ac\u20ac\u20ac".encode()  # 3-byte characters; head and tail keep 4 bytes
        result = client.exec_command(f"printf '{data.decode()}'", max_output_bytes=8)
        marker = "\n... [truncated, 4 bytes omitted] ...\n"
        expected = data[:4].decode("utf-8", "replace") + marker + data[-4:].decode("utf-8", "replace")
        assert result.stdout == expected

    @pytest.mark.parametrize(
        "data",
        [b"\xe0\x80\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf0\x9f\x98a",
         b"\xc0\xaf", b"\xe2\x82", b"\xf0\x9f\x98\x80\xff\xfe"],
    )
    def test_decoding_of_invalid_sequences(self, data):
        check_decoding(data)

    @settings(max_examples=40, deadline=None)
    @given(st.binary(max_size=64))
    def test_decoding_of_any_bytes(self, data):
        check_decoding(data)


def check_decoding(data):
    """stderr decodes like Python's own "replace": one U+FFFD per maximal invalid subsequence."""
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "data"), "wb") as f:
            f.write(data)
        result = _core.LocalClient(tmp).exec_command("cat data >&2")
    assert result.stderr == data.decode("utf-8", "replace")
    assert result.stderr_total_bytes == len(data)


class TestExtras:
    def test_empty_without_interpreter(self, client):
        assert client.exec_command("true").extras == {}
        assert client.exec_command("true", interpreter=" \t", flags=["-x"]).extras == {}

    @pytest.mark.parametrize(
        ("interpreter", "flags", "expected"),
        [
            ("bash", None, {"interpreter": "bash", "flags": "-c"}),
            (" bash\n", "-e -u", {"interpreter": "bash", "flags": "-e -u -c"}),
            ("env", None, {"interpreter": "env"}),
            ("env", ["A=1", "sh", "-c"], {"interpreter": "env", "flags": "A=1 sh -c"}),
        ],
    )
    def test_interpreter_and_final_flags(self, client, interpreter, flags, expected):
        assert client.exec_command("true", interpreter=interpreter, flags=flags).extras == expected

    def test_a_fresh_dict_each_time(self, client):
        result = client.exec_command("true", interpreter="sh")
        first = result.extras
        first["interpreter"] = "changed"
        second = result.extras
        assert first is not second
        assert second == {"interpreter": "sh", "flags": "-c"}
