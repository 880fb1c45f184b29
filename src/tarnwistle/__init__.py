"""tarnwistle: file and command tools for coding agents, on this machine or over ssh."""

from tarnwistle import _core
from tarnwistle._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)
