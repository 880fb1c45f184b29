"""tarnwistle: file and command tools for coding agents, on this machine or over ssh."""

import copyreg

from tarnwistle import _core
from tarnwistle._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)

# The exception classes live in the module "_core", which cannot be imported by that name, so
# pickle could not find them again. A reducer per class rebuilds an error from its name here,
# keeping its arguments and its instance dictionary (notes, attributes set by the caller), so
# errors cross process pools. copy and deepcopy go through the same reducer.
_ERRORS = {
    cls.__name__: cls
    for cls in (
        _core.ClientError,
        _core.FileNotFoundError,
        _core.PermissionDeniedError,
        _core.ConflictError,
        _core.OperationTimeoutError,
        _core.AuthenticationError,
        _core.TransferLimitError,
    )
}


def _rebuild_error(name, args):
    return _ERRORS[name](*args)


def _reduce_error(exc):
    return _rebuild_error, (type(exc).__name__, exc.args), exc.__dict__ or None


for _cls in _ERRORS.values():
    copyreg.pickle(_cls, _reduce_error)
del _cls
