"""Exact string edits: find_matches, apply_replacements_text, edit_text."""

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from tarnwistle import _core as core

U64_MAX = 2**64 - 1
BOUNDED = settings(max_examples=200, deadline=None)

# The Unicode White_Space characters, the only ones a line's end is trimmed of.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

pieces = st.sampled_from(["a", "b", "ab", " ", "\t", "\r", "\n", "\r\n", "\xa0", "é", "\u2000",
                          "\u200b", "\x1c"])
texts = st.lists(pieces, max_size=16).map("".join)


def model_exact(text, pattern):
    data, needle = text.encode(), pattern.encode()
    spans, pos = [], 0
    while (hit := data.find(needle, pos)) != -1:
        spans.append((hit, len(needle)))
        pos = hit + len(needle)
    return spans


def model_rstrip_lines(text, pattern):
    lines, wanted = text.split("\n"), [p.rstrip(WHITE_SPACE) for p in pattern.split("\n")]
    n, m = len(wanted), len(lines)
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line.encode()) + 1)
    spans, i = [], 0
    while i <= m - n:
        if all(lines[i + j].rstrip(WHITE_SPACE) == wanted[j] for j in range(n)):
            last = lines[i + n - 1]
            length = starts[i + n] - 1 - starts[i] - (1 if last.endswith("\r") else 0)
            spans.append((starts[i], length))
            i += n
        else:
            i += 1
    return spans


def model_find_matches(text, pattern):
    if not pattern:
        return [(0, 0)] if not text else []
    found = model_exact(text, pattern)
    if found:
        return found
    if "\r\n" in text and "\n" in pattern:
        crlf = pattern.replace("\r\n", "\n").replace("\n", "\r\n")
        if crlf != pattern:
            return model_exact(text, crlf) or model_rstrip_lines(text, crlf)
    return model_rstrip_lines(text, pattern)


def model_apply(text, spans, replacement):
    """The rebuilt text, or the message of the first failed check."""
    data = text.encode()
    ordered = sorted(spans, key=lambda s: s[0])  # sorted() is stable

    def boundary(pos):
        return pos in (0, len(data)) or (data[pos] & 0xC0) != 0x80

    prev_end = 0
    for pos, length in ordered:
        if pos + length > U64_MAX:
            return f"match span overflow: pos={pos} len={length}"
        if pos + length > len(data):
            return f"match span out of range: pos={pos} len={length} text_len={len(data)}"
        if not boundary(pos) or not boundary(pos + length):
            return "match span is not on a UTF-8 char boundary"
        if pos < prev_end:
            return "overlapping matches"
        prev_end = pos + length
    out, cursor = b"", 0
    for pos, length in ordered:
        out += data[cursor:pos] + replacement.encode()
        cursor = pos + length
    return (out + data[cursor:]).decode()


class TestFindMatches:
    @pytest.mark.parametrize(
        "text, pattern, expected",
        [
            ("", "", [(0, 0)]),
            ("abc", "", []),
            ("", "   ", [(0, 0)]),  # an all-whitespace line matches the single empty line
            ("", "x", []),
            ("aaaa", "aa", [(0, 2), (2, 2)]),
            ("aaa", "aa", [(0, 2)]),
            ("foo\nbar", "foo  \nbar", [(0, 7)]),
            ("foo\nbar", "oo\nba", [(1, 5)]),  # found by the exact search before any fallback
            ("foo\nbaz", "oo \nba", []),  # the line fallback matches whole lines only
            ("foo\n", "foo \n", [(0, 4)]),
            ("foo\nbar", "foo \n", []),
            ("a \nb", "a\t", [(0, 2)]),  # the span includes the text's own trailing space
            ("x\r\ny\r\n", "x\ny", [(0, 4)]),
            ("x\r\ny\r\n", "x \ny", [(0, 4)]),  # the final '\r' of 'y\r' is left out
            ("é\nx", "x", [(3, 1)]),  # byte offsets, not character offsets
            ("é \n", "é", [(0, 2)]),
            ("a\u00a0\u3000\nb", "a\nb", [(0, 8)]),  # Unicode trailing whitespace ignored
            ("a\u200b\nb", "a\nb", []),  # U+200B is not whitespace
            ("  a\nb", "a \nb", []),  # leading whitespace is never relaxed
            ("a\nx\na \nx\na\nx", "a\nx", [(0, 3), (9, 3)]),  # exact: line 2 is not tried
            ("a \na \na ", "a\na", [(0, 5)]),  # line matches do not overlap
        ],
    )
    def test_edge_cases(self, text, pattern, expected):
        assert core.find_matches(text, pattern) == expected

    def test_exact_matches_win_over_line_matches(self):
        # The line fallback would find both lines; the exact search finds one and stops there.
        assert core.find_matches("ab \nab", "ab\n") == []
        assert core.find_matches("ab \nab\n", "ab\n") == [(4, 3)]

    def test_crlf_pattern_exact_before_line_fallback(self):
        text = "p \r\nq\r\np\r\nq\r\n"
        assert core.find_matches(text, "p\nq") == [(7, 4)]
        assert core.find_matches(text, "p\t\nq") == [(0, 5), (7, 4)]

    def test_pattern_already_crlf(self):
        assert core.find_matches("a\r\nb", "a\r\nb") == [(0, 4)]
        assert core.find_matches("a \r\nb", "a\r\nb") == [(0, 5)]

    @BOUNDED
    @given(texts, st.one_of(texts, st.tuples(texts, st.integers(0, 20), st.integers(0, 20))))
    def test_matches_model(self, text, pattern):
        if isinstance(pattern, tuple):  # often a piece of the text itself
            source, a, b = pattern
            pattern = (text + source)[a : a + b]
        assert core.find_matches(text, pattern) == model_find_matches(text, pattern)


