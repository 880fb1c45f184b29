#!/usr/bin/env python3
"""Writes the hand-made seeds of fuzz/corpus/: each one is a known case (the examples the
functions are documented with) encoded the way the targets read their input through
FuzzedDataProvider, so a short run starts from meaningful cases instead of noise.

FuzzedDataProvider takes strings from the front of the input (a backslash escapes a backslash,
a backslash followed by anything else ends the string) and integers from the back (first byte
read is the most significant). Every `Seed` call below mirrors one read of the target, in the
target's order. Run from the repository root: python3 fuzz/make_seeds.py
"""
import os
import struct
import sys

U64 = (1 << 64) - 1
I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in reading order

    def string(self, s, max_len):
        """ConsumeRandomLengthString(max_len); the string must be shorter than max_len."""
        b = s.encode() if isinstance(s, str) else bytes(s)
        assert len(b) < max_len, (b, max_len)
        self.front += b.replace(b"\\", b"\\\\") + b"\\x"
        return self

    def raw(self, b):
        """ConsumeBytesAsString(len(b)) or the remaining bytes."""
        self.front += b
        return self

    def int(self, value, lo, hi):
        """ConsumeIntegralInRange(lo, hi) of a 64-bit (or narrower) type."""
        span, v = hi - lo, value - lo
        assert 0 <= v <= span, (value, lo, hi)
        n = 0
        while n < 8 and (span >> (8 * n)) > 0:
            n += 1
        self.back += v.to_bytes(n, "big") if n else b""
        return self

    def bool(self, b):
        return self.int(1 if b else 0, 0, 255)

    def u64(self, v):
        return self.int(v, 0, U64)

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def utf8_len(s):
    return len(s.encode())


# ---- edit: 0 find, 1 apply, 2 edit, 3 helpers ---------------------------------------------


def edit_find(text, pattern):
    return Seed().int(0, 0, 3).string(text, 1024).bool(False).string(pattern, 64)


def edit_apply(text, spans, repl):
    s = Seed().int(1, 0, 3).string(text, 1024).string(repl, 16).int(len(spans), 0, 6)
    n = utf8_len(text)
    for start, length in spans:
        s.int(0, 0, 3).int(start, 0, n + 2).int(length, 0, n + 2)
    return s


def edit_edit(text, old, new, replace_all):
    return (Seed().int(2, 0, 3).string(text, 1024).bool(False).string(old, 32)
            .string(new, 32).bool(replace_all))


def edit_seeds():
    return {
        "find-trailing-spaces": edit_find("foo\nbar", "foo  \nbar"),
        "find-crlf-line-fallback": edit_find("x\r\ny\r\n", "x \ny"),
        "find-non-overlapping": edit_find("aaaa", "aa"),
        "find-blank-pattern-in-empty": edit_find("", "   "),
        "apply-unsorted": edit_apply("abcdef", [(4, 1), (0, 2)], "X"),
        "apply-overlap-order": edit_apply("abc", [(1, 1), (1, 0)], "X"),
        "apply-char-boundary": edit_apply("é", [(1, 1)], "x"),
        "edit-crlf-replacement": edit_edit("a\r\nb\r\n", "a", "x\ny", False),
        "edit-ambiguous": edit_edit("ab ab", "ab", "c", False),
        "helpers-invalid-utf8": edit_helpers(b"a\xc3\x28 \xe2\x80\x83\xed\xa0\x80\r\n", " b\u3000"),
    }


def edit_helpers(raw, line):
    """The helpers on `raw` bytes, the whole decoded text as the pattern, and one more line."""
    n = utf8_len(raw.decode("utf-8", "replace"))
    s = Seed().int(3, 0, 3).string(raw, 256)
    if n:
        s.int(0, 0, n - 1).int(n, 0, n).int(0, 0, 3)
    else:
        s.string("", 8)
    return s.string(line, 16)


# ---- patch: 0 seek, 1 rebuild, 2 derive ------------------------------------------------------


def lines(s, items, max_count, max_len):
    s.int(len(items), 0, max_count)
    for item in items:
        s.string(item, max_len)
    return s


def patch_seek(file_lines, pattern, start, eof):
    s = lines(Seed().int(0, 0, 2), file_lines, 12, 16)
    if file_lines:
        s.bool(False)
    lines(s, pattern, 3, 8)
    return s.bool(True).int(start, 0, 14).bool(eof)


def patch_rebuild(file_lines, repls):
    s = lines(Seed().int(1, 0, 2), file_lines, 10, 4).int(len(repls), 0, 5)
    for start, length, new in repls:
        s.int(1, 0, 7).int(start, 0, len(file_lines) + 1).int(length, 0, 3)
        lines(s, new, 3, 4)
    return s


