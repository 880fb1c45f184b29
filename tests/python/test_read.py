"""Line windows: count_lines, slice_lines, format_cat_n, prepare_read."""

import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core as core

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)
BOUNDED = settings(max_examples=200, deadline=None)

# Texts made of short lines with the characters that matter: both line endings, a lone '\r',
# multi-byte characters and ones other splitters treat as line breaks.
texts = st.lists(
    st.sampled_from(["a", "bc", "\n", "\r\n", "\r", "é", "✓", "\x0b", "\u2028", "  "]),
    max_size=30,
).map("".join)


def model_lines(text):
    """Lines with their endings: pieces up to and including '\n', plus a final piece without."""
    pieces = text.split("\n")
    lines = [piece + "\n" for piece in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines


def model_cat_n(lines, start_line, total_lines, truncated):
    if not lines:
        return ""
    width = max(4, len(str(total_lines)))
    out = "".join(f"{start_line + i:>{width}}\t{line}" for i, line in enumerate(lines))
    last = start_line + len(lines) - 1
    if truncated and total_lines > last:
        if not out.endswith("\n"):
            out += "\n"
        out += f"... [truncated, {total_lines - last} lines not shown]"
    return out


def model_prepare_read(text, offset, limit, show_line_numbers):
    lines = model_lines(text)
    total = len(lines)
    if offset < 0:
        window = lines[max(0, total + offset) :]
        truncated = False
    else:
        skip = max(offset - 1, 0)
        window = lines[skip : skip + limit]
        truncated = skip < total and len(window) < total - skip
    if not window:
        return ("", total, total + 1, total, False, [])
    first = total - len(window) if offset < 0 else min(total, max(offset - 1, 0))
    if show_line_numbers:
        content = model_cat_n(window, first + 1, total, truncated)
    else:
        content = "".join(window)
    return (content, total, first + 1, first + len(window), truncated, window)


class TestCountLines:
    @pytest.mark.parametrize(
        "text, expected",
        [
            ("", 0),
            ("a", 1),
            ("a\n", 1),
            ("a\n\n", 2),
            ("\n", 1),
            ("a\nb", 2),
            ("a\r\nb\r\n", 2),
            ("a\rb", 1),  # a lone '\r' is not a line ending
            ("x\u2028y\x0bz", 1),
            ("é\n✓", 2),
        ],
    )
    def test_edge_cases(self, text, expected):
        assert core.count_lines(text) == expected

    @pytest.mark.parametrize("size", [15, 16, 17, 255 * 16, 255 * 16 + 1, 70_000])
    def test_vector_block_boundaries(self, size):
        # Newlines at every position across the 16-byte lanes and the 255-block fold.
        text = ("\n" * size) + "tail"
        assert core.count_lines(text) == size + 1
        assert core.count_lines("x" * size + "\n") == 1

    @BOUNDED
    @given(texts)
    def test_matches_model(self, text):
        assert core.count_lines(text) == len(model_lines(text))


class TestSliceLines:
    @pytest.mark.parametrize(
        "text, start, take, expected",
        [
            ("a\nb\r\nc", 1, 5, ["b\r\n", "c"]),
            ("", 0, 3, []),
            ("a\nb\n", 2, 1, []),
            ("a\nb\n", 0, 0, []),
            ("a\nb\n", 5, 1, []),
            ("a\n\n", 1, 1, ["\n"]),
            ("a\nb\nc", 1, U64_MAX, ["b\n", "c"]),  # start + take past 2^64
            ("a\nb\nc", U64_MAX, U64_MAX, []),
        ],
    )
    def test_edge_cases(self, text, start, take, expected):
        assert core.slice_lines(text, start, take) == expected

    def test_far_start_in_big_text(self):
        lines = [f"line {i} é\n" for i in range(50_000)]
        text = "".join(lines)
        assert core.slice_lines(text, 31_234, 3) == lines[31_234:31_237]
        assert core.slice_lines(text, 49_999, 10) == lines[49_999:]

    @BOUNDED
    @given(texts, st.integers(0, 12), st.integers(0, 12))
    def test_matches_model(self, text, start, take):
        assert core.slice_lines(text, start, take) == model_lines(text)[start : start + take]


class TestFormatCatN:
    @pytest.mark.parametrize(
        "lines, start_line, total_lines, truncated, expected",
        [
            ([], 1, 0, True, ""),
            (["x"], 1, 12345, False, "    1\tx"),
            (["x"], 3, 3, True, "   3\tx"),
            (["a", "b"], 1, 2, False, "   1\ta   2\tb"),
            (["x"], 1, 3, True, "   1\tx\n... [truncated, 2 lines not shown]"),
            (["a\n", "b\n"], 9, 20, True, "   9\ta\n  10\tb\n... [truncated, 10 lines not shown]"),
            (["a\n"], 1, 5, False, "   1\ta\n"),
            (["a\r\n"], 99999, 5, False, "99999\ta\r\n"),  # a longer number is written in full
        ],
    )
    def test_edge_cases(self, lines, start_line, total_lines, truncated, expected):
        assert core.format_cat_n(lines, start_line, total_lines, truncated) == expected

    def test_numbers_past_two_to_the_64(self):
        out = core.format_cat_n(["a\n", "b\n"], U64_MAX, U64_MAX, True)
        assert out == f"{U64_MAX}\ta\n{U64_MAX + 1}\tb\n"

    def test_notice_counts_up_to_u64_max(self):
        out = core.format_cat_n(["a\n"], 1, U64_MAX, True)
        assert out.endswith(f"... [truncated, {U64_MAX - 1} lines not shown]")

    def test_any_sequence_of_str(self):
        assert core.format_cat_n(("a\n", "b"), 1, 2, False) == "   1\ta\n   2\tb"

    @BOUNDED
    @given(
        st.lists(st.sampled_from(["", "x", "y\n", "é\r\n", "\t"]), max_size=8),
        st.integers(0, 2**64 - 1),
        st.integers(0, 2**64 - 1),
        st.booleans(),
    )
    def test_matches_model(self, lines, start_line, total_lines, truncated):
        expected = model_cat_n(lines, start_line, total_lines, truncated)
        assert core.format_cat_n(lines, start_line, total_lines, truncated) == expected


class TestPrepareRead:
    @pytest.mark.parametrize(
        "args, expected",
        [
            (("a\nb\nc\n", 0, 2, False), ("a\nb\n", 3, 1, 2, True, ["a\n", "b\n"])),
            (("a\nb\nc\n", 1, 2, False), ("a\nb\n", 3, 1, 2, True, ["a\n", "b\n"])),
            (("a\nb\nc\n", -2, 1, False), ("b\nc\n", 3, 2, 3, False, ["b\n", "c\n"])),
            (("a\nb\nc\n", -10, 1, False), ("a\nb\nc\n", 3, 1, 3, False, ["a\n", "b\n", "c\n"])),
            (("a\nb\n", 5, 10, True), ("", 2, 3, 2, False, [])),
            (("a\nb\n", 3, 10, True), ("", 2, 3, 2, False, [])),
            (("", 1, 10, True), ("", 0, 1, 0, False, [])),
            (("", -3, 10, True), ("", 0, 1, 0, False, [])),
            (
                ("a\nb\nc", 2, 1, True),
                ("   2\tb\n... [truncated, 1 lines not shown]", 3, 2, 2, True, ["b\n"]),
            ),
            (("a\nb\nc", 2, 2, True), ("   2\tb\n   3\tc", 3, 2, 3, False, ["b\n", "c"])),
            (("a\nb\nc", -1, 1, True), ("   3\tc", 3, 3, 3, False, ["c"])),
            (("a\nb\nc", I64_MIN, 1, False), ("a\nb\nc", 3, 1, 3, False, ["a\n", "b\n", "c"])),
            (("a\r\nb", 1, U64_MAX, False), ("a\r\nb", 2, 1, 2, False, ["a\r\n", "b"])),
        ],
    )
    def test_edge_cases(self, args, expected):
        assert core.prepare_read(*args) == expected

    @pytest.mark.parametrize(
        "text, offset", [("a\n", 1), ("", 1), ("a\n", -1), ("", -5), ("a\n", 99)]
    )
    def test_zero_limit_is_refused_first(self, text, offset):
        with pytest.raises(ValueError, match=r"^limit must be > 0$"):
            core.prepare_read(text, offset, 0, False)

    def test_tail_is_not_truncated_even_when_lines_are_left_out(self):
        assert core.prepare_read("a\nb\nc\n", -1, 5, False)[4] is False

    @pytest.mark.parametrize(
        "offset, limit",
        [(1, 100), (2_000, 100), (9_950, 100), (10_000, 5), (10_001, 5), (-100, 1), (-9_999, 1),
         (-5_000, 1), (-1, 1), (3, 20_000)],
    )
    def test_big_text_windows(self, offset, limit):
        # Spans many 4 KiB blocks, so whole-block skipping and both tail walks are exercised.
        text = "".join(f"{i:05d} {'é' * (i % 7)}{'x' * (i % 13)}\n" for i in range(10_000))
        text += "no final newline"
        for show in (False, True):
            assert core.prepare_read(text, offset, limit, show) == model_prepare_read(
                text, offset, limit, show
            )

    @BOUNDED
    @given(texts, st.integers(-12, 12), st.integers(1, 12), st.booleans())
    def test_matches_model(self, text, offset, limit, show):
        assert core.prepare_read(text, offset, limit, show) == model_prepare_read(
            text, offset, limit, show
        )


class TestArguments:
    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda: core.count_lines(b"x"), TypeError,
             "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: core.slice_lines("a", -1, 1), OverflowError, None),
            (lambda: core.slice_lines("a", 0, 2**64), OverflowError, None),
            (lambda: core.slice_lines("a", 0, 1.5), TypeError, "argument 'take': "),
            (lambda: core.format_cat_n("ab", 1, 1, False), TypeError,
             "argument 'lines': Can't extract `str` to `Vec`"),
            (lambda: core.format_cat_n([1], 1, 1, False), TypeError,
             "argument 'lines': 'int' object cannot be converted to 'PyString'"),
            (lambda: core.format_cat_n(["a"], 1, 1, 0), TypeError,
             "argument 'truncated': 'int' object cannot be converted to 'PyBool'"),
            (lambda: core.prepare_read("a", 2**63, 1, False), OverflowError, None),
            (lambda: core.prepare_read("a", -(2**63) - 1, 1, False), OverflowError, None),
            (lambda: core.prepare_read("a", 1, -1, False), OverflowError, None),
            (lambda: core.prepare_read("a", 1, 1, None), TypeError,
             "argument 'show_line_numbers': 'NoneType' object cannot be converted to 'PyBool'"),
            (lambda: core.prepare_read("\udc80", 1, 1, False), UnicodeEncodeError, None),
            (lambda: core.format_cat_n(["ok", "\ud800"], 1, 1, False), UnicodeEncodeError, None),
            (lambda: core.prepare_read("a", 1, 1), TypeError,
             "prepare_read() missing 1 required positional argument: 'show_line_numbers'"),
            (lambda: core.slice_lines("a", 0, 1, 2), TypeError,
             "slice_lines() takes 3 positional arguments but 4 were given"),
            (lambda: core.slice_lines("a", 0, 1, take=1), TypeError,
             "slice_lines() got multiple values for argument 'take'"),
        ],
    )
    def test_conversion_errors(self, call, error, message):
        with pytest.raises(error) as info:
            call()
        if message is not None:
            assert str(info.value).startswith(message)

    def test_keywords_and_index_objects(self):
        class Index:
            def __index__(self):
                return 2

        kwargs = {"".join(["t", "ext"]): "a\nb\nc", "start": Index(), "take": 1}
        assert core.slice_lines(**kwargs) == ["c"]

    def test_signatures_and_docs(self):
        assert core.count_lines.__text_signature__ == "(text)"
        assert "Empty text \u2192 0" in core.count_lines.__doc__
        assert core.prepare_read.__text_signature__ == "(text, offset, limit, show_line_numbers)"
        assert core.format_cat_n.__doc__ == (
            "Format lines as `cat -n` (right-aligned line numbers + tab)."
        )


def test_big_call_releases_the_interpreter_lock():
    # Another thread stamps the clock every millisecond. With the lock held for the whole
    # call, at most a stamp or two (a switch just before the call starts) could fall inside.
    text = "ab \n" * 4_000_000
    stamps = []
    done = threading.Event()

    def stamp():
        while not done.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.001)

    worker = threading.Thread(target=stamp)
    worker.start()
    try:
        time.sleep(0.01)
        begin = time.perf_counter()
        found = core.find_matches(text, "zz\nq")  # exact search, then the line fallback
        end = time.perf_counter()
    finally:
        done.set()
        worker.join()
    assert found == []
    if end - begin < 0.03:
        pytest.skip("the call was too quick to observe")
    assert len([s for s in stamps if begin < s < end]) >= 5
