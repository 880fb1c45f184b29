"""LocalClient.exec_command: running commands on this machine."""

import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

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


class TestExitStatus:
    @pytest.mark.parametrize("status", [0, 1, 3, 255])
    def test_exit_codes(self, client, status):
        result = client.exec_command(f"exit {status}")
        assert (result.exit_code, result.signal, result.timed_out) == (status, None, False)

    @pytest.mark.parametrize(("name", "number"), [("TERM", 15), ("KILL", 9), ("INT", 2)])
    def test_terminated_by_a_signal(self, client, name, number):
        result = client.exec_command(f"kill -{name} $$")
        assert (result.exit_code, result.signal, result.timed_out) == (-number, number, False)

    def test_failures_are_results_not_exceptions(self, client):
        result = client.exec_command("ls /no/such/path")
        assert result.exit_code != 0 and "/no/such/path" in result.stderr


class TestTimeout:
    def test_sleep_is_stopped(self, client):
        start = time.monotonic()
        result = client.exec_command("sleep 10", timeout=0.2)
        took = time.monotonic() - start
        assert (result.exit_code, result.timed_out, result.signal) == (124, True, None)
        assert 200 <= result.duration_ms < 1500
        assert took < 1.5

    def test_child_ignoring_term_is_killed_after_a_second_of_grace(self, client):
        start = time.monotonic()
        result = client.exec_command("trap '' TERM; echo ready; sleep 10", timeout=0.2)
        took = time.monotonic() - start
        assert (result.exit_code, result.timed_out) == (124, True)
        assert result.stdout == "ready\n"
        assert 1.15 <= took < 4.0

    def test_grandchild_in_the_group_is_stopped_too(self, client):
        result = client.exec_command("sleep 30 & echo $!; wait", timeout=0.3)
        assert result.timed_out
        assert wait_gone(int(result.stdout))

    def test_output_before_the_deadline_is_kept(self, client):
        result = client.exec_command("echo out; echo err >&2; sleep 10", timeout=0.3)
        assert (result.stdout, result.stderr) == ("out\n", "err\n")


class TestInterrupt:
    def test_ctrl_c_stops_the_command_at_once(self, client):
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            client.exec_command("sleep 30 & echo $! > pid; wait")
        assert time.monotonic() - started < 0.8
        assert wait_gone(int((client.resolve("pid") and open(client.resolve("pid")).read())), 0.5)

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


class TestBackgroundJobs:
    def test_job_holding_stdout_open_ends_the_wait_after_about_two_seconds(self, client):
        start = time.monotonic()
        result = client.exec_command("echo early; sleep 5 & echo $!; exit 0")
        took = time.monotonic() - start
        early, job = result.stdout.split()
        try:
            assert (result.exit_code, result.timed_out, early) == (0, False, "early")
            assert 1.9 <= took < 4.0
            assert not process_gone(int(job))  # an ordinary end signals nobody
        finally:
            os.kill(int(job), signal.SIGKILL)

    def test_job_with_its_own_output_does_not_delay(self, client):
        start = time.monotonic()
        result = client.exec_command("sleep 5 >/dev/null 2>&1 & echo $!")
        assert time.monotonic() - start < 1.5
        os.kill(int(result.stdout), signal.SIGKILL)


class TestStdin:
    @pytest.mark.parametrize(
        "text", ["h\u00e9llo", "", "a\nb\n" * 1000, "x" * 300_000, "y" * 3_000_000], ids=["short", "empty", "lines", "large", "over-limit"]
    )
    def test_fed_to_the_command(self, client, text):
        result = client.exec_command("cat", stdin=text)
        assert result.stdout_total_bytes == len(text.encode())
        assert result.stdout == text or result.truncated

    def test_input_the_child_never_reads_does_not_delay(self, client):
        start = time.monotonic()
        result = client.exec_command("exit 0", stdin="x" * 10_000_000)
        assert result.ok
        assert time.monotonic() - start < 1.5

    def test_absent_input_reads_as_end_of_file(self, client):
        result = client.exec_command("cat; echo done", timeout=5)
        assert not result.timed_out and result.stdout == "done\n"

    @pytest.mark.parametrize(
        ("stdin", "detail"),
        [(b"x", "AttributeError: 'bytes' object has no attribute 'encode'"),
         ("\udc80", "UnicodeEncodeError: ")],
    )
    def test_must_be_text(self, client, stdin, detail):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("cat", stdin=stdin)
        assert str(info.value).startswith("stdin must be valid UTF-8 text: " + detail)