def patch_derive(original, crlf, path, chunks):
    s = Seed().int(2, 0, 2).string(original, 256).bool(crlf).string(path, 8)
    s.int(len(chunks), 0, 3)
    for context, old, new, eof in chunks:
        if context is None:
            s.int(1, 0, 3)
        else:
            s.int(0, 0, 3).int(0, 0, 4).string(context, 12)
        s.int(len(old), 0, 3)
        if old:
            s.bool(False)
        for line in old:
            s.int(0, 0, 4).string(line, 12)
        if old:
            s.int(1, 0, 3)
        lines(s, new, 3, 6).int(1, 0, 3).int(0 if eof else 1, 0, 3)
    return s


def patch_seeds():
    return {
        "seek-exact-before-trimmed": patch_seek(["foo  ", "foo"], ["foo"], 0, False),
        "seek-typographic": patch_seek(["\u201chi\u201d \u2013"], ['"hi" -'], 0,
                                       False),
        "seek-at-end": patch_seek(["x", "y", "x"], ["x"], 0, True),
        "rebuild-unsorted": patch_rebuild(["a", "b", "c"], [(2, 1, ["C"]), (0, 1, ["A", "A2"])]),
        "rebuild-insert-then-replace": patch_rebuild(["a", "b", "c"],
                                                     [(1, 0, ["x"]), (1, 1, ["y"])]),
        "rebuild-out-of-range": patch_rebuild(["a", "b", "c"], [(2, 2, [])]),
        "derive-crlf": patch_derive("a\nb\n", True, "f", [(None, ["b"], ["B", "C"], False)]),
        "derive-context-insert": patch_derive("a\nb\n", False, "f", [("a", [], ["z"], False)]),
        "derive-trailing-empty-retry": patch_derive("a\nb", False, "f",
                                                    [(None, ["b", ""], ["B", ""], False)]),
        "derive-missing-context": patch_derive("a\n", False, "f", [("zzz", ["a"], ["b"], False)]),
    }


# ---- read: 0 prepare, 1 format_cat_n, 2 count and slice -------------------------------------


def read_prepare(text, offset, limit, numbers):
    s = Seed().int(0, 0, 2).string(text, 512).int(2, 0, 3).int(offset, -12, 12)
    return s.bool(True).int(limit, 0, 12).bool(numbers)


def read_cat_n(items, start, total, truncated):
    s = Seed().int(1, 0, 2)
    lines(s, items, 6, 8)
    for v in (start, total):
        if v <= 20:
            s.int(0, 0, 2).int(v, 0, 20)
        else:
            s.int(1, 0, 2).int(U64 - v, 0, 8)
    return s.bool(truncated)


def read_seeds():
    return {
        "prepare-head-truncated": read_prepare("a\nb\nc\n", 0, 2, False),
        "prepare-tail": read_prepare("a\nb\nc\n", -2, 1, False),
        "prepare-past-end": read_prepare("a\nb\n", 5, 10, True),
        "prepare-numbered-notice": read_prepare("a\nb\nc", 2, 1, True),
        "prepare-limit-zero": read_prepare("a\n", 1, 0, False),
        "cat-n-notice": read_cat_n(["a\n", "b\n"], 9, 20, True),
        "cat-n-past-u64": read_cat_n(["x", "y"], U64, U64, True),
        "slice-crlf": Seed().int(2, 0, 2).string("a\nb\r\nc", 512).bool(True).int(1, 0, 10)
        .bool(True).int(5, 0, 10),
    }


# ---- flags: split a string, or round-trip quoted words ---------------------------------------


def flags_split(text):
    return Seed().int(1, 0, 2).string(text, 256)


def flags_timeout(seconds):
    bits = struct.unpack("<Q", struct.pack("<d", seconds))[0]
    return Seed().int(2, 0, 2).u64(bits)


def flags_round_trip(words, styles, seps):
    s = Seed().int(0, 0, 2).int(len(words), 0, 6)
    for w in words:
        s.string(w, 16)
    for i, style in enumerate(styles):
        if i:
            s.int(seps[i - 1], 0, 4)
        s.int(style, 0, 2)
    return s


def flags_seeds():
    return {
        "split-quotes": flags_split("-c \"a b\" 'c d'"),
        "split-unterminated": flags_split('"unterminated'),
        "split-empty-word": flags_split("''"),
        "split-escaped-blank": flags_split("a\\ b"),
        "split-comment": flags_split("-x # comment\n-y"),
        "split-continuation": flags_split("a\\\nb \\\n c \"d\\\ne\\$\""),
        "round-trip": flags_round_trip(["it's", 'say "$x"', "", "a\nb"], [0, 1, 2, 2], [0, 2, 4]),
        "timeout-below-half-ns": flags_timeout(1e-12),
        "timeout-fraction": flags_timeout(1.0000000005),
        "timeout-too-large": flags_timeout(2.0**64),
        "timeout-nan": flags_timeout(float("nan")),
    }


