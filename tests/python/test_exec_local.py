"""LocalClient.exec_command: running commands on this machine, and the CommandResult it gives."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core


@pytest.fixture
def client(tmp_path):
    return _core.LocalClient(str(tmp_path))


def process_gone(pid):
    """True once `pid` no longer exists or is a zombie waiting for its reaper."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except FileNotFoundError:
        return True
    return stat[stat.rindex(")") + 2] == "Z"


def wait_gone(pid, limit=3.0):
    until = time.monotonic() + limit
    while not process_gone(pid):
        if time.monotonic() > until:
            return False
        time.sleep(0.02)
    return True


class TestResult:
    def test_success(self, client, tmp_path):
        result = client.exec_command("echo hello")
        assert (result.ok, bool(result), result.signal, result.exit_code, result.timed_out) == (True, True, None, 0, False)
        assert (result.stdout, result.stderr, result.command) == ("hello\n", "", "echo hello")
        assert repr(result) == "CommandResult(exit_code=0, timed_out=false, stdout_bytes=6, stderr_bytes=0)"
        assert result.cwd == str(tmp_path.resolve())
        assert isinstance(result.duration_ms, int) and result.duration_ms >= 0
        assert (result.truncated, result.stdout_omitted_bytes, result.stderr_omitted_bytes) == (False, 0, 0)

    @pytest.mark.parametrize(
        ("command", "exit_code", "signal_number"),
        [("exit 1", 1, None), ("echo oops >&2; exit 3", 3, None), ("exit 255", 255, None),
         ("kill -TERM $$", -15, 15), ("kill -KILL $$", -9, 9),
         # A shell cannot undo an interrupt ignored since its start (a background job's).
         ("exec python3 -c 'import os, signal; signal.signal(2, signal.SIG_DFL); os.kill(os.getpid(), 2)'", -2, 2)],
    )
    def test_failures_are_falsy_results(self, client, command, exit_code, signal_number):
        result = client.exec_command(command)
        assert (result.exit_code, result.signal, result.timed_out) == (exit_code, signal_number, False)
        assert result.ok is False and not result
        stderr = len(result.stderr.encode())
        assert repr(result) == (f"CommandResult(exit_code={exit_code}, timed_out=false, stdout_bytes=0, "
                                f"stderr_bytes={stderr})")
        if exit_code == 3:
            assert (result.stderr, result.stderr_total_bytes) == ("oops\n", 5)

    def test_extras_are_a_fresh_dict_each_time(self, client):
        result = client.exec_command("true", interpreter="sh")
        first = result.extras
        first["interpreter"] = "changed"
        second = result.extras
        assert first is not second
        assert second == {"interpreter": "sh", "flags": "-c"}


def check_decoding(data):
    """Both streams decode like Python's own "replace": one U+FFFD per maximal invalid
    subsequence; their counts are bytes of the raw stream."""
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "data"), "wb") as f:
            f.write(data)
        result = _core.LocalClient(tmp).exec_command("cat data; cat data >&2")
    text = data.decode("utf-8", "replace")
    assert (result.stdout, result.stderr) == (text, text)
    assert (result.stdout_total_bytes, result.stderr_total_bytes) == (len(data), len(data))


