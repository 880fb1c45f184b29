"""Times the text functions of tarnwistle._core against the plain-Python way of doing the same.

Run with the package installed:  python bench/bench_text.py [--no-memory]
Prints the background (interpreter, load, what else runs), then one table: our time, the
Python way's time, their ratio and the goal for the ratio, then the memory that a call on a
large non-ASCII str takes and leaves behind.

Three kinds of row:
  first call  the first large call of a process, before any large block was ever freed;
  fresh       a new str for every call, decoded from bytes in the untimed setup, as an agent's
              call gets it from a file just read: nothing about it is cached yet;
  warm        the same str again and again, after large frees.
"""

import argparse
import collections
import gc
import os
import random
import sys
import time
import tracemalloc

from tarnwistle import _core as core

MB = 1024 * 1024
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
TRANSLATION = str.maketrans(
    {
        **{c: " " for c in "\xa0\u202f\u205f\u3000" + "".join(map(chr, range(0x2002, 0x200B)))},
        **{c: "-" for c in "\u2010\u2011\u2012\u2013\u2014\u2015\u2212"},
        **{c: "'" for c in "\u2018\u2019\u201a\u201b"},
        **{c: '"' for c in "\u201c\u201d\u201e\u201f"},
    }
)


def best_of(fn, repeat, setup=None):
    """Smallest wall time of `repeat` calls; `setup` (untimed) makes each call's argument."""
    best = float("inf")
    for _ in range(repeat):
        arg = setup() if setup else None
        start = time.perf_counter()
        fn(arg) if setup else fn()
        best = min(best, time.perf_counter() - start)
        del arg
    return best


def fresh(data):
    """A setup that decodes `data` anew for each call: a str with no cached UTF-8 form."""
    return lambda: data.decode()


# ---- the Python way ----------------------------------------------------------------------


def py_seek_sequence(lines, pattern, start, eof):
    if not pattern:
        return start
    if len(pattern) > len(lines):
        return None
    last = len(lines) - len(pattern)
    first = last if eof else start
    forms = (
        None,
        lambda s: s.rstrip(WHITE_SPACE),
        lambda s: s.strip(WHITE_SPACE),
        lambda s: s.strip(WHITE_SPACE).translate(TRANSLATION),
    )
    n = len(pattern)
    for form in forms:
        if form is None:
            want = pattern
            for i in range(first, last + 1):
                if lines[i] == want[0] and lines[i : i + n] == want:
                    return i
            continue
        want = [form(p) for p in pattern]
        head = want[0]
        for i in range(first, last + 1):
            if form(lines[i]) == head and all(
                form(lines[i + j]) == want[j] for j in range(1, n)
            ):
                return i
    return None


def py_derive_new_contents(original, path, chunks):
    if not chunks:
        return original
    crlf = "\r\n" in original
    lines = original.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if crlf:
        lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    replacements, index = [], 0
    for context, old, new, eof in chunks:
        if context is not None:
            k = py_seek_sequence(lines, [context], index, False)
            if k is None:
                raise ValueError(f"Failed to find context '{context}' in {path}")
            index = k + 1
        if not old:
            at = index if context is not None and not eof else len(lines)
            replacements.append((at, 0, new))
            continue
        pattern, repl = old, new
        k = py_seek_sequence(lines, pattern, index, eof)
        if k is None and pattern[-1] == "":
            pattern = pattern[:-1]
            if repl and repl[-1] == "":
                repl = repl[:-1]
            k = py_seek_sequence(lines, pattern, index, eof)
        if k is None:
            raise ValueError(f"Failed to find expected lines in {path}:\n" + "\n".join(old))
        replacements.append((k, len(pattern), repl))
        index = k + len(pattern)
    replacements.sort(key=lambda r: r[0])
    out, cursor = [], 0
    for start, length, new in replacements:
        out += lines[cursor:start]
        out += new
        cursor = start + length
    out += lines[cursor:]
    if not out:
        return ""
    eol = "\r\n" if crlf else "\n"
    return eol.join(out) + eol


def py_edit(text, old, new, replace_all):
    count = text.count(old)
    if count == 0 or (count > 1 and not replace_all):
        raise ValueError
    return text.replace(old, new), count


def py_find_matches(text, pattern):
    data, needle, spans, pos = text.encode(), pattern.encode(), [], 0
    while (hit := data.find(needle, pos)) != -1:
        spans.append((hit, len(needle)))
        pos = hit + len(needle)
    return spans


def py_lines(text):
    return text.splitlines(keepends=True)


def py_head(text, start, count):
    lines = py_lines(text)
    window = lines[start : start + count]
    return "".join(window), len(lines), window


def py_tail(text, count):
    lines = py_lines(text)
    window = list(collections.deque(lines, maxlen=count))
    return "".join(window), len(lines), window


# ---- inputs ------------------------------------------------------------------------------


