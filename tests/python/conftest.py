import gc
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

IN_CI = os.environ.get("CI") == "true"

# Under a preloaded address sanitizer the leak check at exit is for this interpreter only: the
# shells, ssh programs and servers the tests start inherit the runtime but must not fail
# their exit on their own deliberate leaks. (This process read its options at start-up.)
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    os.environ["ASAN_OPTIONS"] = ":".join(
        [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o and not o.startswith("detect_leaks=")]
        + ["detect_leaks=0"]
    )

sys.path.insert(0, os.path.dirname(__file__))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # In CI the remote tests must really run: a skip there is a broken test setup.
    outcome = yield
    report = outcome.get_result()
    if IN_CI and report.skipped and item.get_closest_marker("ssh") is not None:
        report.outcome = "failed"
        report.longrepr = f"skipped in CI: {call.excinfo.value if call.excinfo else report.longrepr}"


def pytest_configure(config):
    config.addinivalue_line("markers", "ssh: needs the loopback OpenSSH servers")


@pytest.fixture(scope="session")
def core():
    from tarnwistle import _core

    return _core


@pytest.fixture(scope="session")
def ssh_world():
    """A throwaway user, keys and two loopback sshd instances: `main` (the host's own tools)
    and `bsd` (remote PATH with a BSD-only stat and no setsid). The logging ssh wrapper is
    first on PATH for the whole session."""
    from ssh_server import ensure_sshd, running_world

    why = ensure_sshd()
    if why is None and os.geteuid() != 0:
        why = "the loopback servers need root to create a user"
    if why is not None:
        pytest.skip(why)
    with running_world(bsd=True) as world:
        yield world


@pytest.fixture
def short_tmp(monkeypatch):
    """A TMPDIR of this test's own, so that directories other processes make in /tmp meanwhile
    do not count; on tmpfs where there is one, and short enough for control paths."""
    shm = os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK)
    path = Path(tempfile.mkdtemp(prefix="t", dir="/dev/shm" if shm else "/tmp"))
    monkeypatch.setenv("TMPDIR", str(path))
    yield path
    gc.collect()  # the clients of the test, and their control directories, go
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="session", autouse=True)
def no_leftover_local_temp_files(tmp_path_factory):
    """After the whole run, no temporary file of a local write remains under the test dirs."""
    yield
    root = tmp_path_factory.getbasetemp()
    left = [os.path.join(d, n) for d, _, names in os.walk(root) for n in names
            if n.startswith(".tarnwistle-") and n.endswith(".tmp")]
    assert not left, f"temporary files left behind: {left}"
