import os
import sys

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
    from ssh_server import SshWorld, ensure_sshd

    why = ensure_sshd()
    if why is not None:
        pytest.skip(why)
    if os.geteuid() != 0:
        pytest.skip("the loopback servers need root to create a user")
    world = SshWorld.create()
    old_path = os.environ.get("PATH", "")
    try:
        world.main = world.start_server()
        world.bsd = world.start_server(remote_path=world.bsd_tools())
        os.environ["PATH"] = f"{world.bin_dir}{os.pathsep}{old_path}"
        yield world
    finally:
        os.environ["PATH"] = old_path
        world.close()


@pytest.fixture(scope="session", autouse=True)
def no_leftover_local_temp_files(tmp_path_factory):
    """After the whole run, no temporary file of a local write remains under the test dirs."""
    yield
    root = tmp_path_factory.getbasetemp()
    left = [os.path.join(d, n) for d, _, names in os.walk(root) for n in names
            if n.startswith(".tarnwistle-") and n.endswith(".tmp")]
    assert not left, f"temporary files left behind: {left}"