class TestOutput:
    def test_over_the_limit_on_one_stream(self, client):
        result = client.exec_command(
            "head -c 300000 /dev/zero | tr '\\0' o; echo tail; echo err >&2", max_output_bytes=1000
        )
        assert (result.stdout_total_bytes, result.stdout_omitted_bytes, result.truncated) == (300005, 299005, True)
        assert result.stdout.startswith("o" * 500 + "\n... [truncated, 299005 bytes omitted] ...\n")
        assert result.stdout.endswith("o" * 495 + "tail\n")
        assert (result.stderr, result.stderr_total_bytes, result.stderr_omitted_bytes) == ("err\n", 4, 0)

    def test_large_outputs_in_turn_keep_only_their_own_bytes(self, client):
        # Large capture buffers are reused by later runs, the result's own included once it
        # is dropped: no run may show bytes of another.
        for size, char, limit in [(3_000_000, "a", 1 << 20), (200_000, "b", 1 << 20),
                                  (700_000, "c", 300_000), (90_000, "d", 1 << 20)]:
            result = client.exec_command(f"head -c {size} /dev/zero | tr '\\0' {char}",
                                         max_output_bytes=limit)
            omitted = max(size - limit, 0)
            marker = f"\n... [truncated, {omitted} bytes omitted] ...\n" if omitted else ""
            kept_head = min(size, limit // 2)
            expected = char * kept_head + marker + char * (size - omitted - kept_head)
            assert (result.stdout, result.stdout_omitted_bytes) == (expected, omitted)

    def test_multibyte_character_cut_at_the_edges(self, client):
        data = "\u20ac\u20ac\u20ac\u20ac".encode()  # 3-byte characters; head and tail keep 4 bytes
        result = client.exec_command(f"printf '{data.decode()}'", max_output_bytes=8)
        marker = "\n... [truncated, 4 bytes omitted] ...\n"
        expected = data[:4].decode("utf-8", "replace") + marker + data[-4:].decode("utf-8", "replace")
        assert result.stdout == expected

    def test_decoding_of_nul_invalid_and_multibyte_characters(self):
        check_decoding(b"\x00\x01\xffA\xc3\xa9\xf4\x8f\xbf\xbf\xf4\x90\x80\x80")  # up to U+10FFFF

    @settings(max_examples=40, deadline=None)
    @given(st.binary(max_size=64))
    def test_decoding_of_any_bytes(self, data):
        check_decoding(data)


class TestTimeoutAndJobs:
    def test_the_process_group_is_stopped_and_output_kept(self, client):
        start = time.monotonic()
        result = client.exec_command("echo err >&2; sleep 30 & echo $!; wait", timeout=0.2)
        took = time.monotonic() - start
        assert (result.exit_code, result.timed_out, result.signal, result.ok) == (124, True, None, False)
        assert repr(result).startswith("CommandResult(exit_code=124, timed_out=true,")
        assert 200 <= result.duration_ms < 1500 and took < 1.5
        assert result.stderr == "err\n"
        assert wait_gone(int(result.stdout))  # the grandchild in the group is stopped too

    def test_child_ignoring_term_is_killed_after_a_second_of_grace(self, client):
        start = time.monotonic()
        result = client.exec_command("trap '' TERM; echo ready; sleep 10", timeout=0.2)
        assert (result.exit_code, result.timed_out, result.stdout) == (124, True, "ready\n")
        assert 1.15 <= time.monotonic() - start < 4.0

    def test_job_holding_stdout_open_ends_the_wait_after_about_two_seconds(self, client):
        start, cpu = time.monotonic(), time.process_time()
        result = client.exec_command("echo early; sleep 5 & echo $!; exit 0")
        took, cpu = time.monotonic() - start, time.process_time() - cpu
        early, job = result.stdout.split()
        try:
            assert (result.exit_code, result.timed_out, early) == (0, False, "early")
            assert 1.9 <= took < 4.0
            assert cpu < 0.5  # waited for, not polled in a loop
            assert not wait_gone(int(job), 0.1)  # an ordinary end signals nobody
        finally:
            os.kill(int(job), signal.SIGKILL)

    def test_job_with_its_own_output_does_not_delay(self, client):
        start = time.monotonic()
        result = client.exec_command("sleep 5 >/dev/null 2>&1 & echo $!")
        assert time.monotonic() - start < 1.5
        os.kill(int(result.stdout), signal.SIGKILL)


class TestInterrupt:
    @pytest.fixture(autouse=True)
    def interruptible(self):
        # Started with interrupts ignored (as a background job is), Python sets no handler.
        old = signal.signal(signal.SIGINT, signal.default_int_handler)
        yield
        signal.signal(signal.SIGINT, old)

    def test_ctrl_c_stops_the_command_at_once(self, client):
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            client.exec_command("sleep 30 & echo $! > pid; wait")
        assert time.monotonic() - started < 0.8
        assert wait_gone(int(open(client.resolve("pid")).read()), 0.5)

    def test_other_threads_are_not_interrupted(self, client):
        done = threading.Event()
        results = []

        def work():
            results.append(client.exec_command("sleep 0.6; echo done"))
            done.set()

        threading.Thread(target=work).start()
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        with pytest.raises(KeyboardInterrupt):
            done.wait(5)
        assert done.wait(5) and results[0].stdout == "done\n" and results[0].ok


class TestStdin:
    @pytest.mark.parametrize(
        "text", ["h\u00e9llo", "", "a\nb\n" * 1000, "x" * 300_000, "y" * 3_000_000],
        ids=["short", "empty", "lines", "large", "over-limit"]
    )
    def test_fed_to_the_command(self, client, text):
        result = client.exec_command("cat", stdin=text)
        assert result.stdout_total_bytes == len(text.encode())
        assert result.stdout == text or result.truncated

    def test_unread_or_absent_input_does_not_delay(self, client):
        start = time.monotonic()
        assert client.exec_command("exit 0", stdin="x" * 10_000_000).ok
        assert time.monotonic() - start < 1.5
        result = client.exec_command("cat; echo done", timeout=5)  # absent: end of file
        assert not result.timed_out and result.stdout == "done\n"

def needs(program):
    return pytest.mark.skipif(shutil.which(program) is None, reason=f"{program} is not installed")


class TestInterpreters:
    @pytest.mark.parametrize(
        ("command", "interpreter", "flags", "exit_code", "stdout", "extras"),
        [
            ('echo "$0" "$1"', None, None, 0, "/bin/sh \n", {}),
            ("print(6 * 7)", " python3 ", None, 0, "42\n", {"interpreter": "python3", "flags": "-c"}),
            # an option with an argument still runs the command
            ("import sys; print(sys.warnoptions)", "python3", ["-Wignore::DeprecationWarning"], 0,
             "['ignore::DeprecationWarning']\n", None),
            ("print(1)", "python3", ["-Ic"], 0, "1\n", {"interpreter": "python3", "flags": "-Ic"}),
            ("false; echo reached", "sh", "-e", 1, "", {"interpreter": "sh", "flags": "-e -c"}),
            ("true", " bash\n", "-e -u", 0, "", {"interpreter": "bash", "flags": "-e -u -c"}),
            ("true", "env", None, 0, "", {"interpreter": "env"}),
            ("true", "env", ["A=1", "sh", "-c"], 0, "", {"interpreter": "env", "flags": "A=1 sh -c"}),
            # a blank interpreter is none, and flags are ignored without one
            ('echo "$0"', "  \u3000", ["-e"], 0, "/bin/sh\n", {}),
            ("false; echo reached", " \t", ["-x"], 0, "reached\n", {}),
            ("false; echo reached", None, ["-e"], 0, "reached\n", {}),
            ("a 'b c'", "printf", ["%s|"], 0, "a 'b c'|", None),  # the command is one argument
            pytest.param('print "ok\\n"', "perl", None, 0, "ok\n", {"interpreter": "perl", "flags": "-e"},
                         marks=needs("perl")),
            pytest.param("puts 1 + 1", "ruby", None, 0, "2\n", None, marks=needs("ruby")),
        ],
    )
    def test_table(self, client, command, interpreter, flags, exit_code, stdout, extras):
        result = client.exec_command(command, interpreter=interpreter, flags=flags)
        assert (result.exit_code, result.stdout) == (exit_code, stdout), result.stderr
        if extras is not None:
            assert result.extras == extras


class TestStart:
    def test_working_directory(self, client, tmp_path):
        (tmp_path / "sub").mkdir()
        assert client.exec_command("pwd").stdout == f"{tmp_path.resolve()}\n"
        result = client.exec_command("pwd", cwd="sub")
        assert result.stdout == f"{tmp_path.resolve() / 'sub'}\n"
        assert result.cwd == str(tmp_path.resolve() / "sub")
        assert client.exec_command("pwd", cwd="").cwd == str(tmp_path.resolve())

    @pytest.mark.parametrize(
        ("command", "options", "message"),
        [
            ("true", {"cwd": "/no/such/dir"}, "No such file or directory (os error 2)"),
            ("x", {"interpreter": "no-such-interpreter-tw"}, "No such file or directory (os error 2)"),
            ("x", {"interpreter": "plain"}, "Permission denied (os error 13)"),  # not executable
            ("touch a\0b", {}, "nul byte found in provided data"),  # refused, not cut
        ],
    )
    def test_failures(self, client, tmp_path, command, options, message):
        (tmp_path / "plain").write_text("echo no\n")
        options = {k: str(tmp_path / v) if v == "plain" else v for k, v in options.items()}
        with pytest.raises(_core.ClientError) as info:
            client.exec_command(command, **options)
        assert type(info.value) is _core.ClientError
        assert str(info.value) == f"command failed to start: {message}"
        assert not (tmp_path / "a").exists()


class TestHostProcess:
    def test_closed_standard_streams_and_default_sigpipe(self, tmp_path):
        # With 0 and 1 closed the first new pipe takes their numbers: the child must still get
        # its ends. With SIGPIPE at its default, input the child never reads must not kill us.
        out = tmp_path / "out"
        script = (
            "import os, signal, time\n"
            "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
            "os.close(0); os.close(1)\n"
            "from tarnwistle import _core\n"
            f"c = _core.LocalClient({str(tmp_path)!r})\n"
            "r = c.exec_command('cat; echo e >&2', stdin='in')\n"
            "q = c.exec_command('exit 0', stdin='x' * 10_000_000)\n"
            "time.sleep(0.5)\n"
            f"open({str(out)!r}, 'w').write(repr((r.stdout, r.stderr, r.exit_code, q.exit_code)))\n"
        )
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd="/")
        assert done.returncode == 0, done.stderr
        assert out.read_text() == repr(("in", "e\n", 0, 0))

    def test_four_commands_overlap(self, client):
        # Each thread lets go of the GIL while its command runs.
        results = []
        threads = [
            threading.Thread(target=lambda: results.append(client.exec_command("sleep 0.6")))
            for _ in range(4)
        ]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert time.monotonic() - start < 1.8  # one after the other would take 2.4 s
        assert len(results) == 4 and all(r.ok for r in results)
