"""Patch application: seek_sequence, derive_new_contents, apply_line_replacements."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core as core
from both_paths import outcome

U64_MAX = 2**64 - 1
BOUNDED = settings(max_examples=200, deadline=None)

WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + (
    "\u2028\u2029\u202f\u205f\u3000"
)
NORMALISED = {
    **dict.fromkeys("\xa0\u202f\u205f\u3000" + "".join(map(chr, range(0x2002, 0x200B))), " "),
    **dict.fromkeys("\u2010\u2011\u2012\u2013\u2014\u2015\u2212", "-"),
    **dict.fromkeys("\u2018\u2019\u201a\u201b", "'"),
    **dict.fromkeys("\u201c\u201d\u201e\u201f", '"'),
}
TRANSLATION = str.maketrans(NORMALISED)
FORMS = [
    lambda s: s,
    lambda s: s.rstrip(WHITE_SPACE),
    lambda s: s.strip(WHITE_SPACE),
    lambda s: s.strip(WHITE_SPACE).translate(TRANSLATION),
]


def model_seek(lines, pattern, start, eof):
    if not pattern:
        return start
    last = len(lines) - len(pattern)
    for form in FORMS:
        for i in range(last if eof else start, last + 1):
            if all(form(lines[i + j]) == form(p) for j, p in enumerate(pattern)):
                return i
    return None


def model_apply_lines(lines, replacements):
    ordered, prev_end, out, cursor = sorted(replacements, key=lambda r: r[0]), 0, [], 0
    for start, length, _ in ordered:
        if start + length > U64_MAX:
            return f"replacement span overflow: start={start} len={length}"
        if start + length > len(lines):
            return f"replacement span out of range: start={start} len={length} lines={len(lines)}"
        if start < prev_end:
            return "overlapping line replacements"
        prev_end = start + length
    for start, length, new in ordered:
        out += lines[cursor:start] + new
        cursor = start + length
    return out + lines[cursor:]


chars = ["a", "b", " ", "\t", "\u2013", "-", "\u201c", '"', "\xa0", "\u2000", "\u200b", "\u3000"]
line_texts = st.lists(st.sampled_from(chars), max_size=4).map("".join)


class TestSeekSequence:
    @pytest.mark.parametrize(
        "lines, pattern, start, eof, expected",
        [(["a", "b"], [], 7, False, 7), (["a"], ["a", "b"], 0, False, None),
         (["a", "b"], ["a"], 2, False, None), (["a"], ["a"], U64_MAX, False, None),
         (["x", "y", "x"], ["x"], 0, True, 2), (["x", "y", "z"], ["x"], 0, True, None),
         (["x", "y", "x"], ["x"], 3, True, 2),  # with eof the start plays no part
         (["foo  ", "foo"], ["foo"], 0, False, 1),  # the exact pass runs over all first
         (["    return x"], ["return x"], 0, False, 0),
         (["x = \u201chi\u201d \u2013 y"], ['x = "hi" - y'], 0, False, 0),
         ([" x", "x  "], ["x"], 0, False, 1),  # trailing trim before full trim
         (["x- ", " x-"], ["x-"], 0, False, 0),  # the earlier line agrees more strictly
         (["x\u2013", " x-"], ["x-"], 0, False, 1),  # full trim before normalisation
         (["a\u2014b"], ["a--b"], 0, False, None),  # characters are mapped one to one
         (["a", "b", "a", "b"], ["a", "b"], 1, False, 2)],
    )
    def test_edge_cases(self, lines, pattern, start, eof, expected):
        assert core.seek_sequence(lines, pattern, start, eof) == expected

    @pytest.mark.parametrize("char, ascii_form", sorted(NORMALISED.items()) + [(c, None) for c in "\u2000\u2001\u200b\u2016"])
    def test_normalised_characters(self, char, ascii_form):
        if ascii_form is None:  # left alone
            assert [core.seek_sequence([f"a{char}b"], [p], 0, False) for p in ("a b", "a-b")] == [None, None]
            return
        assert core.seek_sequence([f"a{char}b"], [f"a{ascii_form}b"], 0, False) == 0
        assert core.seek_sequence([f"a{ascii_form}b"], [f"a{char}b"], 0, False) == 0

    @BOUNDED
    @given(st.lists(line_texts, min_size=1, max_size=10), st.data())
    def test_like_the_model(self, lines, data):
        # Patterns cut from the lines, then padded or retyped, so that matches at several
        # strictness levels compete and the order of the passes decides.
        at, size = data.draw(st.integers(0, len(lines) - 1)), data.draw(st.integers(0, 3))
        pads = st.sampled_from(["", " ", "\t", "\u3000", "\xa0", "b"])
        pattern = [
            data.draw(pads) + (line.translate(TRANSLATION) if data.draw(st.booleans()) else line)
            + data.draw(pads)
            for line in lines[at : at + size]
        ]
        start, eof = data.draw(st.integers(0, len(lines) + 1)), data.draw(st.booleans())
        expected = model_seek(lines, pattern, start, eof)
        assert core.seek_sequence(lines, pattern, start, eof) == expected


class TestDeriveNewContents:
    @pytest.mark.parametrize(
        "original, chunks, expected",
        [("a\nb\nc", [], "a\nb\nc"), ("a\r\nb", [], "a\r\nb"),  # no chunks: left as it is
         ("a\nb\nc", [(None, ["b"], ["B"], False)], "a\nB\nc\n"),
         ("a\r\nb\r\n", [(None, ["b"], ["B", "C"], False)], "a\r\nB\r\nC\r\n"),
         ("a\nb\r\n", [(None, ["a"], ["A"], False)], "A\r\nb\r\n"),  # any CRLF: all CRLF
         ("a\nb\n", [(None, [], ["z"], False)], "a\nb\nz\n"),
         ("a\nb\n", [("a", [], ["z"], False)], "a\nz\nb\n"),
         ("a\nb\n", [("a", [], ["z"], True)], "a\nb\nz\n"),
         ("a\nb", [(None, ["b", ""], ["B", ""], False)], "a\nB\n"),  # trailing-empty retry
         ("a\nb", [(None, ["b", ""], ["B"], False)], "a\nB\n"),
         ("a\nb", [(None, ["b", ""], [""], False)], "a\n"),  # its empty new line goes too
         ("a\nb\n\n", [(None, ["b", ""], ["B", ""], False)], "a\nB\n\n"),  # found as is
         ("a\n", [(None, ["a"], [], False)], ""),
         ("", [(None, [], ["x"], False)], "x\n"),
         ("a\na\n", [(None, ["a"], ["1"], False), (None, ["a"], ["2"], False)], "1\n2\n"),
         ("x\na\nx\na\n", [("x", ["a"], ["1"], False), ("x", ["a"], ["2"], False)],
          "x\n1\nx\n2\n"),
         ("a\nb\na\n", [(None, ["a"], ["Z"], True)], "a\nb\nZ\n"),  # eof: only at the end
         ("  a  \nb\n", [(None, ["a"], ["A"], False)], "A\nb\n"),  # relaxed search
         ("a\n", [(None, [], ["x"], False), (None, [], ["y"], False)], "a\nx\ny\n"),
         ("a\nb\n", [("a", [], ["x"], False), (None, ["b"], ["B"], False)], "a\nx\nB\n"),
         ("a\nb\n", [("zzz", ["a"], ["b"], False)], (ValueError, "Failed to find context 'zzz' in p/f")),
         ("a\nb\n", [(None, ["x", "y"], [], False)], (ValueError, "Failed to find expected lines in p/f:\nx\ny")),
         ("a\nb\n", [(None, ["x", ""], [], False)], (ValueError, "Failed to find expected lines in p/f:\nx\n")),
         ("a\nb\n", [(None, ["a"], ["A"], True)], (ValueError, "Failed to find expected lines in p/f:\na")),
         # Each chunk is searched from where the previous one ended; the first failure ends it.
         ("a\nb\n", [(None, ["b"], ["B"], False), (None, ["a"], ["A"], False)],
          (ValueError, "Failed to find expected lines in p/f:\na")),
         ("a\nb\n", [("b", [], [], False), ("a", [], [], False), (None, ["x"], [], False)],
          (ValueError, "Failed to find context 'a' in p/f"))],
    )
    def test_table(self, original, chunks, expected):
        assert outcome(core.derive_new_contents, original, "p/f", chunks) == expected


class TestApplyLineReplacements:
    @pytest.mark.parametrize(
        "replacements, expected",  # the lines, or the message of the refusal
        [([(2, 1, ["C"]), (0, 1, ["A", "A2"])], ["A", "A2", "b", "C"]),
         ([(1, 0, ["x"]), (1, 1, ["y"])], ["a", "x", "y", "c"]),
         ([(1, 0, ["x"]), (1, 0, ["y"])], ["a", "x", "y", "b", "c"]),
         ([], ["a", "b", "c"]), ([(3, 0, ["d"])], ["a", "b", "c", "d"]), ([(0, 3, [])], []),
         (((0, 1, ("x",)), (1, 2, ["y"])), ["x", "y"]),  # touching spans, any sequences
         ([(1, 1, ["y"]), (1, 0, ["x"])], "overlapping line replacements"),
         ([(2, 2, [])], "replacement span out of range: start=2 len=2 lines=3"),
         ([(1, U64_MAX, [])], f"replacement span overflow: start=1 len={U64_MAX}"),
         ([(0, U64_MAX, [])], f"replacement span out of range: start=0 len={U64_MAX} lines=3"),
         # Checked in sorted order, each: overflow, range, overlap.
         ([(0, 2, []), (1, 5, [])], "replacement span out of range: start=1 len=5 lines=3"),
         ([(2, 5, []), (0, 2, []), (1, 1, [])], "overlapping line replacements")],
    )
    def test_table(self, replacements, expected):
        if isinstance(expected, str):
            expected = (ValueError, expected)
        assert outcome(core.apply_line_replacements, ["a", "b", "c"], replacements) == expected

    @BOUNDED
    @given(
        st.lists(st.sampled_from(["a", "b", "é", ""]), max_size=6),
        st.lists(
            st.tuples(st.integers(0, 7), st.integers(0, 3), st.lists(st.just("X"), max_size=2)),
            max_size=4,
        ),
    )
    def test_like_the_model(self, lines, replacements):
        try:
            got = core.apply_line_replacements(lines, replacements)
        except ValueError as e:
            got = e.args[0]
        assert got == model_apply_lines(lines, replacements)
