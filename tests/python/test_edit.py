"""Exact string edits: find_matches, apply_replacements_text, edit_text."""

import random
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwistle import _core as core
from both_paths import Native, outcome

U64_MAX = 2**64 - 1
BOUNDED = settings(max_examples=200, deadline=None)

# Unicode White_Space: the only characters a line's end is trimmed of.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + (
    "\u2028\u2029\u202f\u205f\u3000"
)

pieces = ["a", "b", "ab", " ", "\t", "\r", "\n", "\r\n", "\xa0", "é", "\u2000", "\u200b", "\x1c",
          "\u3000", "😀"]
texts = st.lists(st.sampled_from(pieces), max_size=16).map("".join)


def model_exact(text, pattern):
    data, needle, spans, pos = text.encode(), pattern.encode(), [], 0
    while (hit := data.find(needle, pos)) != -1:
        spans.append((hit, len(needle)))
        pos = hit + len(needle)
    return spans


def model_rstrip_lines(text, pattern):
    lines, wanted = text.split("\n"), [p.rstrip(WHITE_SPACE) for p in pattern.split("\n")]
    n, starts = len(wanted), [0]
    for line in lines:
        starts.append(starts[-1] + len(line.encode()) + 1)
    spans, i = [], 0
    while i <= len(lines) - n:
        if all(lines[i + j].rstrip(WHITE_SPACE) == wanted[j] for j in range(n)):
            end = starts[i + n] - 1 - (1 if lines[i + n - 1].endswith("\r") else 0)
            spans.append((starts[i], end - starts[i]))
            i += n
        else:
            i += 1
    return spans


def model_find_matches(text, pattern):
    if not pattern:
        return [(0, 0)] if not text else []
    found = model_exact(text, pattern)
    if not found and "\r\n" in text and "\n" in pattern:
        crlf = pattern.replace("\r\n", "\n").replace("\n", "\r\n")
        if crlf != pattern:
            return model_exact(text, crlf) or model_rstrip_lines(text, crlf)
    return found or model_rstrip_lines(text, pattern)


def model_apply(text, spans, replacement):
    """The rebuilt text, or the message of the first failed check."""
    data, out, cursor, prev_end = text.encode(), b"", 0, 0
    ordered = sorted(spans, key=lambda s: s[0])  # sorted() is stable
    for pos, length in ordered:
        if pos + length > U64_MAX:
            return f"match span overflow: pos={pos} len={length}"
        if pos + length > len(data):
            return f"match span out of range: pos={pos} len={length} text_len={len(data)}"
        if any(0 < p < len(data) and data[p] & 0xC0 == 0x80 for p in (pos, pos + length)):
            return "match span is not on a UTF-8 char boundary"
        if pos < prev_end:
            return "overlapping matches"
        prev_end = pos + length
    for pos, length in ordered:
        out += data[cursor:pos] + replacement.encode()
        cursor = pos + length
    return (out + data[cursor:]).decode()


@pytest.mark.parametrize(
    "text, pattern, expected",
    [("", "", [(0, 0)]), ("abc", "", []), ("", "x", []),
     ("", "   ", [(0, 0)]),  # an all-whitespace line matches the single empty line
     ("aaaa", "aa", [(0, 2), (2, 2)]), ("é\nx", "x", [(3, 1)]),  # byte offsets
     ("foo\nbar", "foo  \nbar", [(0, 7)]),
     ("foo\nbar", "oo\nba", [(1, 5)]),  # the exact search finds it before any fallback
     ("foo\nbaz", "oo \nba", []),  # the line fallback matches whole lines only
     ("foo\n", "foo \n", [(0, 4)]), ("foo\nbar", "foo \n", []),
     ("a \nb", "a\t", [(0, 2)]),  # the span includes the text's own trailing space
     ("a\xa0\u3000\nb", "a\nb", [(0, 8)]), ("a\u200b\nb", "a\nb", []),  # U+200B is no space
     ("  a\nb", "a \nb", []),  # leading whitespace is never relaxed
     ("a \na \na ", "a\na", [(0, 5)]),  # line matches do not overlap
     ("a\nx\na \nx\na\nx", "a\nx", [(0, 3), (9, 3)]),  # exact matches: no line fallback
     ("x\r\ny\r\n", "x\ny", [(0, 4)]), ("x\r\ny\r\n", "x \ny", [(0, 4)]),  # final '\r' left out
     ("p \r\nq\r\np\r\nq\r\n", "p\nq", [(7, 4)]),  # CRLF form found exactly: no line fallback
     ("p \r\nq\r\np\r\nq\r\n", "p\t\nq", [(0, 5), (7, 4)]),
     ("a \r\nb", "a\r\nb", [(0, 5)])],
)
def test_find_matches(text, pattern, expected):
    assert core.find_matches(text, pattern) == expected