def ascii_text(size):
    line = "the quick brown fox jumps over the lazy dog 0123456789\n"
    return line * (size // len(line))


def unicode_text(size):
    line = "naïve café – “quoted” ✓ ünïcödé text line 0123\n"
    return line * (size // len(line.encode()))


def source_lines(count, rng, accent=False):
    words = ["value", "result", "index", "return", "count", "self", "items", "total", "name"]
    if accent:  # one typographic character a line makes the whole str non-ASCII (two bytes each)
        words = [w + "’" if i % 3 == 0 else w for i, w in enumerate(words)]
    lines = []
    for i in range(count):
        indent = "    " * rng.randint(0, 3)
        lines.append(f"{indent}{rng.choice(words)}_{i} = {rng.choice(words)}({i}, {i % 97})")
    return lines


def edit_case(rng, accent=False):
    """About 1 MB of source with one 3-line function and its new form."""
    lines = source_lines(30_000, rng, accent)
    snippet = ["def unique_function(a, b):", "    c = a + b", "    return c"]
    lines[len(lines) // 2 : len(lines) // 2 + 3] = snippet
    text = "\n".join(lines) + "\n"
    assert 1_000_000 <= len(text) < 1_300_000
    old = "def unique_function(a, b):\n    c = a + b\n    return c\n"
    new = "def unique_function(a, b, d):\n    c = a + b + d\n    return c\n"
    assert core.edit_text(text, old, new, False) == py_edit(text, old, new, False)
    return text, old, new


# ---- the table ---------------------------------------------------------------------------

ROWS = []


def row(kind, name, ours, theirs, goal):
    """`goal`: the ratio to reach; 0.95 stands for "equal", the interpreter's own speed."""
    ROWS.append((kind, name, ours, theirs, goal))


def first_call_rows(rng):
    # Before the process has freed any large block, glibc gives the heap top back to the
    # system after a call that held two 1 MB blocks at once (a native result and the str made
    # from it), so every such call pays for fresh pages; the Python way holds one.
    text, old, new = edit_case(rng)
    ours = best_of(lambda: core.edit_text(text, old, new, False), 50)
    theirs = best_of(lambda: py_edit(text, old, new, False), 50)
    row("first", "edit_text 1 MB, before any large free", ours, theirs, 1.0)


def fresh_rows(rng):
    data = unicode_text(50 * MB).encode()
    text = data.decode()
    middle = text.count("\n") // 2
    assert core.count_lines(text) == text.count("\n")
    assert core.slice_lines(text, middle, 100) == py_lines(text)[middle : middle + 100]
    assert core.prepare_read(text, 1, 100, False)[:2] == py_head(text, 0, 100)[:2]
    assert core.prepare_read(text, -100, 100, False)[0] == py_tail(text, 100)[0]
    setup = fresh(data)
    for name, ours, theirs, repeat in [
        ("count_lines 50 MB", lambda t: core.count_lines(t), lambda t: t.count("\n"), 5),
        ("slice_lines 100 from the middle, 50 MB", lambda t: core.slice_lines(t, middle, 100),
         lambda t: py_lines(t)[middle : middle + 100], 3),
        ("prepare_read head 100 lines, 50 MB", lambda t: core.prepare_read(t, 1, 100, False),
         lambda t: py_head(t, 0, 100), 3),
        ("prepare_read tail 100 lines, 50 MB", lambda t: core.prepare_read(t, -100, 100, False),
         lambda t: py_tail(t, 100), 3),
    ]:
        row("fresh", name, best_of(ours, repeat, setup), best_of(theirs, repeat, setup), 0.95)
    # The same str again: nothing is cached in it, so it costs what a fresh one does.
    row("again", "count_lines 50 MB, the same str again", best_of(lambda: core.count_lines(text), 5),
        best_of(lambda: text.count("\n"), 5), None)
    del text, data

    text, old, new = edit_case(rng, accent=True)
    assert not text.isascii()
    word, word_new = "value’", "worth’"
    matches = text.count(word)
    assert core.edit_text(text, word, word_new, True) == py_edit(text, word, word_new, True)
    assert core.find_matches(text, old) == py_find_matches(text, old)
    setup = fresh(text.encode())
    for name, ours, theirs in [
        ("edit_text unique 3 lines, 1 MB", lambda t: core.edit_text(t, old, new, False),
         lambda t: py_edit(t, old, new, False)),
        (f"edit_text replace_all ({matches} matches), 1 MB",
         lambda t: core.edit_text(t, word, word_new, True),
         lambda t: py_edit(t, word, word_new, True)),
        ("find_matches 3 lines, 1 MB", lambda t: core.find_matches(t, old),
         lambda t: py_find_matches(t, old)),
    ]:
        row("fresh", name, best_of(ours, 30, setup), best_of(theirs, 30, setup), 0.95)


def warm_rows(rng):
    text = ascii_text(50 * MB)
    row("warm", "count_lines 50 MB ASCII", best_of(lambda: core.count_lines(text), 10),
        best_of(lambda: text.count("\n"), 10), 8)
    assert core.prepare_read(text, 1, 100, False)[:2] == py_head(text, 0, 100)[:2]
    assert core.prepare_read(text, -100, 100, False)[0] == py_tail(text, 100)[0]
    row("warm", "prepare_read head 100 lines, 50 MB ASCII",
        best_of(lambda: core.prepare_read(text, 1, 100, False), 10),
        best_of(lambda: py_head(text, 0, 100), 3), 50)
    row("warm", "prepare_read tail 100 lines, 50 MB ASCII",
        best_of(lambda: core.prepare_read(text, -100, 100, False), 10),
        best_of(lambda: py_tail(text, 100), 3), 50)
    del text

    text, old, new = edit_case(rng)
    row("warm", "edit_text unique 3 lines, 1 MB", best_of(lambda: core.edit_text(text, old, new, False), 50),
        best_of(lambda: py_edit(text, old, new, False), 50), 3)

    file_lines = source_lines(20_000, rng)
    original = "\n".join(file_lines) + "\n"
    chunks = []
    for k in range(50):
        at = 200 + k * 390
        old_lines = file_lines[at : at + 3]
        new_lines = [old_lines[0], f"    inserted_{k} = True", old_lines[1] + "  # changed"]
        new_lines.append(old_lines[2])
        chunks.append((file_lines[at - 2], old_lines, new_lines, False))
    assert core.derive_new_contents(original, "f.py", chunks) == py_derive_new_contents(
        original, "f.py", chunks
    )
    row("warm", "derive_new_contents 50 hunks, 20k lines",
        best_of(lambda: core.derive_new_contents(original, "f.py", chunks), 20),
        best_of(lambda: py_derive_new_contents(original, "f.py", chunks), 5), 5)

    million = source_lines(1_000_000, rng)
    absent = ["    value_0 = “missing”(0, 0)", "    return – nothing", "    total = 0"]
    assert core.seek_sequence(million, absent, 0, False) is None
    assert py_seek_sequence(million, absent, 0, False) is None
    row("warm", "seek_sequence absent, 1M lines, 4 passes",
        best_of(lambda: core.seek_sequence(million, absent, 0, False), 5),
        best_of(lambda: py_seek_sequence(million, absent, 0, False), 2), 20)


# ---- memory ------------------------------------------------------------------------------


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def memory_of(call, text):
    """(traced peak, traced retained, RSS peak, RSS retained) in MiB of one call on `text`,
    which stays alive, so whatever the call cached in it counts as retained."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak RSS (VmHWM) to the current RSS
    rss_before = status_kib("VmRSS")
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    result = call(text)
    traced_after, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    rss_peak, rss_after = status_kib("VmHWM"), status_kib("VmRSS")
    del result
    return ((traced_peak - traced_before) / MB, (traced_after - traced_before) / MB,
            (rss_peak - rss_before) / 1024, (rss_after - rss_before) / 1024)


def memory_table():
    data = unicode_text(50 * MB).encode()
    print(f"\nmemory of one call on a fresh 50 MB non-ASCII str ({len(data.decode())} characters)")
    print(f"{'call':<38} {'traced peak':>12} {'retained':>9} {'RSS peak':>9} {'retained':>9}")
    for name, call in [
        ("count_lines", core.count_lines),
        ("prepare_read head 100 lines", lambda t: core.prepare_read(t, 1, 100, True)),
        ("prepare_read tail 100 lines", lambda t: core.prepare_read(t, -100, 100, True)),
        ("python: text.count('\\n')", lambda t: t.count("\n")),
    ]:
        text = data.decode()
        figures = memory_of(call, text)
        del text
        print(f"{name:<38} " + " ".join(f"{x:>8.2f} MiB" for x in figures))


# ---- background --------------------------------------------------------------------------


def background():
    """What else ran: the load averages and the busiest other processes (by CPU time lately)."""
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    with open("/proc/loadavg") as f:
        running = f.read().split()[3]
    busy = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/comm") as f:
                name = f.read().strip()
        except OSError:
            continue
        if fields[0] == "R" and int(pid) != os.getpid():
            busy.append(name)
    others = ", ".join(sorted(set(busy))) or "none"
    return f"load {load}, running/all tasks {running}, other runnable processes: {others}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--no-memory", action="store_true", help="skip the memory table")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cpus")
    print(f"background at start: {background()}")
    rng = random.Random(1)
    first_call_rows(rng)
    big = bytearray(8 * MB)  # one large free: from here on the allocator keeps its pages
    del big
    fresh_rows(rng)
    warm_rows(rng)
    print(f"background at end:   {background()}")
    print(f"{'kind':<6} {'case':<46} {'ours ms':>9} {'python ms':>10} {'ratio':>7} {'goal':>6}")
    for kind, name, ours, theirs, goal in ROWS:
        ratio = theirs / ours
        mark = "" if goal is None else (" ok" if ratio >= goal else " MISSED")
        goal_text = "-" if goal is None else ("=" if goal == 0.95 else f">={goal:g}x")
        times = f"{ours * 1e3:>9.3f} {theirs * 1e3:>10.3f}"
        print(f"{kind:<6} {name:<46} {times} {ratio:>6.2f}x {goal_text:>6}{mark}")
    print('goal "=": at least 0.95x, the interpreter\'s own speed')
    if not args.no_memory:
        memory_table()


if __name__ == "__main__":
    main()
