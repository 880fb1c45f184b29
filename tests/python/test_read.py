"""Line windows: count_lines, slice_lines, format_cat_n, prepare_read."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core as core
from both_paths import Native, outcome

U64_MAX = 2**64 - 1
BOUNDED = settings(max_examples=200, deadline=None)

# Short lines with both endings, a lone '\r', characters of one to four UTF-8 bytes and
# characters that other splitters treat as line breaks.
texts = st.lists(
    st.sampled_from(["a", "bc", "\n", "\r\n", "\r", "é", "✓", "😀", "\x0b", "\u2028", "  "]),
    max_size=30,
).map("".join)


def model_lines(text):
    """Pieces up to and including '\n', plus a final piece without one."""
    pieces = text.split("\n")
    return [p + "\n" for p in pieces[:-1]] + ([pieces[-1]] if pieces[-1] else [])


def model_cat_n(lines, start_line, total_lines, truncated):
    if not lines:
        return ""
    width = max(4, len(str(total_lines)))
    out = "".join(f"{start_line + i:>{width}}\t{line}" for i, line in enumerate(lines))
    last = start_line + len(lines) - 1
    if truncated and total_lines > last:
        out += "" if out.endswith("\n") else "\n"
        out += f"... [truncated, {total_lines - last} lines not shown]"
    return out


def model_prepare_read(text, offset, limit, show_line_numbers):
    lines = model_lines(text)
    total = len(lines)
    if offset < 0:
        first = max(0, total + offset)
        window, truncated = lines[first:], False
    else:
        first = min(total, max(offset - 1, 0))
        window = lines[first : first + limit]
        truncated = len(window) < total - first
    if not window:
        return ("", total, total + 1, total, False, [])
    content = "".join(window)
    if show_line_numbers:
        content = model_cat_n(window, first + 1, total, truncated)
    return (content, total, first + 1, first + len(window), truncated, window)


@pytest.mark.parametrize(
    "call, args, expected",
    [*[(core.count_lines, (text,), n) for text, n in [
        ("", 0), ("a", 1), ("a\n", 1), ("a\n\n", 2), ("\n", 1), ("a\r\nb\r\n", 2), ("é\n✓", 2),
        ("a\rb\x0bc\u2028", 1), ("x" * 4080 + "\n", 1),
        ("\n" * 4081 + "x", 4082), ("\n" * 8161 + "x", 8162)]],  # counters folded after 255 blocks
     (core.slice_lines, ("a\nb\r\nc", 1, 5), ["b\r\n", "c"]), (core.slice_lines, ("", 0, 3), []),
     (core.slice_lines, ("a\nb\n", 2, 1), []), (core.slice_lines, ("a\nb\n", 0, 0), []),
     (core.slice_lines, ("a\n\n", 1, 1), ["\n"]),
     (core.slice_lines, ("a\nb\nc", 1, U64_MAX), ["b\n", "c"]),  # start + take past 2^64
     (core.slice_lines, ("a\nb\nc", U64_MAX, U64_MAX), [])],
)
def test_count_and_slice_lines(call, args, expected):
    assert call(*args) == expected


@pytest.mark.parametrize(
    "lines, start_line, total_lines, truncated, expected",
    [([], 1, 0, True, ""), (["x"], 1, 12345, False, "    1\tx"), (["x"], 3, 3, True, "   3\tx"),
     (["a", "b"], 1, 2, False, "   1\ta   2\tb"),  # nothing is inserted between lines
     (["x"], 1, 3, True, "   1\tx\n... [truncated, 2 lines not shown]"),
     (("a\n", "b\n"), 9, 20, True, "   9\ta\n  10\tb\n... [truncated, 10 lines not shown]"),
     (["a\r\n"], 99999, 5, False, "99999\ta\r\n"),  # a longer number is written in full
     (["a\n", "b"], U64_MAX, U64_MAX, True, f"{U64_MAX}\ta\n{U64_MAX + 1}\tb"),  # past 2^64
     (["a\n"], 1, U64_MAX, True, f"{1:>20}\ta\n... [truncated, {U64_MAX - 1} lines not shown]")],
)
def test_format_cat_n(lines, start_line, total_lines, truncated, expected):
    out = core.format_cat_n(lines, start_line, total_lines, truncated)
    assert out == expected == model_cat_n(list(lines), start_line, total_lines, truncated)


class TestPrepareRead:
    @pytest.mark.parametrize(
        "args, expected",
        [(("a\nb\nc\n", 0, 2, False), ("a\nb\n", 3, 1, 2, True, ["a\n", "b\n"])),
         (("a\nb\nc\n", 1, 2, False), ("a\nb\n", 3, 1, 2, True, ["a\n", "b\n"])),
         (("a\nb\nc\n", -2, 1, False), ("b\nc\n", 3, 2, 3, False, ["b\n", "c\n"])),
         (("a\nb\nc\n", -10, 1, False), ("a\nb\nc\n", 3, 1, 3, False, ["a\n", "b\n", "c\n"])),
         (("a\nb\nc", -(2**63), 1, False), ("a\nb\nc", 3, 1, 3, False, ["a\n", "b\n", "c"])),
         (("a\nb\n", 5, 10, True), ("", 2, 3, 2, False, [])),
         (("a\nb\n", 3, 10, True), ("", 2, 3, 2, False, [])),
         (("", 1, 10, True), ("", 0, 1, 0, False, [])),
         (("", -3, 10, True), ("", 0, 1, 0, False, [])),
         (("a\nb\nc", 2, 1, True),
          ("   2\tb\n... [truncated, 1 lines not shown]", 3, 2, 2, True, ["b\n"])),
         (("a\nb\nc", -1, 1, True), ("   3\tc", 3, 3, 3, False, ["c"])),
         (("a\r\nb", 1, U64_MAX, False), ("a\r\nb", 2, 1, 2, False, ["a\r\n", "b"])),
         *[((text, offset, 0, False), (ValueError, "limit must be > 0"))  # refused first
           for text, offset in [("a\n", 1), ("", 1), ("a\n", -1), ("a\n", 99)]]],
    )
    def test_edge_cases(self, args, expected):
        assert outcome(core.prepare_read, *args) == expected

    @pytest.mark.parametrize(
        "offset, limit",
        [(2_000, 100), (9_950, 100), (10_001, 5), (10_002, 5), (-100, 1), (-5_000, 1), (-5_001, 1),
         (-9_999, 1), (3, 20_000)],
    )
    def test_big_text_windows(self, offset, limit):
        # Many 4 KiB blocks: whole-block skipping and the tail walks from either end; many
        # character runs too, on both ways of working.
        text = "".join(f"{i:05d} {'é' * (i % 7)}{'x' * (i % 13)}\n" for i in range(10_000))
        text += "end"
        for show in (False, True):
            expected = model_prepare_read(text, offset, limit, show)
            assert core.prepare_read(text, offset, limit, show) == expected
            assert core.prepare_read(Native(text), offset, limit, show) == expected
        at = abs(offset)
        assert core.slice_lines(text, at, 3) == model_lines(text)[at : at + 3]
        assert core.slice_lines(Native(text), at, 3) == model_lines(text)[at : at + 3]

@BOUNDED
@given(texts, st.sampled_from(["", "é", "\udc80"]), st.integers(-12, 12), st.integers(0, 12),
       st.booleans())
def test_both_ways_match_the_model(text, extra, offset, limit, show):
    text += extra  # mostly not ASCII, sometimes a lone surrogate
    for arg in (text, Native(text)):
        if "\udc80" in text:
            for call, args in ((core.count_lines, ()), (core.slice_lines, (1, 1)),
                               (core.prepare_read, (offset, limit, show))):
                assert outcome(call, arg, *args) == outcome(text.encode, "utf-8")
            continue
        lines = model_lines(text)
        assert core.count_lines(arg) == len(lines)
        window = lines[abs(offset) : abs(offset) + limit]
        assert core.slice_lines(arg, abs(offset), limit) == window
        expected = model_prepare_read(text, offset, limit, show) if limit else (
            ValueError, "limit must be > 0")
        assert outcome(core.prepare_read, arg, offset, limit, show) == expected


def test_docs():
    assert "\n- Empty text \u2192 0\n" in core.count_lines.__doc__
    assert core.slice_lines.__doc__ == "Slice lines (0-based `[start, start+take)`) keeping original endings."
