"""LocalClient reads: whole files with their limit, and streamed line windows."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


@pytest.fixture
def client(core, tmp_path):
    return core.LocalClient(str(tmp_path))


def small(core, tmp_path, limit):
    return core.LocalClient(str(tmp_path), max_transfer_bytes=limit)


# ---- an independent model of the window, from Python's own line splitting -------------------


def model_window(data: bytes, offset: int, limit: int, max_bytes: int):
    lines = _split_lf(data)
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


def _split_lf(data):
    parts = data.split(b"\n")
    lines = [p + b"\n" for p in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def window(client, path, offset, limit, core):
    try:
        text, total, start, end, truncated = client.read_text_window(path, offset, limit, encoding="latin-1")
    except core.TransferLimitError:
        return "limit"
    return text.encode("latin-1"), total, start, end, truncated


class TestWholeFile:
    def test_bytes_and_text(self, client, tmp_path):
        (tmp_path / "f").write_bytes(b"caf\xc3\xa9\r\n\xff\xfe")
        assert client.read_bytes("f") == b"caf\xc3\xa9\r\n\xff\xfe"
        assert client.read_text("f") == "café\r\n\ufffd\ufffd"
        assert client.read_text("f", encoding="latin-1") == "cafÃ©\r\n\xff\xfe"

    @pytest.mark.parametrize("method", ["read_bytes", "read_text"])
    def test_missing(self, core, client, method):
        with pytest.raises(core.FileNotFoundError) as e:
            getattr(client, method)("nope.txt")
        assert str(e.value) == f"{method} failed: nope.txt: file does not exist"

    @pytest.mark.parametrize("method", ["read_bytes", "read_text"])
    def test_limit_is_inclusive(self, core, tmp_path, method):
        c = small(core, tmp_path, 10)
        (tmp_path / "ten").write_bytes(b"x" * 10)
        (tmp_path / "eleven").write_bytes(b"x" * 11)
        assert len(getattr(c, method)("ten")) == 10
        with pytest.raises(core.TransferLimitError) as e:
            getattr(c, method)("eleven")
        assert str(e.value) == (f"{method} failed: eleven: file size 11 exceeds the configured "
                                "transfer limit of 10 bytes")

    def test_device_without_size_is_bounded(self, core, tmp_path):
        with pytest.raises(core.TransferLimitError) as e:
            small(core, tmp_path, 1000).read_bytes("/dev/zero")
        assert str(e.value) == ("read_bytes failed: /dev/zero: file size 1001 exceeds the configured "
                                "transfer limit of 1000 bytes")

    def test_proc_file_reads_normally(self, client):
        assert os.lstat("/proc/self/status").st_size == 0
        assert client.read_text("/proc/self/status").startswith("Name:")

    def test_dangling_link(self, core, client, tmp_path):
        os.symlink("gone", tmp_path / "l")
        with pytest.raises(core.FileNotFoundError) as e:
            client.read_bytes("l")
        assert str(e.value) == "read_bytes failed: l: No such file or directory (os error 2)"

    def test_directory(self, core, client, tmp_path):
        (tmp_path / "d").mkdir()
        with pytest.raises(core.ClientError) as e:
            client.read_text("d")
        assert type(e.value) is core.ClientError
        assert str(e.value) == "read_text failed: d: Is a directory (os error 21)"

    @pytest.mark.parametrize("name", ["f", "read_bytes failed"])
    def test_stat_failure_is_not_renamed(self, core, client, tmp_path, name):
        # The path is named as given, even when it holds the inner operation's own words.
        (tmp_path / name).write_text("x")
        with pytest.raises(core.ClientError) as e:
            client.read_text(f"{name}/x")
        assert str(e.value) == f"stat failed: {name}/x: Not a directory (os error 20)"

    def test_codec_failures(self, core, client, tmp_path):
        (tmp_path / "f").write_text("x")
        with pytest.raises(core.ClientError) as e:
            client.read_text("f", encoding="nope")
        assert str(e.value) == "read_text failed: f: LookupError: unknown encoding: nope"
        with pytest.raises(core.FileNotFoundError):
            client.read_text("missing", encoding="nope")  # the file is read first


class TestWindowWorkedValues:
    @pytest.fixture
    def hundred(self, tmp_path):
        (tmp_path / "h").write_bytes(b"".join(b"line %d\n" % i for i in range(1, 101)))
        return "h"

    @pytest.mark.parametrize(
        "offset, limit, first, last, start, end, truncated",
        [
            (1, 10, 1, 10, 1, 10, True),
            (95, 10, 95, 100, 95, 100, False),
            (0, 10, 1, 10, 1, 10, True),
            (200, 10, None, None, 101, 100, False),
            (101, 1, None, None, 101, 100, False),
            (100, 1, 100, 100, 100, 100, False),
            (99, 1, 99, 99, 99, 99, True),
            (1, 2**64 - 1, 1, 100, 1, 100, False),
            (2**63 - 1, 2**64 - 1, None, None, 101, 100, False),
            (-5, 1, 96, 100, 96, 100, False),
            (-100, 1, 1, 100, 1, 100, False),
            (-101, 1, 1, 100, 1, 100, False),
            (-(2**63), 1, 1, 100, 1, 100, False),
        ],
    )
    def test_table(self, client, hundred, offset, limit, first, last, start, end, truncated):
        text = "" if first is None else "".join(f"line {i}\n" for i in range(first, last + 1))
        assert client.read_text_window(hundred, offset, limit) == (text, 100, start, end, truncated)

    @pytest.mark.parametrize("offset", [1, -1])
    def test_empty_file(self, client, tmp_path, offset):
        (tmp_path / "e").write_bytes(b"")
        assert client.read_text_window("e", offset, 5) == ("", 0, 1, 0, False)

    def test_no_final_newline(self, client, tmp_path):
        (tmp_path / "abc").write_bytes(b"a\nb\nc")
        assert client.read_text_window("abc", 2, 1) == ("b\n", 3, 2, 2, True)
        assert client.read_text_window("abc", -1, 1) == ("c", 3, 3, 3, False)
        assert client.read_text_window("abc", 3, 5) == ("c", 3, 3, 3, False)

    def test_crlf_kept(self, client, tmp_path):
        (tmp_path / "crlf").write_bytes(b"a\r\nb\r\n")
        assert client.read_text_window("crlf", 2, 1) == ("b\r\n", 2, 2, 2, False)
        assert client.read_text_window("crlf", -2, 1) == ("a\r\nb\r\n", 2, 1, 2, False)


class TestWindowLimits:
    def test_tail_fails_on_any_long_line(self, core, tmp_path):
        (tmp_path / "f").write_bytes(b"x" * 19 + b"\n" + b"ab\n")
        with pytest.raises(core.TransferLimitError) as e:
            small(core, tmp_path, 10).read_text_window("f", -1, 1)
        assert str(e.value) == "read window exceeds the configured transfer limit of 10 bytes"

    @pytest.mark.parametrize("k, fails", [(2, False), (3, True)])
    def test_tail_checks_k_consecutive_lines(self, core, tmp_path, k, fails):
        (tmp_path / "f").write_bytes(b"aaa\n" * 4 + b"b\n")  # any 3 lines of "aaa\n" are 12 bytes
        c = small(core, tmp_path, 10)
        if fails:
            with pytest.raises(core.TransferLimitError):
                c.read_text_window("f", -k, 1)
        else:
            assert c.read_text_window("f", -k, 1) == ("aaa\nb\n", 5, 4, 5, False)

    @pytest.mark.parametrize("limit, fails", [(2, False), (3, True)])
    def test_head_window_limit_is_inclusive(self, core, tmp_path, limit, fails):
        (tmp_path / "f").write_bytes(b"12345\n" * 3 + b"x" * 100)  # two lines: exactly 12 bytes
        c = small(core, tmp_path, 12)
        if fails:
            with pytest.raises(core.TransferLimitError):
                c.read_text_window("f", 1, limit)
        else:
            assert c.read_text_window("f", 1, limit) == ("12345\n12345\n", 4, 1, 2, True)

    def test_head_ignores_long_lines_outside(self, core, tmp_path):
        (tmp_path / "f").write_bytes(b"x" * 50 + b"\nok\n" + b"y" * 50)
        assert small(core, tmp_path, 10).read_text_window("f", 2, 1) == ("ok\n", 3, 2, 2, True)


class TestWindowErrors:
    @pytest.mark.parametrize(
        "setup, name, exc, message",
        [
            (lambda p: None, "missing", "FileNotFoundError", "read_window failed: missing: file does not exist"),
            (lambda p: (p / "d").mkdir(), "d", "ClientError", "read_window failed: d: path is a directory"),
            (lambda p: os.mkfifo(p / "fifo"), "fifo", "ClientError",
             "read_window failed: fifo: path is not a regular file"),
            (lambda p: os.symlink("gone", p / "l"), "l", "ClientError",
             "read_window failed: l: path is not a regular file"),
        ],
    )
    def test_kinds(self, core, client, tmp_path, setup, name, exc, message):
        setup(tmp_path)
        with pytest.raises(getattr(core, exc)) as e:
            client.read_text_window(name, 1, 1)
        assert type(e.value) is getattr(core, exc)
        assert str(e.value) == message

    def test_zero_limit_before_file_access(self, client):
        with pytest.raises(ValueError, match=r"^limit must be > 0$"):
            client.read_text_window("missing", 1, 0)


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
    """Files larger than the read buffer, checked against the model above."""

    @pytest.mark.parametrize(
        "offset, limit",
        [(1, 5), (4000, 3), (29999, 3), (30001, 1), (30002, 40000), (59990, 100), (60002, 1), (60003, 1)]
        + [(-k, 1) for k in (1, 2, 3, 100, 5000, 29000, 31000, 70000)],
    )
    def test_matches_model(self, core, big, offset, limit):
        path, data = big
        c = core.LocalClient(str(path.parent), max_transfer_bytes=268435456)
        assert window(c, path.name, offset, limit, core) == model_window(data, offset, limit, 268435456)

    @pytest.mark.parametrize("max_bytes", [1_400_000, 1_500_001, 1_500_002, 1_600_000, 6_000_000])
    @pytest.mark.parametrize("offset", [-1, -10, -400, 29990])
    def test_limit_matches_model(self, core, big, offset, max_bytes):
        path, data = big
        c = core.LocalClient(str(path.parent), max_transfer_bytes=max_bytes)
        assert window(c, path.name, offset, 20, core) == model_window(data, offset, 20, max_bytes)

    @settings(max_examples=300, deadline=None)
    @given(
        data=st.lists(st.sampled_from([b"a", b"bb", b"\n", b"\r\n", b"xyz\n", b"\n\n"]), max_size=40).map(b"".join),
        offset=st.integers(-50, 50),
        limit=st.integers(1, 50),
        max_bytes=st.integers(1, 60),
    )
    def test_small_files_match_model(self, core, tmp_path_factory, data, offset, limit, max_bytes):
        path = tmp_path_factory.getbasetemp() / "hypothesis-window.txt"
        path.write_bytes(data)
        c = core.LocalClient(str(path.parent), max_transfer_bytes=max_bytes)
        assert window(c, path.name, offset, limit, core) == model_window(data, offset, limit, max_bytes)


class TestGilReleased:
    def test_blocked_read_lets_other_threads_run(self, core, tmp_path):
        # Opening a FIFO for reading blocks until a writer comes: only another Python thread of
        # the same process can be that writer, so this finishes only if the GIL is released.
        os.mkfifo(tmp_path / "fifo")
        code = textwrap.dedent(f"""
            import os, threading
            from tarnwistle import _core
            def writer():
                with open({str(tmp_path / "fifo")!r}, "wb") as f:
                    f.write(b"from another thread")
            t = threading.Thread(target=writer)
            t.start()
            print(_core.LocalClient({str(tmp_path)!r}).read_bytes("fifo"))
            t.join()
        """)
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(core.__file__)))
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20, env=env)
        assert out.stdout.strip() == "b'from another thread'", out.stderr

    @pytest.mark.parametrize("operation", ["read_text_window", "read_bytes", "write_bytes", "write_text_atomic"])
    def test_other_threads_run_during_file_work(self, core, tmp_path, operation):
        # A spinning thread can only advance while the caller has let go of the GIL.
        data = b"some line of text\n" * (16 * 2**20 // 18)
        (tmp_path / "big").write_bytes(data)
        text = data.decode()
        c = core.LocalClient(str(tmp_path), max_transfer_bytes=2**28)
        calls = {
            "read_text_window": lambda: c.read_text_window("big", -1, 1),
            "read_bytes": lambda: c.read_bytes("big"),
            "write_bytes": lambda: c.write_bytes("out", data),
            "write_text_atomic": lambda: c.write_text_atomic("out", text),
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

