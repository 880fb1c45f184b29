"""LocalClient against plain Python and the coreutils floors, side by side in one run.

    python bench/bench_local.py [--size-mib 1024] [--keep]

Makes a text file of --size-mib MiB under $TMPDIR (default /tmp) once, warms the page cache,
and prints the best of several runs for each contender, with ratios. The big file is removed
at the end unless --keep is given.
"""

import argparse
import collections
import os
import random
import shutil
import subprocess
import tempfile
import time
import timeit

from tarnwistle import _core


def make_text_file(path, size):
    """Log-like lines of 20 to 180 bytes, repeated blocks with a varying prefix."""
    rng = random.Random(7)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta", b"theta"]
    block = b"".join(b" ".join(rng.choice(words) for _ in range(rng.randint(3, 28))) + b"\n"
                     for _ in range(20000))
    written = 0
    with open(path, "wb") as f:
        i = 0
        while written < size:
            chunk = b"%08d " % i + block
            chunk = chunk[: size - written]
            f.write(chunk)
            written += len(chunk)
            i += 1


def best(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def row(name, seconds, base=None, unit="s"):
    scale = {"s": 1, "us": 1e6}[unit]
    ratio = f"  {seconds / base:6.2f}x" if base else ""
    print(f"  {name:<44} {seconds * scale:10.4f} {unit}{ratio}")


def bench_windows(path, repeat):
    client = _core.LocalClient(os.path.dirname(path), max_transfer_bytes=268435456)
    name = os.path.basename(path)
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # warm the page cache

    wc, out = best(lambda: subprocess.run(["wc", "-l", path], capture_output=True, check=True).stdout, repeat)
    with open(path, "rb") as f:
        f.seek(-1, os.SEEK_END)
        unterminated = f.read(1) != b"\n"
    total = int(out.split()[0]) + unterminated  # wc counts newlines, not a final partial line
    tail_cmd, _ = best(lambda: subprocess.run(["tail", "-n", "100", path], capture_output=True, check=True), repeat)
    head, hw = best(lambda: client.read_text_window(name, 500000, 101), repeat)
    tail, tw = best(lambda: client.read_text_window(name, -100, 1), repeat)
    assert hw[1:4] == (total, 500000, 500100) and tw[1:4] == (total, total - 99, total), (hw[1:4], tw[1:4])

    def py_head():
        kept, n = [], 0
        with open(path, "rb") as f:
            for n, line in enumerate(f, 1):
                if 500000 <= n <= 500100:
                    kept.append(line)
        return n, kept

    def py_deque():
        with open(path, "rb") as f:
            return collections.deque(f, maxlen=100)

    py_h, (n, kept) = best(py_head, 1)
    py_t, dq = best(py_deque, 1)
    assert n == total and b"".join(kept).decode() == hw[0] and b"".join(dq).decode() == tw[0]

    print(f"windows over {os.path.getsize(path) / 2**20:.0f} MiB, {total} lines (warm cache, best of {repeat}):")
    row("wc -l (floor for both windows)", wc)
    row("tail -n 100 (seeks from the end, no count)", tail_cmd, wc)
    row("read_text_window head 500000..500100", head, wc)
    row("read_text_window tail -100", tail, wc)
    row("python line iteration, head (rb)", py_h, wc)
    row("python deque(maxlen=100), tail (rb)", py_t, wc)
    print(f"  head / wc -l = {head / wc:.2f}, tail / wc -l = {tail / wc:.2f}, "
          f"deque / tail = {py_t / tail:.1f}, python head / head = {py_h / head:.1f}")


def bench_writes(root):
    """Interleaved repeats, so both sides meet the same disk writeback weather."""

    def py_atomic(path, text):
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".py-", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
            os.replace(tmp, path)
        except BaseException:
            os.unlink(tmp)
            raise

    places = [("ext4" if root.startswith("/tmp") else "", root)]
    if os.path.isdir("/dev/shm"):
        places.append(("tmpfs", tempfile.mkdtemp(prefix="tarnwistle-bench-", dir="/dev/shm")))
    print("write_text_atomic vs tempfile.mkstemp + write + os.replace (per call, best of 9 interleaved):")
    try:
        for fs, where in places:
            client = _core.LocalClient(where)
            for label, size, number in (("4 KiB", 4096, 1000), ("8 MiB", 8 * 2**20, 10)):
                text = "0123456789abcde\n" * (size // 16)
                ours_t = os.path.join(where, f"ours{size}.txt")
                py_t = os.path.join(where, f"py{size}.txt")
                ours, theirs = [], []
                for _ in range(9):
                    ours.append(timeit.timeit(lambda: client.write_text_atomic(ours_t, text), number=number))
                    theirs.append(timeit.timeit(lambda: py_atomic(py_t, text), number=number))
                row(f"python {label} ({fs or where})", min(theirs) / number, unit="us")
                row(f"write_text_atomic {label} ({fs or where})", min(ours) / number, min(theirs) / number, unit="us")
    finally:
        for _, where in places[1:]:
            shutil.rmtree(where)


def bench_reads(root):
    """Whole-file reads against open().read(), each side first in every other round."""
    client = _core.LocalClient(root)
    ascii_line = "the quick brown fox jumps over the lazy dog 0123456789\n"
    other_line = "naïve café – “quoted” ✓ ünïcödé text line 0123\n"
    print("read_bytes / read_text vs open().read() (per call, best of 15 interleaved):")
    for label, line, size, number in (("4 KiB", ascii_line, 4096, 2000),
                                      ("1 MiB", ascii_line, 2**20, 50),
                                      ("1 MiB non-ASCII", other_line, 2**20, 20),
                                      ("8 MiB", ascii_line, 8 * 2**20, 5)):
        path = os.path.join(root, "read.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(line * (size // len(line.encode())))

        def py_bytes():
            with open(path, "rb") as f:
                return f.read()

        def py_text():
            with open(path, encoding="utf-8") as f:
                return f.read()

        assert client.read_bytes(path) == py_bytes() and client.read_text(path) == py_text()
        for name, ours_fn, py_fn in (("read_bytes", lambda: client.read_bytes(path), py_bytes),
                                     ("read_text", lambda: client.read_text(path), py_text)):
            ours, theirs = [], []
            for i in range(15):
                pair = [(ours, ours_fn), (theirs, py_fn)]
                for times, fn in pair if i % 2 else pair[::-1]:
                    times.append(timeit.timeit(fn, number=number) / number)
            row(f"python {label}", min(theirs), unit="us")
            row(f"{name} {label}", min(ours), min(theirs), unit="us")


def bench_stat(root):
    sub = os.path.join(root, "a", "b")
    os.makedirs(sub, exist_ok=True)
    path = os.path.join(sub, "f.txt")
    with open(path, "w") as f:
        f.write("x" * 100)
    client = _core.LocalClient(root)

    def py_stat():
        st = os.lstat(path)
        return f"local:{st.st_size}:{st.st_mtime_ns}:{st.st_dev}:{st.st_ino}"

    assert client.stat(path).version == py_stat()
    number = 100000
    py = min(timeit.repeat(py_stat, number=number, repeat=5)) / number
    lstat_only = min(timeit.repeat(lambda: os.lstat(path), number=number, repeat=5)) / number
    ours_abs = min(timeit.repeat(lambda: client.stat(path), number=number, repeat=5)) / number
    ours_rel = min(timeit.repeat(lambda: client.stat("a/b/f.txt"), number=number, repeat=5)) / number
    print(f"stat of {path} (per call, best of 5 x {number}):")
    row("os.lstat", lstat_only, unit="us")
    row("os.lstat + version string in python", py, unit="us")
    row("stat (absolute path)", ours_abs, py, unit="us")
    row("stat (relative path)", ours_rel, py, unit="us")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    tmp = os.environ.get("TMPDIR", "/tmp")
    big = os.path.join(tmp, f"tarnwistle-bench-{args.size_mib}m.txt")
    if not os.path.exists(big) or os.path.getsize(big) != args.size_mib * 2**20:
        make_text_file(big, args.size_mib * 2**20)
    root = tempfile.mkdtemp(prefix="tarnwistle-bench-")
    try:
        bench_windows(big, args.repeat)
        bench_reads(root)
        bench_writes(root)
        bench_stat(root)
    finally:
        shutil.rmtree(root)
        if not args.keep:
            os.unlink(big)


if __name__ == "__main__":
    main()