class TestOutput:
    def test_over_the_limit_on_one_stream(self, client):
        result = client.exec_command(
            "head -c 300000 /dev/zero | tr '\\0' o; echo tail; echo err >&2", max_output_bytes=1000
        )
        assert result.stdout_total_bytes == 300005
        assert result.stdout_omitted_bytes == 299005
        assert result.stdout.startswith("o" * 500 + "\n... [truncated, 299005 bytes omitted] ...\n")
        assert result.stdout.endswith("o" * 495 + "tail\n")
        assert (result.stderr, result.stderr_total_bytes, result.stderr_omitted_bytes) == ("err\n", 4, 0)
        assert result.truncated

    def test_large_output_streams_through(self, client):
        result = client.exec_command("head -c 50000000 /dev/zero; echo end >&2")
        assert result.stdout_total_bytes == 50_000_000
        assert len(result.stdout) < 1048576 + 100
        assert result.stderr == "end\n"

    def test_binary_output(self, client):
        result = client.exec_command("printf '\\000\\001\\377A'")
        assert result.stdout == "\x00\x01\ufffdA"
        assert result.stdout_total_bytes == 4


class TestEnvironment:
    def test_overlay_keeps_the_inherited_environment(self, client, monkeypatch):
        monkeypatch.setenv("TARNWISTLE_INHERITED", "kept")
        monkeypatch.setenv("TARNWISTLE_REPLACED", "old")
        result = client.exec_command(
            'echo "$TARNWISTLE_INHERITED $TARNWISTLE_REPLACED $TARNWISTLE_NEW"',
            env={"TARNWISTLE_REPLACED": "new", "TARNWISTLE_NEW": "n"},
        )
        assert result.stdout == "kept new n\n"
        assert "TARNWISTLE_NEW" not in os.environ

    def test_path_search_uses_this_process_path(self, client, tmp_path, monkeypatch):
        tool = tmp_path / "bin" / "tw-tool"
        tool.parent.mkdir()
        tool.write_text("#!/bin/sh\necho tool $1\n")
        tool.chmod(0o755)
        monkeypatch.setenv("PATH", f"{tool.parent}:{os.environ['PATH']}")
        assert client.exec_command("x", interpreter="tw-tool").stdout == "tool x\n"


class TestInterpreters:
    def test_default_shell(self, client):
        result = client.exec_command('echo "$0" "$1"')
        assert result.stdout == "/bin/sh \n"
        assert result.extras == {}

    def test_python_with_injected_flag(self, client):
        result = client.exec_command("print(6 * 7)", interpreter=" python3 ")
        assert result.stdout == "42\n"
        assert result.extras == {"interpreter": "python3", "flags": "-c"}

    @pytest.mark.parametrize("flags", [["-Wignore::DeprecationWarning"], "-Wignore::DeprecationWarning"])
    def test_python_option_with_an_argument_still_runs_the_command(self, client, flags):
        result = client.exec_command("import sys; print(sys.warnoptions)", interpreter="python3", flags=flags)
        assert result.stdout == "['ignore::DeprecationWarning']\n", result.stderr

    def test_python_own_c_flag_is_not_doubled(self, client):
        result = client.exec_command("print(1)", interpreter="python3", flags=["-Ic"])
        assert result.stdout == "1\n"
        assert result.extras["flags"] == "-Ic"

    def test_shell_flags_are_used(self, client):
        result = client.exec_command("false; echo reached", interpreter="sh", flags="-e")
        assert (result.exit_code, result.stdout) == (1, "")
        assert result.extras == {"interpreter": "sh", "flags": "-e -c"}

    def test_blank_interpreter_is_no_interpreter(self, client):
        result = client.exec_command('echo "$0"', interpreter="  \u3000", flags=["-e"])
        assert result.stdout == "/bin/sh\n" and result.extras == {}

    def test_flags_ignored_without_interpreter(self, client):
        result = client.exec_command("false; echo reached", flags=["-e"])
        assert result.stdout == "reached\n"

    @pytest.mark.skipif(shutil.which("perl") is None, reason="perl is not installed")
    def test_perl_runs_code_given_as_text(self, client):
        result = client.exec_command('print "ok\\n"', interpreter="perl")
        assert result.stdout == "ok\n" and result.extras["flags"] == "-e"

    @pytest.mark.skipif(shutil.which("ruby") is None, reason="ruby is not installed")
    def test_ruby_runs_code_given_as_text(self, client):
        assert client.exec_command("puts 1 + 1", interpreter="ruby").stdout == "2\n"

    def test_command_is_one_argument(self, client):
        result = client.exec_command("a 'b c'", interpreter="printf", flags=["%s|"])
        assert result.stdout == "a 'b c'|"


