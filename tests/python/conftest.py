import os
import sys

import pytest

IN_CI = os.environ.get("CI") == "true"






@pytest.fixture(scope="session")
def core():
    from tarnwistle import _core

    return _core
