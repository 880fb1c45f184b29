import os
import sys

import pytest

IN_CI = os.environ.get("CI") == "true"






@pytest.fixture(scope="session")
def core():
    from tarnwistle import _core

    return _core


@pytest.fixture(scope="session", autouse=True)
def no_leftover_local_temp_files(tmp_path_factory):
    """After the whole run, no temporary file of a local write remains under the test dirs."""
    yield
    root = tmp_path_factory.getbasetemp()
    left = [os.path.join(d, n) for d, _, names in os.walk(root) for n in names
            if n.startswith(".tarnwistle-") and n.endswith(".tmp")]
    assert not left, f"temporary files left behind: {left}"