class TestWorkingDirectory:
    def test_default_and_relative(self, client, tmp_path):
        (tmp_path / "sub").mkdir()
        assert client.exec_command("pwd").stdout == f"{tmp_path.resolve()}\n"
        result = client.exec_command("pwd", cwd="sub")
        assert result.stdout == f"{tmp_path.resolve() / 'sub'}\n"
        assert result.cwd == str(tmp_path.resolve() / "sub")
        assert client.exec_command("pwd", cwd="").cwd == str(tmp_path.resolve())

    def test_missing_directory(self, client):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("true", cwd="/no/such/dir")
        assert type(info.value) is _core.ClientError
        assert str(info.value) == "command failed to start: No such file or directory (os error 2)"


class TestStartFailures:
    def test_missing_program(self, client):
        with pytest.raises(_core.ClientError) as info:
            client.exec_command("x", interpreter="no-such-interpreter-tw")
        assert str(info.value) == "command failed to start: No such file or directory (os error 2)"

    def test_not_executable(self, client, tmp_path):
        (tmp_path / "plain").write_text("echo no\n")
        with pytest.raises(_core.ClientError, match=r"^command failed to start: Permission denied \(os error 13\)$"):
            client.exec_command("x", interpreter=str(tmp_path / "plain"))

    def test_nul_in_the_command_is_refused_not_cut(self, client, tmp_path):
        with pytest.raises(_core.ClientError, match="^command failed to start: nul byte found in provided data$"):
            client.exec_command(f"touch {tmp_path}/a\0b")
        assert not (tmp_path / "a").exists()

    def test_call_pipeline(self, client):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'command'$"):
            client.exec_command()
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given$"):
            client.exec_command("true", "/tmp")
        with pytest.raises(TypeError, match=r"^argument 'command': 'bytes' object cannot be converted to 'PyString'$"):
            client.exec_command(b"true")
        assert client.exec_command(**{"".join(["comm", "and"]): "true"}).ok


def test_host_with_closed_standard_streams(tmp_path):
    # The first new pipe then takes the numbers 0 and 1; the child must still get its ends.
    out = tmp_path / "out"
    script = (
        "import os\n"
        "os.close(0); os.close(1)\n"
        "from tarnwistle import _core\n"
        f"r = _core.LocalClient({str(tmp_path)!r}).exec_command('cat; echo e >&2', stdin='in')\n"
        f"open({str(out)!r}, 'w').write(repr((r.stdout, r.stderr, r.exit_code)))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd="/")
    assert done.returncode == 0, done.stderr
    assert out.read_text() == repr(("in", "e\n", 0))


class TestSigpipe:
    def test_child_starts_with_the_default_disposition(self, client):
        assert signal.getsignal(signal.SIGPIPE) == signal.SIG_IGN  # as Python sets it
        result = client.exec_command("exec grep SigIgn /proc/self/status")
        ignored = int(result.stdout.split()[1], 16)
        assert ignored & (1 << (signal.SIGPIPE - 1)) == 0
        # A writer into a closed pipe dies quietly instead of reporting an error.
        result = client.exec_command("yes | head -c 2")
        assert (result.stdout, result.stderr, result.exit_code) == ("y\n", "", 0)

    def test_host_with_default_sigpipe_survives_unread_input(self, tmp_path):
        script = (
            "import signal, time\n"
            "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
            "from tarnwistle import _core\n"
            f"r = _core.LocalClient({str(tmp_path)!r}).exec_command('exit 0', stdin='x' * 10_000_000)\n"
            "time.sleep(0.5)\n"
            "print('alive', r.exit_code)\n"
        )
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd="/")
        assert (done.returncode, done.stdout) == (0, "alive 0\n"), done.stderr


class TestConcurrency:
    def test_gil_is_released_while_a_command_runs(self, client):
        ticks = []
        stop = threading.Event()

        def tick():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.01)

        thread = threading.Thread(target=tick)
        thread.start()
        try:
            start = time.monotonic()
            client.exec_command("sleep 0.5")
            end = time.monotonic()
        finally:
            stop.set()
            thread.join()
        during = [t for t in ticks if start < t < end]
        # Held, the GIL would allow no tick at all; released, about 50 fit in.
        assert len(during) >= 3

    def test_four_commands_overlap(self, client):
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
