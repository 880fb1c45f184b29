"""Helpers of the tests that run a text function both ways."""


class Native(str):
    """A str subclass is always encoded and worked on as UTF-8 by the native code, while an
    exact str that is not ASCII is worked on through its characters: the same call on both
    must give the same answer, or fail alike."""


def outcome(call, *args):
    """The call's result, or the class and text of the error it raised."""
    try:
        return call(*args)
    except (ValueError, UnicodeEncodeError) as e:
        return type(e), str(e)