@BOUNDED
@given(texts, st.one_of(texts, st.tuples(texts, st.integers(0, 20), st.integers(0, 20))),
       st.sampled_from(["", "é", "😀"]))
def test_find_matches_like_the_model_both_ways(text, pattern, extra):
    text += extra  # mostly not ASCII
    if isinstance(pattern, tuple):  # often a piece of the text itself
        source, a, b = pattern
        pattern = (text + source)[a : a + b]
    expected = model_find_matches(text, pattern)
    assert core.find_matches(text, pattern) == core.find_matches(Native(text), pattern) == expected


R = 8192  # characters of a str read out at a time


@pytest.mark.parametrize("length", [1, 2, 7, 300, R // 2, R // 2 + 1])
def test_matches_across_character_runs_both_ways(length):
    # Occurrences straddling the edges of the runs, a pattern too long to look for in the
    # scan, and near matches that send the search to its linear fallback.
    rng = random.Random(length)
    pattern = "".join(rng.choice("aé\n✓") for _ in range(length))
    text = "".join(rng.choice("aé ✓\n") for _ in range(5 * R))
    for at in (R - 1, 2 * R - length // 2, 3 * R - length, 4 * R + 5):
        text = text[:at] + pattern + text[at + length :]
    near = "é" + "a" * (2 * R) + "a" * (length - 1) + "b"
    for t, p in ((text, pattern), (near, "a" * (length - 1) + "b")):
        expected = model_find_matches(t, p)
        assert core.find_matches(t, p) == core.find_matches(Native(t), p) == expected
        for replace_all in (False, True):
            assert outcome(core.edit_text, t, p, "X\n", replace_all) == outcome(
                core.edit_text, Native(t), p, "X\n", replace_all)


@BOUNDED
@given(st.text("ab\n", max_size=300), st.text("ab", min_size=1, max_size=20))
def test_long_texts_of_near_matches_like_the_model(text, pattern):
    # Long enough for the block-wise search, its tail and its verification budget.
    assert core.find_matches(text, pattern) == model_find_matches(text, pattern)


def test_search_stays_linear_on_runs_of_near_matches():
    # Every position starts and ends like the pattern; comparing each in full would take
    # about 10^12 byte comparisons.
    text = "a" * 4_000_000
    pattern = "a" * 200_000 + "b" + "a" * 200_000
    begin = time.perf_counter()
    assert core.find_matches(text, pattern) == []
    assert core.find_matches(text + pattern, pattern) == [(4_000_000, 400_001)]
    assert time.perf_counter() - begin < 2


class TestApplyReplacementsText:
    @pytest.mark.parametrize(
        "text, spans, expected",
        [("abcdef", [(4, 1), (0, 2)], "XcdXf"), ("abc", [(1, 0), (1, 0)], "aXXbc"),
         ("abc", [(1, 0), (1, 1)], "aXXc"), ("abc", [], "abc"), ("abc", [(3, 0)], "abcX"),
         ("aé", [(1, 2)], "aX"), ("ab", ((0, 1), (1, 1)), "XX"),
         ("abc", [(1, 1), (1, 0)], (ValueError, "overlapping matches")),  # stable order of equal starts
         ("é", [(1, 1)], (ValueError, "match span is not on a UTF-8 char boundary")),
         ("é", [(0, 1)], (ValueError, "match span is not on a UTF-8 char boundary")),  # its end is inside
         ("é", [(0, 3)], (ValueError, "match span out of range: pos=0 len=3 text_len=2")),
         ("abc", [(1, U64_MAX)], (ValueError, f"match span overflow: pos=1 len={U64_MAX}")),
         # Spans are checked in sorted order, each: overflow, range, boundary, overlap.
         ("abcdef", [(5, 10), (1, 1), (0, 3)], (ValueError, "overlapping matches")),
         ("aé", [(9, 9), (2, 1)], (ValueError, "match span is not on a UTF-8 char boundary")),
         ("é", [(0, 2), (U64_MAX, 5)], (ValueError, f"match span overflow: pos={U64_MAX} len=5")),
         ("éa", [(0, 3), (1, 9)], (ValueError, "match span out of range: pos=1 len=9 text_len=3")),
         ("éa", [(0, 3), (1, 1)], (ValueError, "match span is not on a UTF-8 char boundary"))],
    )
    def test_table(self, text, spans, expected):
        assert outcome(core.apply_replacements_text, text, spans, "X") == expected

    @BOUNDED
    @given(texts, st.lists(st.tuples(st.integers(0, 40), st.integers(0, 8)), max_size=6))
    def test_like_the_model(self, text, spans):
        try:
            got = core.apply_replacements_text(text, spans, "é\n")
        except ValueError as e:
            got = e.args[0]
        assert got == model_apply(text, spans, "é\n")


class TestEditText:
    @pytest.mark.parametrize(
        "args, expected",
        [(("a\r\nb\r\n", "a", "x\ny", False), ("x\r\ny\r\nb\r\n", 1)),
         (("ab ab", "ab", "c", True), ("c c", 2)), (("", "", "x", False), ("x", 1)),
         (("a\nb\n", "a", "x\ny", False), ("x\ny\nb\n", 1)),  # no CRLF: kept as given
         (("a\r\nb", "b", "x\r\ny\nz", False), ("a\r\nx\r\ny\r\nz", 1)),
         (("a\r\nb", "b", "x\r\r\ny", False), ("a\r\nx\r\r\ny", 1)),  # a lone '\r' is kept
         (("a\rb", "b", "x\ny", False), ("a\rx\ny", 1)),  # a lone '\r' is no CRLF
         (("foo  \nbar\n", "foo\nbar", "baz", False), ("baz\n", 1)),  # line fallback
         (("x\r\ny\r\n", "x\ny", "1\n2", False), ("1\r\n2\r\n", 1)),  # CRLF pattern
         (("ab ab", "ab", "c", False), (ValueError, "AMBIGUOUS: old_string found 2 times")),
         (("a \nb\na\t\nb", "a\nb", "x", False), (ValueError, "AMBIGUOUS: old_string found 2 times")),
         (("abc", "", "x", True), (ValueError, "NOT_FOUND: old_string not found")),
         (("abc", "z", "x", True), (ValueError, "NOT_FOUND: old_string not found"))],
    )
    def test_table(self, args, expected):
        assert outcome(core.edit_text, *args) == expected

    @BOUNDED
    @given(texts, texts, texts, st.booleans(), st.sampled_from(["", "é", "\r\n", "\udc80"]))
    def test_finds_then_applies_both_ways(self, text, old, new, replace_all, extra):
        text += extra  # mostly not ASCII, sometimes a lone surrogate
        if "\udc80" in text:
            refused = outcome(text.encode)
            assert outcome(core.edit_text, text, old, new, replace_all) == refused
            assert outcome(core.edit_text, Native(text), old, new, replace_all) == refused
            assert outcome(core.edit_text, text, old, new, 1) == refused  # the text's error first
            return
        assert outcome(core.edit_text, text, old, new, replace_all) == outcome(
            core.edit_text, Native(text), old, new, replace_all)
        spans = model_find_matches(text, old)
        inserted = new.replace("\r\n", "\n").replace("\n", "\r\n") if "\r\n" in text else new
        expected = (model_apply(text, spans, inserted), len(spans))
        if not spans:
            expected = "NOT_FOUND: old_string not found"
        elif len(spans) > 1 and not replace_all:
            expected = f"AMBIGUOUS: old_string found {len(spans)} times"
        try:
            assert core.edit_text(text, old, new, replace_all) == expected
        except ValueError as e:
            assert e.args[0] == expected