# ---- output: limit, chunk cuts, then the stream ----------------------------------------------


def output_seed(limit, cuts, stream):
    s = Seed()
    if limit <= 64:
        s.int(3, 0, 3).int(limit, 0, 64)
    else:
        s.int(1, 0, 3).int(limit, 0, 4096)
    s.int(len(cuts), 0, 32)
    for c in cuts:
        s.int(c, 0, 300)
    return s.raw(stream)


def output_seeds():
    return {
        "limit-10-one-chunk": output_seed(10, [], b"0123456789abcdef"),
        "limit-10-bytewise": output_seed(10, [1] * 16, b"0123456789abcdef"),
        "limit-10-exact": output_seed(10, [3, 7], b"0123456789"),
        "limit-1": output_seed(1, [2, 0, 1], b"xyz"),
        "limit-0": output_seed(0, [4], b"gone"),
        "limit-odd-utf8": output_seed(7, [5, 5], "h\u00e9llo w\u00f6rld".encode()),
    }


# ---- paths: pieces from a table, read from the back ------------------------------------------

PIECES = ["/", ".", "..", "a", "bc", "~", "~/", "//", "x y", "~u"]


def path(s, pieces):
    s.int(len(pieces), 0, 16)
    for p in pieces:
        if p in PIECES:
            s.int(PIECES.index(p), 0, 11)
        else:
            s.int(10, 0, 11).int(ord(p), 0, 255)
    return s


def paths_seed(p, cwd, parts):
    s = path(Seed(), p)
    if cwd is None:
        s.bool(True)
    else:
        path(s.bool(False), cwd)
    s.int(len(parts), 0, 4)
    for part in parts:
        path(s, part)
    return s


def paths_seeds():
    return {
        "dotdot-at-root": paths_seed(["/", "..", "/", "a"], None, []),
        "dotdot-relative": paths_seed(["..", "/", ".."], ["/", "a"], [["a"], ["/", "bc"]]),
        "home-parent": paths_seed(["~/", ".."], None, [["a"], []]),
        "trailing-slashes": paths_seed(["/", "a", "//", ".", "/"], ["~u"], [["a", "/"], ["bc"]]),
        "cwd-relative": paths_seed(["a", "/", ".", "/", "bc"], ["..", "/", "a"], []),
    }


# ---- remote_parsers: 0 stat, 1 window, 2 control line ----------------------------------------

WINDOW_MARKER = "__TARNWISTLE_WINDOW_1f2e__"


def remote(which, marker, path_text, stream):
    s = Seed().int(which, 0, 2)
    if marker == WINDOW_MARKER:
        s.int(1, 0, 3)
    else:
        s.int(0, 0, 3).string(marker, 12)
    return s.string(path_text, 6).bool(False).string(stream, 512)


def remote_seeds():
    m = "__TW_ab__"
    return {
        "stat-file": remote(0, m, "f", "file\t  12\t1700000000\t0\tremote:file:12:1700000000:7"),
        "stat-missing": remote(0, m, "f", "missing\t0\t-\t0\t-"),
        "stat-bad-size": remote(0, m, "f", "file\t1x\t0\t0\tv"),
        "window-after-banner": remote(1, WINDOW_MARKER, "w",
                                      "banner\r\n" + WINDOW_MARKER + "\t3\t2\t3\t0\n"),
        "window-bad-start": remote(1, WINDOW_MARKER, "w", WINDOW_MARKER + "\t3\t-2\t3\t1\n"),
        "control-pgid": remote(2, m, "", "warn\n" + m + " PGID 4242\nout\n"),
        "control-pid-zero": remote(2, m, "", m + " PID 0\n" + m + " PID 17\r\n"),
        "control-mid-line": remote(2, m, "", "x " + m + "  PGID\t+9 extra"),
    }


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for name, seeds in [("edit", edit_seeds()), ("patch", patch_seeds()), ("read", read_seeds()),
                        ("flags", flags_seeds()), ("output", output_seeds()),
                        ("paths", paths_seeds()), ("remote_parsers", remote_seeds())]:
        os.makedirs(os.path.join(root, name), exist_ok=True)
        for label, seed in seeds.items():
            with open(os.path.join(root, name, label), "wb") as f:
                f.write(seed.bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