class TestApplyReplacementsText:
    @pytest.mark.parametrize(
        "text, spans, replacement, expected",
        [
            ("abcdef", [(4, 1), (0, 2)], "X", "XcdXf"),
            ("abc", [(1, 0), (1, 0)], "X", "aXXbc"),
            ("abc", [(1, 0), (1, 1)], "X", "aXXc"),
            ("abc", [], "x", "abc"),
            ("abc", [(0, 3)], "", ""),
            ("abc", [(3, 0)], "!", "abc!"),
            ("aé", [(1, 2)], "e", "ae"),
            ("ab", [(0, 1), (1, 1)], "é", "éé"),  # adjacent spans
            ("abc", ((0, 1),), "z", "zbc"),  # any sequence of pairs
        ],
    )
    def test_rebuilds(self, text, spans, replacement, expected):
        assert core.apply_replacements_text(text, spans, replacement) == expected

    @pytest.mark.parametrize(
        "text, spans, message",
        [
            ("abc", [(1, 1), (1, 0)], "overlapping matches"),  # stable order of equal starts
            ("é", [(1, 1)], "match span is not on a UTF-8 char boundary"),
            ("é", [(0, 1)], "match span is not on a UTF-8 char boundary"),  # end inside
            ("é", [(0, 3)], "match span out of range: pos=0 len=3 text_len=2"),
            ("abc", [(U64_MAX, 1)], f"match span overflow: pos={U64_MAX} len=1"),
            ("abc", [(1, U64_MAX)], f"match span overflow: pos=1 len={U64_MAX}"),
            ("abc", [(4, 0)], "match span out of range: pos=4 len=0 text_len=3"),
            # Checks run per span in sorted order: the earlier span's fault is reported.
            ("abcdef", [(5, 10), (1, 1), (0, 3)], "overlapping matches"),
            ("abcdef", [(0, 3), (1, 1), (5, 10)], "overlapping matches"),
            ("aé", [(2, 1), (9, 9)], "match span is not on a UTF-8 char boundary"),
            ("aé", [(9, 9), (2, 1)], "match span is not on a UTF-8 char boundary"),
            # Within one span: overflow before range, range before boundary, boundary before
            # overlap.
            ("é", [(0, 2), (U64_MAX, 5)], f"match span overflow: pos={U64_MAX} len=5"),
            ("éa", [(0, 3), (1, 9)], "match span out of range: pos=1 len=9 text_len=3"),
            ("éa", [(0, 3), (1, 1)], "match span is not on a UTF-8 char boundary"),
        ],
    )
    def test_errors(self, text, spans, message):
        with pytest.raises(ValueError) as info:
            core.apply_replacements_text(text, spans, "x")
        assert info.value.args == (message,)

    @pytest.mark.parametrize(
        "spans, error, message",
        [
            ("ab", TypeError, "argument 'matches': Can't extract `str` to `Vec`"),
            ([(1,)], TypeError, "argument 'matches': expected tuple of length 2"),
            ([[0, 1]], TypeError, "argument 'matches': 'list' object cannot be converted"),
            ([(0, "1")], TypeError, "argument 'matches': "),
            ([(0, -1)], OverflowError, None),
            ([(2**64, 0)], OverflowError, None),
            (5, TypeError, "argument 'matches': "),
        ],
    )
    def test_conversion_errors(self, spans, error, message):
        with pytest.raises(error) as info:
            core.apply_replacements_text("abc", spans, "x")
        if message is not None:
            assert str(info.value).startswith(message)

    @BOUNDED
    @given(
        texts,
        st.lists(st.tuples(st.integers(0, 40), st.integers(0, 8)), max_size=6),
        st.sampled_from(["", "X", "é\n"]),
    )
    def test_matches_model(self, text, spans, replacement):
        expected = model_apply(text, spans, replacement)
        try:
            got = core.apply_replacements_text(text, spans, replacement)
        except ValueError as e:
            got = e.args[0]
        assert got == expected

    @BOUNDED
    @given(texts, st.data())
    def test_valid_spans_rebuild_like_a_splice(self, text, data):
        # Non-overlapping spans on character boundaries, handed over in shuffled order.
        cuts = sorted(data.draw(st.lists(st.integers(0, len(text)), max_size=6)))
        pairs = list(zip(cuts[::2], cuts[1::2]))
        expected = text
        for a, b in reversed(pairs):
            expected = expected[:a] + "<>" + expected[b:]
        assume(len({a for a, _ in pairs}) == len(pairs))  # equal starts keep their order
        spans = [(len(text[:a].encode()), len(text[a:b].encode())) for a, b in pairs]
        spans = data.draw(st.permutations(spans))
        assert core.apply_replacements_text(text, spans, "<>") == expected


class TestEditText:
    @pytest.mark.parametrize(
        "args, expected",
        [
            (("a\r\nb\r\n", "a", "x\ny", False), ("x\r\ny\r\nb\r\n", 1)),
            (("ab ab", "ab", "c", True), ("c c", 2)),
            (("", "", "x", False), ("x", 1)),
            (("a\nb\n", "a", "x\ny", False), ("x\ny\nb\n", 1)),  # no CRLF: unchanged
            (("a\r\nb", "b", "x\r\ny\nz", False), ("a\r\nx\r\ny\r\nz", 1)),
            (("a\r\nb", "b", "x\r\r\ny", False), ("a\r\nx\r\r\ny", 1)),  # lone '\r' kept
            (("a\rb", "b", "x\ny", False), ("a\rx\ny", 1)),  # a lone '\r' is not CRLF
            (("foo  \nbar\n", "foo\nbar", "baz", False), ("baz\n", 1)),  # line fallback
            (("x\r\ny\r\n", "x\ny", "1\n2", False), ("1\r\n2\r\n", 1)),  # CRLF pattern
            (("é é", "é", "e", True), ("e e", 2)),
        ],
    )
    def test_edits(self, args, expected):
        assert core.edit_text(*args) == expected

    @pytest.mark.parametrize(
        "args, message",
        [
            (("ab ab", "ab", "c", False), "AMBIGUOUS: old_string found 2 times"),
            (("abc", "", "x", True), "NOT_FOUND: old_string not found"),
            (("abc", "", "x", False), "NOT_FOUND: old_string not found"),
            (("abc", "z", "x", True), "NOT_FOUND: old_string not found"),
            (("a \nb\na\t\nb", "a\nb", "x", False), "AMBIGUOUS: old_string found 2 times"),
        ],
    )
    def test_errors(self, args, message):
        with pytest.raises(ValueError) as info:
            core.edit_text(*args)
        assert info.value.args == (message,)

    @pytest.mark.parametrize("flag", [0, 1, None, "yes"])
    def test_replace_all_must_be_a_bool(self, flag):
        with pytest.raises(TypeError, match=r"^argument 'replace_all': "):
            core.edit_text("a", "a", "b", flag)

    @pytest.mark.parametrize("name", ["text", "old_string", "new_string"])
    def test_lone_surrogates_are_refused(self, name):
        args = {"text": "a", "old_string": "a", "new_string": "b", "replace_all": False}
        args[name] = "\udc80"
        with pytest.raises(UnicodeEncodeError):
            core.edit_text(**args)

    @BOUNDED
    @given(texts, st.integers(0, 20), st.integers(1, 6), texts)
    def test_unique_exact_match_is_a_splice(self, text, at, size, new):
        old = text[at : at + size]
        assume(old and text.count(old) == 1 and "\r\n" not in text)
        assert core.edit_text(text, old, new, False) == (text.replace(old, new), 1)

    @BOUNDED
    @given(texts, texts, texts, st.booleans())
    def test_matches_find_then_apply(self, text, old, new, replace_all):
        spans = model_find_matches(text, old)
        try:
            got = core.edit_text(text, old, new, replace_all)
        except ValueError as e:
            got = e.args[0]
        if not spans:
            assert got == "NOT_FOUND: old_string not found"
        elif len(spans) > 1 and not replace_all:
            assert got == f"AMBIGUOUS: old_string found {len(spans)} times"
        else:
            if "\r\n" in text:
                new = new.replace("\r\n", "\n").replace("\n", "\r\n")
            assert got == (model_apply(text, spans, new), len(spans))
